// Where a folder document sits in version control, and the ignore settings it needs.
#include <gtest/gtest.h>

#include <fstream>

#include "document/VersioningCheck.h"
#include "support/TestEnvironment.h"

namespace fsys = std::filesystem;
using namespace VersioningCheck;

TEST(VersioningCheck, FindsTheRepositoryAboveAndTheNearestIgnoreFile) {
  auto root = testenv::freshFolder("repo");
  auto project = root / "designs" / "App.korvelx";
  fsys::create_directories(project);
  fsys::create_directories(root / ".git");
  std::ofstream(root / ".gitignore") << "x\n";
  std::ofstream(root / "designs" / ".gitignore") << "y\n";
  auto found = findRepository(project);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->root, root);
  EXPECT_EQ(found->nearestIgnoreFile, root / "designs" / ".gitignore");
}

TEST(VersioningCheck, AGitFileCountsAsARepositoryAndNoneMeansNone) {
  auto root = testenv::freshFolder("worktree");
  std::ofstream(root / ".git") << "gitdir: elsewhere\n";
  EXPECT_TRUE(findRepository(root));
  auto lonely = testenv::freshFolder("lonely");
  // The temporary home sits under /tmp, which no test machine keeps in a repository.
  EXPECT_FALSE(findRepository(lonely));
}

TEST(VersioningCheck, EntriesCountWhenTheyOccurAnywhere) {
  EXPECT_FALSE(containsRequiredEntries(""));
  EXPECT_TRUE(containsRequiredEntries(".cache\n.backups\n.npmrc\nnode_modules\n*.korvelxproj\n"));
  EXPECT_TRUE(containsRequiredEntries("a/.cache a/.backups a/.npmrc my_node_modules_x *.korvelxproj"));
  // Lines written with the prefix of earlier versions still count.
  EXPECT_TRUE(containsRequiredEntries(
      "**/*.korvelfx/.cache\n**/*.korvelfx/.backups\n**/*.korvelfx/.npmrc\n**/*.korvelfx/node_modules\n"
      "**/*.korvelfx/*.korvelxproj\n"));
  EXPECT_FALSE(containsRequiredEntries(".cache\n.backups\nnode_modules\n*.korvelxproj\n"));
}

TEST(VersioningCheck, ThePrefixNamesTheProjectFromTheIgnoreFilesFolder) {
  EXPECT_EQ(entryPrefix("/repo/App", "/repo/App/.gitignore"), "");
  EXPECT_EQ(entryPrefix("/repo/designs/App.korvelx", "/repo/.gitignore"), "designs/App.korvelx/");
  EXPECT_EQ(entryPrefix("/repo/designs/App.korvelx/", "/repo/designs/.gitignore"), "App.korvelx/");
}

TEST(VersioningCheck, SettingsAreAppendedAfterAnEmptyLineOrWrittenAlone) {
  EXPECT_EQ(textWithSettings(std::nullopt, ""), "# Korvel\n.cache\n.backups\n.npmrc\nnode_modules\n*.korvelxproj\n");
  EXPECT_EQ(textWithSettings(std::string("build/\n"), "App/"),
            "build/\n\n# Korvel\nApp/.cache\nApp/.backups\nApp/.npmrc\nApp/node_modules\nApp/*.korvelxproj\n");
  EXPECT_TRUE(containsRequiredEntries(textWithSettings(std::string("x"), "App/")));
}

TEST(VersioningCheck, WrittenSettingsReallyIgnoreTheProjectsFilesInGit) {
  if (testenv::run("git --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "git is not installed";
  auto root = testenv::freshFolder("gitrepo");
  auto project = root / "designs" / "App.korvelx";
  fsys::create_directories(project / "node_modules" / "x");
  fsys::create_directories(project / ".cache");
  std::ofstream(project / ".npmrc") << "token\n";
  std::ofstream(project / ".cache" / "a") << "a\n";
  std::ofstream(project / "_project.korvelxproj") << "{}\n";
  std::ofstream(project / "README.md") << "kept\n";
  ASSERT_EQ(testenv::run("git init -q '" + root.string() + "'"), 0);
  std::ofstream(root / ".gitignore") << textWithSettings(std::nullopt, entryPrefix(project, root / ".gitignore"));
  std::string ignored;
  testenv::run("cd '" + root.string() + "' && git status --porcelain --ignored=matching -uall designs", &ignored);
  EXPECT_NE(ignored.find("!! designs/App.korvelx/.npmrc"), std::string::npos) << ignored;
  EXPECT_NE(ignored.find("!! designs/App.korvelx/.cache/"), std::string::npos) << ignored;
  EXPECT_NE(ignored.find("!! designs/App.korvelx/_project.korvelxproj"), std::string::npos) << ignored;
  EXPECT_NE(ignored.find("?? designs/App.korvelx/README.md"), std::string::npos) << ignored;
}

// Folder names that read as patterns must still name only themselves.
TEST(VersioningCheck, FolderNamesWithPatternCharactersAreIgnoredExactly) {
  if (testenv::run("git --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "git is not installed";
  struct Case {
    std::string folder;
    std::string lookalike;  // a sibling an unescaped pattern would catch instead, or ""
  };
  const Case cases[] = {{"My [Draft]", "My D"}, {"Star*", "Starry"}, {"Why?", "Whyy"},
                        {"#Hash", ""},          {"!Bang", ""},       {"Back\\slash", ""}};
  for (const auto& c : cases) {
    auto root = testenv::freshFolder("gitescape");
    auto project = root / c.folder;
    fsys::create_directories(project);
    ASSERT_EQ(testenv::run("git init -q '" + root.string() + "'"), 0);
    std::ofstream(root / ".gitignore") << textWithSettings(std::nullopt, entryPrefix(project, root / ".gitignore"));
    auto ignored = [&](const std::string& relative) {
      return testenv::run("cd '" + root.string() + "' && git check-ignore -q '" + relative + "'") == 0;
    };
    EXPECT_TRUE(ignored(c.folder + "/.npmrc")) << c.folder;
    EXPECT_TRUE(ignored(c.folder + "/node_modules/x")) << c.folder;
    EXPECT_FALSE(ignored(c.folder + "/README.md")) << c.folder;
    if (!c.lookalike.empty()) {
      EXPECT_FALSE(ignored(c.lookalike + "/.npmrc")) << c.folder;
    }
  }
}
