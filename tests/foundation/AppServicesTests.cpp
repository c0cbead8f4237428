#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "foundation/AppServices.h"
#include "foundation/SharedNames.h"
#include "platform/Defaults.h"
#include "platform/JsonCoder.h"
#include "support/TestEnvironment.h"

namespace {

using Env = AppServices::Environment;
constexpr const char* EnvKey = UserDefaultsCurrentStoreEnvironmentKey;

class AppServicesTest : public testing::Test {
 protected:
  std::filesystem::path file = testenv::freshFolder("services") / "defaults.json";
  Defaults defaults{file};
};

TEST_F(AppServicesTest, PinnedBuildUsesProductionAndDropsStoredChoice) {
  defaults.setInteger(EnvKey, 3);
  AppServices services(defaults, /*pinned=*/true);
  EXPECT_EQ(services.currentEnvironment(), Env::production);
  EXPECT_EQ(services.requiredEnvironment(), Env::production);
  EXPECT_FALSE(defaults.has(EnvKey));
  EXPECT_FALSE(Defaults(file).has(EnvKey));  // gone from the file too
}

TEST_F(AppServicesTest, UnpinnedBuildReadsStoredChoice) {
  struct Stored {
    std::optional<long long> raw;
    Env expected;
  };
  for (auto [raw, expected] :
       {Stored{std::nullopt, Env::development}, Stored{0, Env::development}, Stored{5, Env::development},
        Stored{-1, Env::development}, Stored{4, Env::gcp}, Stored{3, Env::local}, Stored{1, Env::production}}) {
    Defaults d(testenv::freshFolder("unpinned") / "defaults.json");
    if (raw) d.setInteger(EnvKey, *raw);
    AppServices services(d, false);
    EXPECT_EQ(services.currentEnvironment(), expected) << raw.value_or(-99);
    EXPECT_FALSE(services.requiredEnvironment());
  }
}

TEST_F(AppServicesTest, UnpinnedProductionCanBeLeft) {
  defaults.setInteger(EnvKey, 1);
  AppServices services(defaults, false);
  services.changeEnvironment(2);
  EXPECT_EQ(services.currentEnvironment(), Env::development);
}

TEST_F(AppServicesTest, ChangeRunsLogoutThenObserversInOrderThenStores) {
  AppServices services(defaults, false);
  std::vector<std::string> calls;
  services.logoutHandler = [&] { calls.push_back("logout"); };
  for (const char* name : {"first", "second"}) {
    services.addObserveHandler([&, name] {
      // Observers see the new environment, before it is stored.
      EXPECT_EQ(services.currentEnvironment(), Env::gcp);
      EXPECT_FALSE(defaults.has(EnvKey));
      calls.push_back(name);
    });
  }
  services.changeEnvironment(4);
  EXPECT_EQ(calls, (std::vector<std::string>{"logout", "first", "second"}));
  EXPECT_EQ(defaults.integer(EnvKey), 4);
  EXPECT_EQ(Defaults(file).integer(EnvKey), 4);
}

TEST_F(AppServicesTest, SameEnvironmentOrInvalidSenderDoesNothing) {
  AppServices services(defaults, false);
  int calls = 0;
  services.logoutHandler = [&] { ++calls; };
  services.addObserveHandler([&] { ++calls; });
  for (std::optional<long long> tag : {std::optional<long long>(2), std::optional<long long>(), std::optional(0LL),
                                       std::optional(5LL), std::optional(-1LL)})
    services.changeEnvironment(tag);
  services.setCurrentEnvironment(Env::development);
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(defaults.has(EnvKey));
  EXPECT_EQ(services.currentEnvironment(), Env::development);
}

TEST_F(AppServicesTest, PinnedBuildNeverLeavesProductionNorShowsChooser) {
  AppServices services(defaults, true);
  int calls = 0;
  services.logoutHandler = [&] { ++calls; };
  services.addObserveHandler([&] { ++calls; });
  services.chooserPresenter = [&](AppServices&) { ++calls; };
  for (long long tag : {1, 2, 3, 4}) services.changeEnvironment(tag);
  services.chooseEnvironment();
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(services.currentEnvironment(), Env::production);
  EXPECT_FALSE(defaults.has(EnvKey));
}

TEST_F(AppServicesTest, UnpinnedBuildShowsChooser) {
  AppServices services(defaults, false);
  AppServices* shown = nullptr;
  services.chooserPresenter = [&](AppServices& s) { shown = &s; };
  services.chooseEnvironment();
  EXPECT_EQ(shown, &services);
}

TEST_F(AppServicesTest, TokenChangeRunsObserversButNeverLogout) {
  AppServices services(defaults, false);
  services.loginControllerDidChangeToken();  // nothing registered: nothing happens
  std::vector<int> calls;
  services.logoutHandler = [&] { calls.push_back(0); };
  services.addObserveHandler([&] { calls.push_back(1); });
  services.addObserveHandler([&] { calls.push_back(2); });
  services.loginControllerDidChangeToken();
  EXPECT_EQ(calls, (std::vector<int>{1, 2}));
  EXPECT_FALSE(defaults.has(EnvKey));
}

TEST_F(AppServicesTest, RemoteEndpointsAreHttpsAndWellFormed) {
  AppServices services(defaults, false);
  for (Env env : {Env::production, Env::development, Env::gcp}) {
    auto e = services.endpoints(env);
    for (const Url* u : {&e.apiBaseURL, &e.userLoginScreensURL, &e.storeCookieScopeURL, &e.storeURL,
                         &e.packageRegistryURL, &e.trackingURL}) {
      EXPECT_EQ(u->scheme(), "https") << u->absoluteString();
      EXPECT_FALSE(u->isLoopback()) << u->absoluteString();
    }
    EXPECT_EQ(e.apiBaseURL.path(), "");
    EXPECT_EQ(e.storeURL.path(), "");
    EXPECT_EQ(e.packageRegistryURL.path(), "");
    EXPECT_EQ(e.userLoginScreensURL.path(), "/");
    EXPECT_EQ(e.trackingURL.path(), "/track");
  }
  EXPECT_EQ(services.endpoints(Env::development).trackingURL, services.endpoints(Env::gcp).trackingURL);
  EXPECT_FALSE(services.endpoints(Env::production).trackingURL == services.endpoints(Env::development).trackingURL);
}

TEST_F(AppServicesTest, LocalEndpointsAllUseTheLoopbackBase) {
  defaults.setString(UserDefaultsLocalServicesBaseURLKey, "http://127.0.0.1:45678");
  AppServices services(defaults, false);
  auto e = services.endpoints(Env::local);
  for (const Url* u : {&e.apiBaseURL, &e.userLoginScreensURL, &e.storeCookieScopeURL, &e.storeURL,
                       &e.packageRegistryURL, &e.trackingURL}) {
    EXPECT_EQ(u->scheme(), "http");
    EXPECT_EQ(u->host(), "127.0.0.1");
    EXPECT_EQ(u->port(), 45678);
  }
  EXPECT_EQ(e.storeURL.absoluteString(), "http://127.0.0.1:45678");
  EXPECT_EQ(e.userLoginScreensURL.absoluteString(), "http://127.0.0.1:45678/");
  EXPECT_EQ(e.trackingURL.absoluteString(), "http://127.0.0.1:45678/track");
  EXPECT_EQ(services.title(Env::local), "Local:\nhttp://127.0.0.1:45678\nhttp://127.0.0.1:45678");
}

TEST_F(AppServicesTest, LocalBaseKeepsOnlySchemeHostAndPort) {
  for (auto [stored, base] :
       {std::pair{"http://localhost:9000/api/?x=1#f", "http://localhost:9000"},
        std::pair{"http://user@127.1.2.3", "http://127.1.2.3"}, std::pair{"http://[::1]:9000/", "http://[::1]:9000"}}) {
    Defaults d(testenv::freshFolder("local") / "defaults.json");
    d.setString(UserDefaultsLocalServicesBaseURLKey, stored);
    AppServices services(d, false);
    EXPECT_EQ(services.endpoints(Env::local).apiBaseURL.absoluteString(), base) << stored;
    EXPECT_EQ(services.endpoints(Env::local).trackingURL.absoluteString(), std::string(base) + "/track");
  }
}

TEST_F(AppServicesTest, LocalBaseThatIsNotHttpOnLoopbackIsIgnored) {
  auto builtIn = Url::parse(AppServices::defaultLocalServicesBaseURL)->absoluteString();
  for (const char* stored : {"https://127.0.0.1:45678", "http://example.com:45678", "http://127.example.com",
                             "http://10.0.0.1:8080", "ftp://127.0.0.1", "not a url", ""}) {
    Defaults d(testenv::freshFolder("local") / "defaults.json");
    d.setString(UserDefaultsLocalServicesBaseURLKey, stored);
    AppServices services(d, false);
    EXPECT_EQ(services.localServicesBaseURL().absoluteString(), builtIn) << stored;
    EXPECT_EQ(services.endpoints(Env::local).storeURL.absoluteString(), builtIn) << stored;
  }
}

TEST_F(AppServicesTest, EndpointsJsonHasExactlyStoreAndTracking) {
  defaults.setInteger(EnvKey, 3);
  defaults.setString(UserDefaultsLocalServicesBaseURLKey, "http://127.0.0.1:4000");
  AppServices services(defaults, false);
  auto parsed = JsonCoder::parse(services.endpointsJSON());
  ASSERT_TRUE(parsed);
  ASSERT_TRUE(parsed->is_object());
  EXPECT_EQ(parsed->size(), 2u);
  EXPECT_EQ(parsed->value("store", ""), "http://127.0.0.1:4000");
  EXPECT_EQ(parsed->value("tracking", ""), "http://127.0.0.1:4000/track");
  EXPECT_EQ(services.endpointsJSON().find_first_of(" \n"), std::string::npos);

  services.changeEnvironment(1);
  auto production = services.endpoints(Env::production);
  parsed = JsonCoder::parse(services.endpointsJSON());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->value("store", ""), production.storeURL.absoluteString());
  EXPECT_EQ(parsed->value("tracking", ""), production.trackingURL.absoluteString());
}

TEST_F(AppServicesTest, CloudUrlsComeFromDefaultsAtFirstUse) {
  defaults.setString("CloudServerBaseUrl", "not even a url");
  AppServices services(defaults, false);
  EXPECT_EQ(services.cloudServerBaseUrl(), "not even a url");
  EXPECT_EQ(services.cloudServerDashboardUrl().rfind("https://", 0), 0u);
  defaults.setString("CloudServerBaseUrl", "https://later.example");
  defaults.setString("CloudServerDashboardUrl", "https://later.example/dash");
  EXPECT_EQ(services.cloudServerBaseUrl(), "not even a url");
  EXPECT_NE(services.cloudServerDashboardUrl(), "https://later.example/dash");

  AppServices fresh(defaults, false);
  EXPECT_EQ(fresh.cloudServerDashboardUrl(), "https://later.example/dash");
}

}  // namespace
