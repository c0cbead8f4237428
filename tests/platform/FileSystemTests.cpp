#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/FileSystem.h"
#include "support/TestEnvironment.h"

TEST(FileSystem, AtomicWriteReplacesWholeAndSetsMode) {
  auto dir = testenv::freshFolder("fs");
  auto file = dir / "settings.json";
  ASSERT_TRUE(fs::writeAtomically(file, std::string_view("first version, long"), 0600));
  ASSERT_TRUE(fs::writeAtomically(file, std::string_view("second"), 0600));
  EXPECT_EQ(*fs::readText(file), "second");
  struct stat st{};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  int entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(FileSystem, FailedAtomicWriteLeavesTheOldContent) {
  auto dir = testenv::freshFolder("fs");
  auto file = dir / "keep.txt";
  ASSERT_TRUE(fs::writeAtomically(file, std::string_view("old")));
  chmod(dir.c_str(), 0500);
  auto r = fs::writeAtomically(file, std::string_view("new"));
  chmod(dir.c_str(), 0700);
  if (geteuid() != 0) {
    EXPECT_FALSE(r);  // root writes anyway
  }
  if (!r) {
    EXPECT_EQ(*fs::readText(file), "old");
  }
}

TEST(FileSystem, MissingFilesReportTheFileManagersCodes) {
  auto r = fs::readFile("/nonexistent/file");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().domain, NSCocoaErrorDomain);
  EXPECT_EQ(r.error().code, NSFileReadNoSuchFileError);
  ASSERT_TRUE(r.error().underlying);
  EXPECT_EQ(r.error().underlying->domain, NSPOSIXErrorDomain);
  EXPECT_EQ(r.error().underlying->code, ENOENT);
  EXPECT_FALSE(fs::readFile(testenv::freshFolder("fs")));  // a folder is not a file
}

TEST(FileSystem, SiblingTemporaryFoldersAreFreshPrivateAndRemovedWithTheirOwner) {
  auto dir = testenv::freshFolder("fs");
  auto target = dir / "Ostrel";
  std::filesystem::path first;
  {
    auto a = fs::TemporaryFolder::besides(target);
    auto b = fs::TemporaryFolder::besides(target);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->path(), b->path());
    EXPECT_EQ(a->path().parent_path(), dir);
    struct stat st{};
    ASSERT_EQ(stat(a->path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    first = a->path();
    ASSERT_TRUE(fs::writeAtomically(first / "x", std::string_view("x")));
  }
  EXPECT_FALSE(fs::exists(first));
  EXPECT_TRUE(fs::exists(dir));
}

TEST(FileSystem, CopyItemCopiesTreesWithLinksAndRefusesToOverwrite) {
  auto dir = testenv::freshFolder("fs");
  std::filesystem::create_directories(dir / "src/sub");
  ASSERT_TRUE(fs::writeAtomically(dir / "src/sub/a.txt", std::string_view("a")));
  std::filesystem::create_symlink("sub/a.txt", dir / "src/link");
  ASSERT_TRUE(fs::copyItem(dir / "src", dir / "dst"));
  EXPECT_EQ(*fs::readText(dir / "dst/sub/a.txt"), "a");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "dst/link"));
  EXPECT_FALSE(fs::copyItem(dir / "src", dir / "dst"));
  EXPECT_FALSE(fs::copyItem(dir / "missing", dir / "other"));
  EXPECT_TRUE(fs::removeItem(dir / "dst"));
  EXPECT_TRUE(fs::removeItem(dir / "dst"));  // already gone: fine
}

TEST(FileSystem, OnlyTemporariesOfEndedProcessesAreCleanedUp) {
  auto dir = testenv::freshFolder("fs");
  auto target = dir / "Doc.korvelx";
  pid_t ended = ::fork();
  if (ended == 0) ::_exit(0);
  ::waitpid(ended, nullptr, 0);
  auto made = [&](const std::string& name) {
    std::filesystem::create_directories(dir / name / "inner");
    return dir / name;
  };
  std::string ours = ".Doc.korvelx.korvel-tmp-";
  struct Case {
    std::filesystem::path path;
    bool stays;
  } cases[] = {
      {made(ours + std::to_string(ended) + "-a1b2c3"), false},
      {made(ours + "1-a1b2c3"), true},                         // a live process
      {made(ours + "a1b2c3"), true},                           // no maker named
      {made(".Other.korvelx.korvel-tmp-" + std::to_string(ended) + "-a1b2c3"), true},
      {*fs::makeSiblingTemporaryFolder(target), true},         // this process's own
  };
  EXPECT_EQ(fs::removeStaleSiblingTemporaries(target), 1u);
  for (const auto& c : cases) EXPECT_EQ(fs::exists(c.path), c.stays) << c.path;
}

// Names up to 255 bytes, of one-byte and multi-byte letters: the temporaries that write them fit
// whatever the name, carry their maker's process id, and are swept once it ended, as are those
// of the naming before, which left the whole name where the process id left room.
TEST(FileSystem, TemporariesFitTheLongestNamesAndAreSweptOnceTheirMakerEnded) {
  auto dir = testenv::freshFolder("fs");
  pid_t ended = ::fork();
  if (ended == 0) ::_exit(0);
  ::waitpid(ended, nullptr, 0);
  const std::string endedId = std::to_string(ended);
  for (const std::string unit : {"a", "\u00e9", "\u65e5"}) {
    for (std::size_t size : {200u, 228u, 240u, 255u}) {
      std::string name;
      while (name.size() + unit.size() <= size) name += unit;
      name.append(size - name.size(), 'z');
      SCOPED_TRACE(std::to_string(size) + " bytes of " + unit);
      auto target = dir / name;
      ASSERT_TRUE(fs::writeAtomically(target, std::string_view("whole"))) << "written through a temporary";
      EXPECT_EQ(*fs::readText(target), "whole");
      auto folder = fs::makeSiblingTemporaryFolder(target);
      ASSERT_TRUE(folder) << folder.error().description();
      EXPECT_LE(folder->filename().string().size(), 255u);
      // What an ended writer left under the stem a write uses now.
      auto stem = fs::processTemporaryStem(name);
      EXPECT_LE(stem.size() + 16, 255u);
      std::string left = stem.substr(0, stem.rfind(".korvel-")) + ".korvel-" + endedId + "-a1B2c3";
      EXPECT_TRUE(fs::isEndedProcessTemporary(left)) << left;
      EXPECT_FALSE(fs::isEndedProcessTemporary(stem + "a1B2c3")) << "this process's own";
      // Folders an ended process left: named as now, and as before where the name fit whole.
      std::vector<std::filesystem::path> endedFolders;
      auto mine = folder->filename().string();
      endedFolders.push_back(dir / (mine.substr(0, mine.rfind(".korvel-tmp-")) + ".korvel-tmp-" + endedId + "-Q1w2E3"));
      if (1 + name.size() + 12 + endedId.size() + 7 <= 255)
        endedFolders.push_back(dir / ("." + name + ".korvel-tmp-" + endedId + "-R4t5Y6"));
      for (const auto& made : endedFolders) ASSERT_TRUE(std::filesystem::create_directory(made)) << made;
      EXPECT_EQ(fs::removeStaleSiblingTemporaries(target), endedFolders.size());
      for (const auto& made : endedFolders) EXPECT_FALSE(fs::exists(made));
      EXPECT_TRUE(fs::exists(*folder)) << "a live process's folder stays";
      ASSERT_TRUE(fs::removeItem(*folder));
    }
  }
  for (const auto& item : std::filesystem::directory_iterator(dir))
    EXPECT_NE(item.path().filename().string()[0], '.') << item.path();
}

TEST(FileSystem, PrivateFoldersArePrivateEvenWhenTheyExisted) {
  auto dir = testenv::freshFolder("fs") / "Korvel";
  std::filesystem::create_directories(dir);
  ::chmod(dir.c_str(), 0755);
  ASSERT_TRUE(fs::createDirectories(dir, 0700));
  struct stat st{};
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_TRUE(fs::createDirectories(dir, 0755));  // a shared mode leaves an existing folder be
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

namespace {

std::string contents(const std::filesystem::path& p) {
  auto t = fs::readText(p);
  return t ? *t : "<none>";
}

}  // namespace

TEST(FileSystemConfined, ReadsOnlyWhatLiesInsideTheFolderOnceLinksAreFollowed) {
  auto project = testenv::freshFolder("project"), outside = testenv::freshFolder("outside");
  ASSERT_TRUE(fs::writeAtomically(project / "a.png", std::string_view("A")));
  ASSERT_TRUE(fs::createDirectories(project / "sub"));
  ASSERT_TRUE(fs::writeAtomically(project / "sub" / "b.png", std::string_view("B")));
  ASSERT_TRUE(fs::writeAtomically(outside / "secret", std::string_view("S")));
  std::filesystem::create_symlink(outside / "secret", project / "link.png");
  std::filesystem::create_symlink(outside, project / "linked-folder");
  std::filesystem::create_symlink(project / "a.png", project / "inner-link.png");
  ASSERT_EQ(mkfifo((project / "pipe").c_str(), 0600), 0);
  struct Case {
    std::string path;
    std::optional<std::string> read;  // none: refused
  } cases[] = {
      {"a.png", "A"},
      {(project / "sub/b.png").string(), "B"},
      {"sub/../a.png", "A"},
      {"inner-link.png", "A"},
      {"link.png", std::nullopt},
      {"linked-folder/secret", std::nullopt},
      {"../" + outside.filename().string() + "/secret", std::nullopt},
      {(outside / "secret").string(), std::nullopt},
      {"/etc/hostname", std::nullopt},
      {"pipe", std::nullopt},  // refused at once, not waited on
      {"", std::nullopt},
      {"missing.png", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto data = fs::readFileInside(project, c.path, 1024);
    ASSERT_EQ(data.has_value(), c.read.has_value());
    if (data) {
      EXPECT_EQ(std::string(data->begin(), data->end()), *c.read);
    }
  }
  EXPECT_EQ(fs::readFileInside(project, "link.png", 1024).error().code, fs::outsideFolder);
  EXPECT_EQ(fs::readFileInside(project, "pipe", 1024).error().code, fs::notPlainFile);
  EXPECT_EQ(fs::readFileInside(project, "a.png", 0).error().code, fs::tooLarge);
  EXPECT_FALSE(fs::readFileInside({}, "a.png", 1024));
  EXPECT_EQ(*fs::resolveInside(project, "sub/new.png"), std::filesystem::canonical(project) / "sub/new.png");
}

TEST(FileSystemConfined, WritesLandInsideTheFolderAndReplaceLinksNotTheirTargets) {
  auto folder = testenv::freshFolder("export"), outside = testenv::freshFolder("outside");
  ASSERT_TRUE(fs::writeAtomically(outside / "victim", std::string_view("keep")));
  ASSERT_TRUE(fs::createDirectories(folder / "images" / "design"));
  // A link at the final name, and links at names a temporary might take.
  std::filesystem::create_symlink(outside / "victim", folder / "images" / "design" / "a.png");
  std::filesystem::create_symlink(outside / "victim", folder / "images" / "design" / "a.png.korvel-copy");
  std::filesystem::create_symlink(outside / "victim", folder / "images" / "design" / ".a.png.korvel-copy");
  std::filesystem::create_symlink(outside, folder / "escape");
  std::string_view bytes = "new";
  auto span = std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());

  ASSERT_TRUE(fs::writeInside(folder, "images/design/a.png", span));
  EXPECT_FALSE(std::filesystem::is_symlink(folder / "images/design/a.png"));
  EXPECT_EQ(contents(folder / "images/design/a.png"), "new");
  EXPECT_EQ(contents(outside / "victim"), "keep");

  for (const char* refused : {"escape/x.png", "escape/deeper/x.png", "../x.png", "/tmp/x.png", "a/./b", ""}) {
    SCOPED_TRACE(refused);
    EXPECT_FALSE(fs::writeInside(folder, refused, span));
  }
  EXPECT_FALSE(fs::exists(outside / "x.png"));
  EXPECT_FALSE(fs::exists(outside / "deeper"));
  ASSERT_TRUE(fs::writeInside(folder, "made/on/the/way.png", span));
  EXPECT_EQ(contents(folder / "made/on/the/way.png"), "new");
  // Nothing but the files themselves is left behind.
  int entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(folder / "images/design")) ++entries;
  EXPECT_EQ(entries, 3);
}

TEST(FileSystemConfined, CopiesOnlyTheFoldersOwnFiles) {
  auto project = testenv::freshFolder("project"), target = testenv::freshFolder("target"),
       outside = testenv::freshFolder("outside");
  ASSERT_TRUE(fs::writeAtomically(project / "a.png", std::string_view("A")));
  ASSERT_TRUE(fs::writeAtomically(outside / "secret", std::string_view("S")));
  std::filesystem::create_symlink(outside / "secret", project / "link.png");
  ASSERT_TRUE(fs::copyInside(project, "a.png", target, "copies/a.png"));
  EXPECT_EQ(contents(target / "copies/a.png"), "A");
  EXPECT_FALSE(fs::copyInside(project, "link.png", target, "copies/link.png"));
  EXPECT_FALSE(fs::exists(target / "copies/link.png"));
}
