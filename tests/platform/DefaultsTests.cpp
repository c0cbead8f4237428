#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "platform/JsonCoder.h"
#include "support/TestEnvironment.h"

namespace {
std::filesystem::path freshFile() { return testenv::freshFolder("defaults") / "Korvel" / "defaults.json"; }
}  // namespace

TEST(Defaults, ValuesPersistInAPrivateFileWrittenWhole) {
  auto file = freshFile();
  {
    Defaults d(file);
    d.setString("KorvelLoginToken", "secret");
    d.setInteger("CurrentStoreEnvironment", 3);
    d.set("KorvelLoginUserInfo", nlohmann::json{{"id", "u1"}, {"name", "Ada"}});
  }
  struct stat st{};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(stat(file.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // No temporary files are left beside it.
  int entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(file.parent_path())) ++entries;
  EXPECT_EQ(entries, 1);

  Defaults reread(file);
  EXPECT_EQ(reread.string("KorvelLoginToken"), "secret");
  EXPECT_EQ(reread.integer("CurrentStoreEnvironment"), 3);
  EXPECT_EQ(reread.value("KorvelLoginUserInfo")["name"], "Ada");
}

TEST(Defaults, RegisteredValuesAreFallbacksAndNeverStored) {
  auto file = freshFile();
  Defaults d(file);
  d.registerDefaults(nlohmann::json{{"WelcomeWindowShowOnStartup", true}, {"TabContentWidth", 240}});
  EXPECT_TRUE(d.boolValue("WelcomeWindowShowOnStartup"));
  d.setBool("WelcomeWindowShowOnStartup", false);
  EXPECT_FALSE(d.boolValue("WelcomeWindowShowOnStartup"));
  d.remove("WelcomeWindowShowOnStartup");
  EXPECT_TRUE(d.boolValue("WelcomeWindowShowOnStartup"));
  EXPECT_EQ(d.integer("TabContentWidth"), 240);
  auto stored = JsonCoder::parse(*fs::readText(file));
  ASSERT_TRUE(stored);
  EXPECT_FALSE(stored->contains("TabContentWidth"));
}

TEST(Defaults, RegistersFromTheBundledPreferencesFile) {
  Defaults d(freshFile());
  ASSERT_TRUE(d.registerDefaultsFromFile(std::filesystem::path(KORVEL_SOURCE_DIR) / "resources/DefaultPreferences.json"));
  EXPECT_TRUE(d.has("CurrentStoreEnvironment"));
  auto missing = d.registerDefaultsFromFile("/nonexistent/DefaultPreferences.json");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, NSFileReadNoSuchFileError);
}

TEST(Defaults, LooseTypesConvertLikeThePlatformDid) {
  Defaults d(freshFile());
  d.setString("a", "YES");
  d.setString("b", "42");
  d.setDouble("c", 2.9);
  d.set("d", nlohmann::json::array());
  EXPECT_TRUE(d.boolValue("a"));
  EXPECT_EQ(d.integer("b"), 42);
  EXPECT_EQ(d.integer("c"), 2);
  EXPECT_FALSE(d.boolValue("d"));
  EXPECT_EQ(d.integer("absent"), 0);
  EXPECT_FALSE(d.string("d"));
  // A file may hold numbers no integer holds.
  for (double huge : {1e300, -1e300, 9223372036854775808.0}) {
    d.setDouble("e", huge);
    EXPECT_EQ(d.integer("e"), 0) << huge;
  }
}

TEST(Defaults, UnreadableFileIsKeptAsideNotOverwritten) {
  auto file = freshFile();
  std::filesystem::create_directories(file.parent_path());
  ASSERT_TRUE(fs::writeAtomically(file, std::string_view("{ not json")));
  Defaults d(file);
  EXPECT_FALSE(d.has("anything"));
  d.setBool("x", true);
  auto aside = file;
  aside += ".unreadable";
  EXPECT_EQ(*fs::readText(aside), "{ not json");
}

TEST(Defaults, ObserversSeeChangesOfTheirKeyOnlyAndStopWithTheirToken) {
  Defaults d(freshFile());
  int calls = 0;
  std::string seen;
  auto token = d.observe("KorvelLoginToken", [&] {
    ++calls;
    seen = d.string("KorvelLoginToken").value_or("<none>");
  });
  d.setString("KorvelLoginToken", "t1");
  d.setString("KorvelLoginToken", "t1");  // unchanged: no notice
  d.setString("Other", "x");
  d.remove("KorvelLoginToken");
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(seen, "<none>");
  token.reset();
  d.setString("KorvelLoginToken", "t2");
  EXPECT_EQ(calls, 2);
}

TEST(Defaults, ObserverMayRemoveItselfAndOthersWhileBeingNotified) {
  Defaults d(freshFile());
  int first = 0, second = 0;
  ObserverToken a, b;
  a = d.observe("k", [&] {
    ++first;
    a.reset();
    b.reset();
  });
  b = d.observe("k", [&] { ++second; });
  d.setInteger("k", 1);
  d.setInteger("k", 2);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
}

TEST(Defaults, TokenOutlivingItsDefaultsIsHarmless) {
  ObserverToken token;
  {
    Defaults d(freshFile());
    token = d.observe("k", [] {});
  }
  token.reset();
}

TEST(Defaults, TheFileStaysSmallAndAnOversizedOneIsSetAsideUnread) {
  auto file = freshFile();
  {
    // Indentation per level would make this value's file grow with the square of its depth.
    nlohmann::json deep = nlohmann::json::array();
    for (int level = 0; level < 400; ++level) deep = nlohmann::json::array({deep});
    Defaults d(file);
    d.set("deep", deep);
  }
  EXPECT_LT(std::filesystem::file_size(file), 4096u);

  std::string huge = "{\"x\":\"" + std::string(Defaults::maximumFileSize, 'a') + "\"}";
  ASSERT_TRUE(fs::writeAtomically(file, huge));
  Defaults d(file);
  EXPECT_FALSE(d.has("x"));
  auto aside = file;
  aside += ".unreadable";
  EXPECT_EQ(std::filesystem::file_size(aside), huge.size());
}
