#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <map>
#include <random>

#include <thread>

#include "ContainerTestSupport.h"
#include "document/storage/KXFileStatusRecord.h"
#include "platform/UniqueFd.h"

using namespace containertest;

namespace {
std::shared_ptr<KXDocumentContainer> openProject(const std::map<std::string, std::string>& files,
                                                 std::shared_ptr<KXDocumentArchive>* archiveOut = nullptr) {
  auto file = makeZipProject(files);
  auto archive = openZip(file);
  auto container = *KXDocumentContainer::create(archive->uuid(), file);
  EXPECT_TRUE(container->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false)));
  if (archiveOut) *archiveOut = archive;
  return container;
}

std::vector<std::string> backups(const KXDocumentContainer& c) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto& e : std::filesystem::directory_iterator(c.projectDirectory() / ".backups", ec))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void backupAndWait(KXDocumentContainer& c) {
  bool done = false;
  c.backupNow([&] { done = true; });
  ASSERT_TRUE(RunLoop::runUntil([&] { return done; }, 20));
}
}  // namespace

TEST(ContainerBackups, BackUpTheDocumentAndCodeOnlyWhenTheyChanged) {
  auto c = openProject({{"design/document.json", R"({"version":1})"}, {"code/a.js", "a"}, {"README.md", "r"}});
  backupAndWait(*c);
  auto first = backups(*c);
  ASSERT_EQ(first.size(), 1u);
  auto zip = openZip(c->projectDirectory() / ".backups" / first[0]);
  std::vector<std::string> names;
  zip->backing().forEach([&](const std::string& p, const DataReader&) { names.push_back(p); });
  EXPECT_EQ(names, (std::vector<std::string>{"code/a.js", "design/document.json"}));
  backupAndWait(*c);
  EXPECT_EQ(backups(*c).size(), 1u);  // nothing changed
}

TEST(ContainerBackups, KeepTheNewest42AndNeverDeleteOtherFiles) {
  auto c = openProject({{"design/document.json", R"({"version":1})"}});
  auto folder = c->projectDirectory() / ".backups";
  ASSERT_TRUE(fs::createDirectories(folder));
  for (int i = 0; i < 45; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "2020-01-%02d 10.00.00.zip", i % 28 + 1);
    std::string file = name;
    if (i >= 28) file = "2019-02-" + std::to_string(10 + i - 28) + " 10.00.00.zip";
    ASSERT_TRUE(fs::writeAtomically(folder / file, std::string_view("old")));
  }
  ASSERT_TRUE(fs::writeAtomically(folder / "notes.txt", std::string_view("keep me")));
  ASSERT_TRUE(fs::writeAtomically(folder / "undated.zip", std::string_view("x")));
  backupAndWait(*c);
  auto left = backups(*c);
  EXPECT_EQ(left.size(), 42u + 1u);  // the 42 newest items, plus notes.txt which sorts after them
  EXPECT_NE(std::find(left.begin(), left.end(), "notes.txt"), left.end());
  EXPECT_EQ(std::find(left.begin(), left.end(), "undated.zip"), left.end());
  EXPECT_EQ(std::find(left.begin(), left.end(), "2019-02-13 10.00.00.zip"), left.end());  // the oldest went
  EXPECT_NE(std::find(left.begin(), left.end(), "2019-02-14 10.00.00.zip"), left.end());
}

TEST(ContainerBackups, ReadingAgainDoesNotStartASecondChainOfBackups) {
  double saved = KXDocumentContainer::backupTimeInterval;
  KXDocumentContainer::backupTimeInterval = 0.3;
  std::shared_ptr<KXDocumentArchive> archive;
  auto c = openProject({{"design/document.json", R"({"version":1})"}}, &archive);
  FakeEditor unused;  // registration closed after the first read; passes are counted through the log
  ASSERT_TRUE(c->read(*archive, KXDocumentContainer::ArchiveRelation::copy()));
  ASSERT_TRUE(c->read(*archive, KXDocumentContainer::ArchiveRelation::copy()));
  auto backupsStarted = [&] {
    auto log = readFileText(c->uuidDirectory() / "container.log");
    size_t started = 0;
    for (auto at = log.find("backing up to"); at != std::string::npos; at = log.find("backing up to", at + 1))
      ++started;
    return started;
  };
  // A second chain would start its backup beside the first one, within an interval.
  EXPECT_TRUE(RunLoop::runUntil([&] { return backupsStarted() >= 1; }, 30));
  RunLoop::runUntil([] { return false; }, KXDocumentContainer::backupTimeInterval);
  KXDocumentContainer::backupTimeInterval = saved;
  EXPECT_EQ(backupsStarted(), 1u);
  c->invalidate();
}

TEST(ContainerBackups, PackageRegistrySettingsAreThePrivateCurrentOnes) {
  KXDocumentContainer::packageRegistrySettingsProvider = [] {
    return KXDocumentContainer::PackageRegistrySettings{"https://registry.korvel.io:8443/npm/", std::string("T0KEN")};
  };
  auto c = openProject({{"design/document.json", R"({"version":1})"}});
  auto npmrc = c->projectDirectory() / ".npmrc";
  EXPECT_EQ(readFileText(npmrc),
            "@korvel:registry=https://registry.korvel.io/\nalways-auth=true\n//registry.korvel.io/:_authToken=T0KEN");
  struct stat st{};
  ASSERT_EQ(stat(npmrc.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  auto closed = openProject({{"design/document.json", R"({"version":1})"}});
  closed->invalidate();
  KXDocumentContainer::packageRegistrySettingsProvider = [] {
    return KXDocumentContainer::PackageRegistrySettings{"http://127.0.0.1:8787", std::string("evil\n//x/:_authToken=y")};
  };
  KXDocumentContainer::refreshAllPackageRegistrySettings();
  EXPECT_EQ(readFileText(npmrc), "@korvel:registry=http://127.0.0.1/");
  EXPECT_NE(readFileText(closed->projectDirectory() / ".npmrc").find("T0KEN"), std::string::npos);  // left as it was
  KXDocumentContainer::packageRegistrySettingsProvider = {};
}

TEST(ContainerBackups, LogLinesFromManyThreadsStayWhole) {
  auto c = openProject({{"design/document.json", R"({"version":1})"}});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) c->log("thread " + std::to_string(t) + " line " + std::string(200, 'x'));
    });
  for (auto& t : threads) t.join();
  auto log = readFileText(c->uuidDirectory() / "container.log");
  size_t lines = 0;
  for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = log.substr(start, end - start);
    ASSERT_EQ(line.front(), '[');
    if (line.find("thread ") != std::string::npos) {
      ++lines;
      EXPECT_EQ(line.substr(line.size() - 200), std::string(200, 'x'));
    }
  }
  EXPECT_EQ(lines, 800u);
}

namespace {
// Counts the files renamed into the watched folders, by name, from the moment it is made.
class RenamesInto {
 public:
  explicit RenamesInto(const std::vector<std::filesystem::path>& folders) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    for (const auto& folder : folders) ::inotify_add_watch(fd_.get(), folder.c_str(), IN_MOVED_TO);
  }
  std::map<std::string, int> counts() {
    alignas(inotify_event) char buffer[65536];
    while (true) {
      ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
      if (n <= 0) break;
      for (char* p = buffer; p < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        if (event->len) ++counts_[event->name];
        p += sizeof(inotify_event) + event->len;
      }
    }
    return counts_;
  }

 private:
  UniqueFd fd_;
  std::map<std::string, int> counts_;
};
}  // namespace

// Opening a saved document again and saving it after one edit (as every later session does)
// writes each of the working copy's own files at most once, and only when it changed.
TEST(ContainerBackups, AReadAndASaveAfterOneEditWriteEachFileOnceAndOnlyWhenItChanged) {
  KXDocumentContainer::packageRegistrySettingsProvider = [] {
    return KXDocumentContainer::PackageRegistrySettings{"https://registry.korvel.io/", std::string("T0KEN")};
  };
  auto file = makeZipProject({{"design/document.json", R"({"version":1})"}, {"code/a.js", "a"}, {"code/b.js", "b"}});
  auto session = [&] {
    auto archive = openZip(file);
    auto container = *KXDocumentContainer::create(archive->uuid(), file);
    EXPECT_TRUE(container->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false)));
    EXPECT_TRUE(container->save(*archive, KXDocumentContainer::ArchiveRelation::origin(false)));
    container->invalidate();
    return container->projectDirectory();
  };
  auto project = session();
  waitUntilOlderThanTheTimestampMargin(project);
  session();  // the record now knows every file
  waitUntilOlderThanTheTimestampMargin(project);

  // The edit lands as the next session starts: it is too fresh for the record at every look.
  writeTree(project, {{"code/a.js", "a edited"}});
  timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 3600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (project / "code/a.js").c_str(), later, 0), 0);
  RenamesInto renames({project, project.parent_path()});
  session();
  auto counts = renames.counts();
  EXPECT_EQ(counts[".npmrc"], 0) << "unchanged, it is not written again";
  EXPECT_EQ(counts[KXFileStatusRecord::fileName], 0) << "forgetting a file too fresh to know is no change of the record";
  EXPECT_EQ(counts["info"], 1);
  for (const auto& [name, count] : counts) EXPECT_LE(count, 1) << name << " was written " << count << " times";
  EXPECT_EQ(readFileText(project / ".npmrc"),
            "@korvel:registry=https://registry.korvel.io/\nalways-auth=true\n//registry.korvel.io/:_authToken=T0KEN");

  // A change of the token is written at the next read.
  KXDocumentContainer::packageRegistrySettingsProvider = [] {
    return KXDocumentContainer::PackageRegistrySettings{"https://registry.korvel.io/", std::nullopt};
  };
  session();
  EXPECT_EQ(readFileText(project / ".npmrc"), "@korvel:registry=https://registry.korvel.io/");
  KXDocumentContainer::packageRegistrySettingsProvider = {};
}

constexpr const char* backingUpVariable = "KORVEL_TEST_BACKING_UP";

// A design of a few megabytes that doesn't compress, so that a backup takes a while.
std::string largeDesign(std::mt19937& random, int round) {
  std::string text = "{\"version\":1,\"round\":" + std::to_string(round) + ",\"pad\":\"";
  for (int i = 0; i < (4 << 20); ++i) text += "0123456789abcdef"[random() & 15];
  return text + "\"}";
}

// Not a test of its own: the process WhatAKilledBackupLeftGoesAtTheNextOpening starts, which
// backs the document up, changed each time, until it is killed.
TEST(ContainerBackups, DISABLED_BackingUpUntilKilled) {
  const char* file = ::getenv(backingUpVariable);
  if (!file) GTEST_SKIP() << "run by WhatAKilledBackupLeftGoesAtTheNextOpening";
  std::mt19937 random(7);
  const std::string designs[] = {largeDesign(random, 0), largeDesign(random, 1)};
  auto opened = openZipDocument(file);
  for (int i = 0;; ++i) {
    opened.editor->content = designs[i % 2];
    opened.editor->source->setNeedsToBeProvided();
    bool done = false;
    opened.container->backupNow([&] { done = true; });
    if (!RunLoop::runUntil([&] { return done; }, 60)) _exit(4);
  }
}

// A backup killed while its zip was made leaves its folder in .backups: the next opening removes
// it at once, not a minute later at the first backup; a folder of a process still running and a
// link named like a leftover stay, and nothing is removed where the link leads.
TEST(ContainerBackups, WhatAKilledBackupLeftGoesAtTheNextOpening) {
  auto file = makeZipProject(kProject);
  const auto backupsFolder = [&] {
    auto archive = openZip(file);
    return KXDocumentContainer::baseDirectory() / ("Korvel-" + archive->uuid().string()) /
           KXDocumentContainer::nameForProjectDirectory / KXDocumentArchive::relativePathForBackups;
  }();
  // Backups are made beside the main loop, and a forked process has no worker threads: the
  // backing-up process is this test binary started afresh, in this home.
  pid_t child = ::fork();
  if (child == 0) {
    ::setenv(backingUpVariable, file.c_str(), 1);
    ::execl("/proc/self/exe", "backing-up", "--gtest_filter=ContainerBackups.DISABLED_BackingUpUntilKilled",
            "--gtest_also_run_disabled_tests", static_cast<char*>(nullptr));
    ::_exit(6);
  }
  ASSERT_GT(child, 0);
  // Killed while a backup's folder is there.
  const std::string childFolder = ".zip.korvel-tmp-" + std::to_string(child) + "-";
  auto leftovers = [&] {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(backupsFolder, ec))
      if (item.path().filename().string().find(childFolder) != std::string::npos)
        found.push_back(item.path().filename().string());
    return found;
  };
  int status = testenv::killWhen(child, [&] { return !leftovers().empty(); });
  ASSERT_TRUE(WIFSIGNALED(status)) << "the backing-up process ended by itself with " << WEXITSTATUS(status);
  ASSERT_EQ(leftovers().size(), 1u);

  // Beside it: a folder of this process, still at work, and a link to a folder elsewhere.
  auto outside = testenv::freshFolder("outside");
  std::ofstream(outside / "kept.txt") << "mine";
  auto live = backupsFolder / (".2026-01-01 10.00.00.zip.korvel-tmp-" + std::to_string(getpid()) + "-a1b2c3");
  auto link = backupsFolder / (".2026-01-01 10.00.01.zip.korvel-tmp-" + std::to_string(child) + "-d4e5f6");
  ASSERT_TRUE(std::filesystem::create_directory(live));
  std::filesystem::create_directory_symlink(outside, link);

  auto opened = openZipDocument(file);
  EXPECT_EQ(leftovers(), (std::vector<std::string>{link.filename().string()}));
  EXPECT_TRUE(std::filesystem::is_directory(live));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(readFileText(outside / "kept.txt"), "mine");
  close(opened);
  std::filesystem::remove(live);
  std::filesystem::remove(link);
}
