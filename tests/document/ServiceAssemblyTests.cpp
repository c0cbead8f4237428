#include <gtest/gtest.h>

#include <cctype>
#include <functional>

#include "document/ServiceAssembly.h"

namespace {

using Log = std::vector<std::string>;

class Recorder : public Service {
 public:
  Recorder(std::string name, Log* log) : name(std::move(name)), log_(log) {}
  std::string moniker() const override { return name; }
  void activate(ServiceAssembly& assembly) override {
    log_->push_back("activate " + name);
    if (onActivate) onActivate(assembly);
  }
  void deactivate() override {
    log_->push_back("deactivate " + name);
    if (onDeactivate) onDeactivate();
  }
  std::string name;
  std::function<void(ServiceAssembly&)> onActivate;
  std::function<void()> onDeactivate;

 private:
  Log* log_;
};

// A service with neither activation nor deactivation.
class Plain : public Service {
 public:
  std::string moniker() const override { return "plain"; }
};

TEST(ServiceAssembly, UnnamedAssemblyGetsAFreshUuid) {
  ServiceAssembly a(std::nullopt), b(std::nullopt);
  const std::string& m = a.moniker();
  ASSERT_EQ(m.size(), 36u);
  for (size_t i = 0; i < m.size(); ++i) {
    bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    EXPECT_TRUE(hyphen ? m[i] == '-' : std::isxdigit(m[i]) && !std::islower(m[i])) << m;
  }
  EXPECT_NE(a.moniker(), b.moniker());
  EXPECT_EQ(ServiceAssembly("document").moniker(), "document");
  EXPECT_FALSE(a.sealed());
}

TEST(ServiceAssembly, SealActivatesInOrderAndClearDeactivatesInOrder) {
  Log log;
  ServiceAssembly assembly("doc");
  auto first = std::make_shared<Recorder>("first", &log);
  auto second = std::make_shared<Recorder>("second", &log);
  assembly.add(first);
  assembly.add(std::make_shared<Plain>());
  assembly.add(second);
  // Sealed before activation, so an activating service may look others up.
  std::shared_ptr<Service> seen;
  first->onActivate = [&](ServiceAssembly& a) {
    EXPECT_TRUE(a.sealed());
    seen = a.get("second");
  };
  assembly.seal();
  EXPECT_TRUE(assembly.sealed());
  EXPECT_EQ(seen, second);
  EXPECT_EQ(assembly.get("first"), first);
  EXPECT_NE(assembly.get("plain"), nullptr);
  EXPECT_EQ(assembly.get("none"), nullptr);

  assembly.clear();
  EXPECT_FALSE(assembly.sealed());
  EXPECT_EQ(log, (Log{"activate first", "activate second", "deactivate first", "deactivate second"}));
}

TEST(ServiceAssembly, DeactivatingServiceCanStillLookOthersUp) {
  Log log;
  ServiceAssembly assembly("doc");
  auto first = std::make_shared<Recorder>("first", &log);
  auto second = std::make_shared<Recorder>("second", &log);
  std::shared_ptr<Service> seen;
  first->onDeactivate = [&] { seen = assembly.get("second"); };
  assembly.add(first);
  assembly.add(second);
  assembly.seal();
  assembly.clear();
  EXPECT_EQ(seen, second);
}

TEST(ServiceAssembly, EmptyAssemblySealsClearsAndRefills) {
  ServiceAssembly assembly("doc");
  assembly.seal();
  assembly.clear();
  assembly.clear();  // allowed when open too
  Log log;
  assembly.add(std::make_shared<Recorder>("again", &log));
  assembly.seal();
  EXPECT_NE(assembly.get("again"), nullptr);
  EXPECT_EQ(log, (Log{"activate again"}));
}

TEST(ServiceAssembly, ClearingOpenAssemblyDeactivatesAndEmptiesIt) {
  Log log;
  ServiceAssembly assembly("doc");
  assembly.add(std::make_shared<Recorder>("s", &log));
  assembly.clear();
  assembly.seal();
  EXPECT_EQ(assembly.get("s"), nullptr);
  EXPECT_EQ(log, (Log{"deactivate s"}));
}

TEST(ServiceAssembly, LookupUsesMonikerRecordedAtAddAndFirstWins) {
  Log log;
  ServiceAssembly assembly("doc");
  auto renamed = std::make_shared<Recorder>("old", &log);
  auto a = std::make_shared<Recorder>("twin", &log);
  auto b = std::make_shared<Recorder>("twin", &log);
  assembly.add(renamed);
  assembly.add(a);
  assembly.add(b);
  renamed->name = "new";
  assembly.seal();
  EXPECT_EQ(assembly.get("old"), renamed);
  EXPECT_EQ(assembly.get("new"), nullptr);
  EXPECT_EQ(assembly.get("twin"), a);
}

TEST(ServiceAssembly, NestedAssemblyIsClearedButNotSealedByOuter) {
  Log log;
  auto inner = std::make_shared<ServiceAssembly>("inner");
  inner->add(std::make_shared<Recorder>("deep", &log));
  ServiceAssembly outer("outer");
  outer.add(inner);
  outer.seal();
  EXPECT_FALSE(inner->sealed());
  EXPECT_EQ(outer.get("inner"), inner);
  EXPECT_TRUE(log.empty());

  inner->seal();
  outer.clear();
  EXPECT_FALSE(inner->sealed());
  EXPECT_EQ(log, (Log{"activate deep", "deactivate deep"}));
  inner->seal();
  EXPECT_EQ(inner->get("deep"), nullptr);  // emptied
}

TEST(ServiceAssemblyDeathTest, MisuseStopsTheProgram) {
  EXPECT_DEATH(
      {
        ServiceAssembly a("doc");
        a.seal();
        a.add(std::make_shared<Plain>());
      },
      "Cannot add services to a sealed assembly");
  EXPECT_DEATH(
      {
        ServiceAssembly a("doc");
        a.get("plain");
      },
      "Cannot get services from an unsealed assembly");
  EXPECT_DEATH(
      {
        ServiceAssembly a("doc");
        a.seal();
        a.seal();
      },
      "Assembly is already sealed");
  EXPECT_DEATH(
      {
        ServiceAssembly a("doc");
        a.add(std::make_shared<Plain>());
        a.seal();
        a.clear();
        a.get("plain");
      },
      "Cannot get services from an unsealed assembly");
}

}  // namespace
