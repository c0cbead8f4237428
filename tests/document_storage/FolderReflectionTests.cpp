#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <random>
#include <thread>

#include "StorageTestSupport.h"
#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXDocumentArchiveError.h"
#include "platform/JsonCoder.h"
#include "support/TestEnvironment.h"

using namespace storagetest;

namespace {
std::map<std::string, std::string> withoutManifest(std::map<std::string, std::string> tree) {
  tree.erase(KXDocumentArchive::relativePathForManifest);
  return tree;
}
}  // namespace

TEST(FolderReflection, TargetHoldsExactlyTheSourcesFilesAndTheTargetsManifest) {
  auto from = testenv::freshFolder("from");
  auto to = testenv::freshFolder("to");
  writeTree(from, {{"design/document.json", "{\"version\":1}"}, {"code/a/b/c.js", "c"}, {"empty.txt", ""},
                   {".cache/images/512/x.png", "png"}});
  writeTree(to, {{"old.txt", "old"}, {"code/gone.js", "gone"}, {"deep/only/file.txt", "x"}});
  auto source = folderArchive(from);
  auto target = folderArchive(to);
  Uuid targetUuid = target->uuid();
  ASSERT_TRUE(target->reflect(*source));
  EXPECT_EQ(withoutManifest(readTree(to)), readTree(from));
  EXPECT_FALSE(std::filesystem::exists(to / "deep"));  // emptied folders go too
  ASSERT_TRUE(target->manifest().files);
  EXPECT_EQ(target->manifest().files->size(), 4u);
  EXPECT_EQ(target->manifest().files->at("empty.txt").size, 0);
  // The manifest on disk names the target's identity, not the source's.
  auto reopened = folderArchive(to);
  EXPECT_EQ(reopened->uuid(), targetUuid);
  EXPECT_EQ(reopened->manifest(), target->manifest());
  reopened->regenerateManifest();
  EXPECT_EQ(reopened->manifest(), target->manifest());
}

TEST(FolderReflection, ItemsOutsideTheDocumentAreLeftAlone) {
  auto from = testenv::freshFolder("from");
  auto to = testenv::freshFolder("to");
  writeTree(from, {{"code/index.js", "new"}});
  writeTree(to, {{".git/HEAD", "ref"}, {"node_modules/x/index.js", "pkg"}, {".env", "SECRET=1"}, {"code/index.js", "old"}});
  ASSERT_TRUE(folderArchive(to)->reflect(*folderArchive(from)));
  auto tree = withoutManifest(readTree(to));
  EXPECT_EQ(tree, (std::map<std::string, std::string>{{".git/HEAD", "ref"}, {"node_modules/x/index.js", "pkg"},
                                                       {".env", "SECRET=1"}, {"code/index.js", "new"}}));
}

TEST(FolderReflection, UnchangedFilesKeepTheirBytesAndDate) {
  auto from = testenv::freshFolder("from");
  auto to = testenv::freshFolder("to");
  writeTree(from, {{"same.txt", "same"}, {"changed.txt", "new"}});
  writeTree(to, {{"same.txt", "same"}, {"changed.txt", "old"}});
  auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24);
  std::filesystem::last_write_time(to / "same.txt", old);
  std::filesystem::last_write_time(to / "changed.txt", old);
  ASSERT_TRUE(folderArchive(to)->reflect(*folderArchive(from)));
  EXPECT_EQ(std::filesystem::last_write_time(to / "same.txt"), old);
  EXPECT_NE(std::filesystem::last_write_time(to / "changed.txt"), old);
  EXPECT_EQ(readTree(to)["changed.txt"], "new");
}

TEST(FolderReflection, NeverWritesThroughALinkAlreadyInTheTarget) {
  auto from = testenv::freshFolder("from");
  auto to = testenv::freshFolder("to");
  auto outside = testenv::freshFolder("outside");
  writeTree(from, {{"design/document.json", "doc"}, {"README.md", "readme"}});
  writeTree(outside, {{"document.json", "precious"}, {"target.md", "precious too"}});
  std::filesystem::create_directory_symlink(outside, to / "design");
  std::filesystem::create_symlink(outside / "target.md", to / "README.md");
  ASSERT_TRUE(folderArchive(to)->reflect(*folderArchive(from)));
  EXPECT_EQ(readTree(outside), (std::map<std::string, std::string>{{"document.json", "precious"}, {"target.md", "precious too"}}));
  EXPECT_FALSE(std::filesystem::is_symlink(to / "design"));
  EXPECT_EQ(readTree(to)["design/document.json"], "doc");
  EXPECT_EQ(readTree(to)["README.md"], "readme");
}

TEST(FolderReflection, NamesThatCouldEscapeAreLeftOut) {
  auto to = testenv::freshFolder("slip");
  auto archive = folderArchive(to);
  auto crafted = std::make_shared<KXDocumentArchive>(
      std::make_unique<ListBacking>(std::vector<std::pair<std::string, std::string>>{
          {"/tmp/korvel-escape.txt", "x"}, {"a\\..\\..\\escape.txt", "x"}, {"a//b.txt", "x"}, {"ok/fine.txt", "fine"}}),
      KXDocumentArchive::WithIdentity{Uuid::random()});
  ASSERT_TRUE(archive->reflect(*crafted));
  EXPECT_EQ(withoutManifest(readTree(to)), (std::map<std::string, std::string>{{"ok/fine.txt", "fine"}}));
  EXPECT_FALSE(std::filesystem::exists("/tmp/korvel-escape.txt"));
}

TEST(FolderReflection, RefusesToWriteIntoItsOwnSourceByAnyPath) {
  auto base = testenv::freshFolder("self");
  writeTree(base / "project", {{"a.txt", "a"}});
  std::filesystem::create_directory_symlink(base / "project", base / "alias");
  auto source = folderArchive(base / "project");
  for (auto target : {base / "project", base / "alias", base, base / "project/inner"}) {
    std::filesystem::create_directories(target);
    auto backing = KXDirectoryArchiveBacking::create(target, false, true);
    KXDocumentArchive archive(std::move(*backing), std::nullopt);
    auto r = archive.reflect(*source);
    ASSERT_FALSE(r) << target;
    EXPECT_EQ(r.error().code, KXDocumentArchiveError::invalidBackingCode);
  }
  EXPECT_EQ(readTree(base / "project").count("a.txt"), 1u);
}

TEST(FolderReflection, AFileThatCantBeWrittenFailsTheWholeReflectionAndLosesNothing) {
  auto to = testenv::freshFolder("partial");
  writeTree(to, {{"a.txt", "old a"}, {"b.txt", "old b"}, {"vanishing.txt", "still here"}});
  auto crafted = std::make_shared<KXDocumentArchive>(
      std::make_unique<ListBacking>(std::vector<std::pair<std::string, std::string>>{{"a.txt", "new a"}, {"b.txt", "<fail>"}}),
      KXDocumentArchive::WithIdentity{Uuid::random()});
  auto archive = folderArchive(to);
  auto before = archive->manifest();
  ASSERT_FALSE(archive->reflect(*crafted));
  auto tree = readTree(to);
  EXPECT_EQ(tree["a.txt"], "new a");
  EXPECT_EQ(tree["b.txt"], "old b");
  EXPECT_EQ(tree["vanishing.txt"], "still here");  // removals wait for every write
  EXPECT_EQ(tree.size(), 3u);                       // no temporary file left behind
  EXPECT_EQ(archive->manifest(), before);
}

TEST(FolderReflection, WithoutManifestsTheManifestFileIsRemoved) {
  auto from = testenv::freshFolder("from");
  auto to = testenv::freshFolder("to");
  writeTree(from, {{"x.txt", "x"}});
  writeTree(to, {{"_project.korvelxproj", "{}"}});
  ASSERT_TRUE(folderArchive(to, false)->reflect(*folderArchive(from)));
  EXPECT_EQ(readTree(to), (std::map<std::string, std::string>{{"x.txt", "x"}}));
}

TEST(FolderReflection, KilledMidwayLeavesEveryFileOldOrNewNeverPartial) {
  auto from = testenv::freshFolder("crash-from");
  std::map<std::string, std::string> oldFiles, newFiles;
  std::mt19937 random(7);
  for (int i = 0; i < 60; ++i) {
    std::string path = "design/images/" + std::to_string(i % 7) + "/file" + std::to_string(i) + ".bin";
    oldFiles[path] = std::string(20000 + random() % 200000, static_cast<char>('a' + i % 26));
    newFiles[path] = std::string(20000 + random() % 200000, static_cast<char>('A' + i % 26));
  }
  writeTree(from, newFiles);
  for (int delayMs : {0, 2, 5, 10, 20, 40}) {
    auto to = testenv::freshFolder("crash-to");
    writeTree(to, oldFiles);
    pid_t pid = 0;
    std::string fromPath = from.string(), toPath = to.string();
    char* argv[] = {const_cast<char*>(REFLECT_TOOL), fromPath.data(), toPath.data(), nullptr};
    ASSERT_EQ(posix_spawn(&pid, REFLECT_TOOL, nullptr, nullptr, argv, environ), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    for (const auto& [path, content] : readTree(to)) {
      if (path.find(".korvel-") != std::string::npos || path == KXDocumentArchive::relativePathForManifest) continue;
      ASSERT_TRUE(content == oldFiles[path] || content == newFiles[path]) << path << " after " << delayMs << " ms";
    }
    for (const auto& [path, content] : oldFiles) EXPECT_TRUE(std::filesystem::exists(to / path)) << path;
    // The next read of the folder removes every temporary the killed save left, and only those.
    auto reread = folderArchive(to);
    for (const auto& [path, content] : readTree(to)) {
      if (path == KXDocumentArchive::relativePathForManifest) {
        EXPECT_TRUE(reread->manifest().files) << "a manifest that doesn't decode after " << delayMs << " ms";
        continue;
      }
      EXPECT_TRUE(oldFiles.count(path)) << path << " left after " << delayMs << " ms";
    }
    for (const auto& item : std::filesystem::directory_iterator(to.parent_path()))
      EXPECT_NE(item.path().filename().string().rfind("." + to.filename().string() + ".", 0), 0u) << item.path();
  }
}

TEST(FolderReflection, AReadRemovesOnlyTheTemporariesOfWritersThatEnded) {
  auto to = testenv::freshFolder("leftovers");
  pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  const std::string gone = std::to_string(ended), live = std::to_string(getpid());
  // What a killed save wrote through, what a running one is writing, and names that only look alike.
  std::map<std::string, std::string> kept = {{"a.txt", "a"},
                                             {"design/." + ("b.json.korvel-" + live) + "-0a1b2c3d4e5f", "live"},
                                             {"design/.b.json.korvel-" + gone + "-x", "too short a suffix"},
                                             {"design/.b.json.korvel-abc-0a1b2c3d4e5f", "no process"},
                                             {".git/.c.korvel-" + gone + "-0a1b2c3d4e5f", "not the document's"},
                                             {"notes.korvel-" + gone + "-0a1b2c3d4e5f", "not hidden"}};
  std::map<std::string, std::string> leftovers = {{"design/.b.json.korvel-" + gone + "-0a1b2c3d4e5f", "partial"},
                                                  {"._project.korvelxproj.korvel-" + gone + "-Ab12Cd", "{\"uu"},
                                                  {"code/deep/.x.js.korvel-" + gone + "-00ff00ff", "partial"}};
  writeTree(to, kept);
  writeTree(to, leftovers);
  std::filesystem::create_directories(to.parent_path() / ("." + to.filename().string() + ".korvel-tmp-" + gone + "-Ab12Cd"));
  folderArchive(to);
  auto tree = readTree(to);
  for (const auto& [path, content] : leftovers) EXPECT_FALSE(tree.count(path)) << path;
  for (const auto& [path, content] : kept) EXPECT_EQ(tree[path], content) << path;
  EXPECT_FALSE(std::filesystem::exists(to.parent_path() / ("." + to.filename().string() + ".korvel-tmp-" + gone + "-Ab12Cd")));
}
