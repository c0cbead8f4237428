#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "StorageTestSupport.h"
#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXFileStatusRecord.h"
#include "document/storage/KXZipArchiveBacking.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "support/TestEnvironment.h"

using namespace storagetest;

namespace {

std::unique_ptr<KXDirectoryArchiveBacking> workingCopyBacking(const std::filesystem::path& folder) {
  auto backing = KXDirectoryArchiveBacking::create(folder, false, false, true);
  if (!backing) throw std::runtime_error(backing.error().description());
  return std::move(*backing);
}

std::shared_ptr<KXDocumentArchive> workingCopy(const std::filesystem::path& folder) {
  return std::make_shared<KXDocumentArchive>(workingCopyBacking(folder), KXDocumentArchive::WithIdentity{Uuid::random()});
}

std::shared_ptr<KXDocumentArchive> zipArchive(const std::filesystem::path& file) {
  auto archive = KXDocumentArchive::open(file, KXDocumentArchive::zipDocumentType, true, std::nullopt, true);
  if (!archive) throw std::runtime_error(archive.error().description());
  return *archive;
}

// A working copy seen through a view that counts the files read from it.
class CountingBacking final : public KXDocumentArchiveBacking {
 public:
  explicit CountingBacking(std::unique_ptr<KXDocumentArchiveBacking> inner) : inner_(std::move(inner)) {}
  std::string documentTypeIdentifier() const override { return inner_->documentTypeIdentifier(); }
  const std::filesystem::path& url() const override { return inner_->url(); }
  Result<std::unique_ptr<KXDocumentArchiveBacking>> moved(const std::filesystem::path&) const override {
    return fail("test", 1);
  }
  DataReader dataReader(const std::string& path) const override { return counted(path, inner_->dataReader(path)); }
  void forEach(const std::function<void(const std::string&, const DataReader&)>& body) const override {
    inner_->forEach([&](const std::string& path, const DataReader& reader) { body(path, counted(path, reader)); });
  }
  std::optional<KXDocumentManifest::Entry> knownEntry(const std::string& path) const override {
    return inner_->knownEntry(path);
  }
  std::optional<std::uint32_t> knownCRC32(const std::string& path) const override { return inner_->knownCRC32(path); }
  Result<void> reflect(const KXDocumentArchive&, KXDocumentArchiveUpdateOperation, const UpdatedManifest&) override {
    return fail("test", 1);
  }
  std::set<std::string> read() const {
    std::lock_guard lock(mutex_);
    return read_;
  }

 private:
  DataReader counted(const std::string& path, DataReader reader) const {
    return [this, path, reader](const DataSink& sink) {
      {
        std::lock_guard lock(mutex_);
        read_.insert(path);
      }
      return reader(sink);
    };
  }
  std::unique_ptr<KXDocumentArchiveBacking> inner_;
  mutable std::mutex mutex_;
  mutable std::set<std::string> read_;
};

const std::map<std::string, std::string> kProject = {{"design/document.json", "{\"version\":1}"},
                                                     {"design/images/a.png", std::string(70000, 'p')},
                                                     {"code/index.js", "one();"},
                                                     {"code/lib/util.js", "two();"},
                                                     {"README.md", "read me"}};

// Opens `kProject` into a fresh working copy, as opening a document does.
std::filesystem::path openedWorkingCopy() {
  auto source = testenv::freshFolder("wc-source");
  writeTree(source, kProject);
  auto folder = testenv::freshFolder("wc") / "container";
  std::filesystem::create_directories(folder);
  auto target = workingCopy(folder);
  if (!target->reflect(*folderArchive(source, false))) throw std::runtime_error("could not open");
  return folder;
}

// Saves a working copy (through a new backing object, as a new process would) into `zip`;
// the names of the files that were read.
std::set<std::string> saveInNewProcess(const std::filesystem::path& folder, const std::filesystem::path& zip) {
  auto counting = std::make_shared<KXDocumentArchive>(std::make_unique<CountingBacking>(workingCopyBacking(folder)),
                                                      KXDocumentArchive::WithIdentity{Uuid::random()});
  auto target = zipArchive(zip);
  auto saved = target->reflect(*counting);
  if (!saved) throw std::runtime_error(saved.error().description());
  return static_cast<const CountingBacking&>(counting->backing()).read();
}

std::map<std::string, std::string> zipContent(const std::filesystem::path& zip) {
  std::map<std::string, std::string> out;
  zipArchive(zip)->backing().forEach([&](const std::string& path, const DataReader& reader) { out[path] = read(reader); });
  return out;
}

std::vector<std::string> zipNames(const std::filesystem::path& zip) {
  auto backing = KXZipArchiveBacking::create(zip, false, false);
  std::vector<std::string> names;
  for (const auto& entry : (*backing)->zip()->entries()) names.push_back(entry->fileName().value_or("?"));
  return names;
}

KXDocumentManifest::Entry entryOf(const std::string& content) {
  auto digest = crypto::sha1(dataFromString(content));
  return {static_cast<std::int64_t>(content.size()), Data(digest.begin(), digest.end())};
}

bool isRecordTemporary(const std::string& path) {
  return path.rfind(std::string(".") + KXFileStatusRecord::fileName + ".", 0) == 0;
}

}  // namespace

TEST(WorkingCopy, ANewProcessKnowsUnchangedFilesWithoutReadingThem) {
  auto folder = openedWorkingCopy();
  EXPECT_EQ(withoutRecord(readTree(folder)), kProject);
  ASSERT_TRUE(std::filesystem::is_regular_file(folder / KXFileStatusRecord::fileName));

  // A new backing over the folder tells every file from its record alone.
  auto fresh = workingCopyBacking(folder);
  for (const auto& [path, content] : kProject) EXPECT_EQ(fresh->knownEntry(path), entryOf(content)) << path;

  auto zip = testenv::freshFolder("wc-zip") / "Project.korvelx";
  saveInNewProcess(folder, zip);  // a first save has nothing to carry over
  // One edit, then a save in yet another process reads only the edited file.
  ASSERT_TRUE(fs::writeAtomically(folder / "code/index.js", std::string_view("three();")));
  EXPECT_EQ(saveInNewProcess(folder, zip), std::set<std::string>{"code/index.js"});
  auto expected = kProject;
  expected["code/index.js"] = "three();";
  EXPECT_EQ(zipContent(zip), expected);
  EXPECT_EQ(zipArchive(zip)->manifest().files->at("design/images/a.png"), entryOf(kProject.at("design/images/a.png")));
  // The record belongs to the working copy, never to the document.
  for (const auto& name : zipNames(zip)) EXPECT_EQ(name.find(KXFileStatusRecord::fileName), std::string::npos) << name;
}

TEST(WorkingCopy, AFileChangedBehindItsRestoredTimesIsReadAgain) {
  auto folder = openedWorkingCopy();
  auto file = folder / "code/index.js";
  struct stat before{};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);
  {
    // Same size, written in place, and its times put back as they were: only the status
    // change time tells.
    int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "ONE", 3, 0), 3);
    ::close(fd);
    timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  }
  auto fresh = workingCopyBacking(folder);
  EXPECT_FALSE(fresh->knownEntry("code/index.js"));
  EXPECT_EQ(fresh->knownEntry("code/lib/util.js"), entryOf("two();"));

  auto zip = testenv::freshFolder("wc-zip") / "Project.korvelx";
  saveInNewProcess(folder, zip);
  EXPECT_EQ(zipContent(zip).at("code/index.js"), "ONE();");
}

TEST(WorkingCopy, ARecordThatIsCorruptTruncatedHugeOrALinkIsIgnored) {
  auto folder = openedWorkingCopy();
  auto record = folder / KXFileStatusRecord::fileName;
  auto good = fs::readText(record);
  ASSERT_TRUE(good);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"garbage", "\x01\x02 not a record"},
      {"truncated", good->substr(0, good->size() / 2)},
      {"huge", *good + std::string(KXFileStatusRecord::maximumSize, '\n')},
      {"empty", ""},
  };
  for (const auto& [why, content] : cases) {
    ASSERT_TRUE(fs::writeAtomically(record, std::string_view(content), 0600));
    auto fresh = workingCopyBacking(folder);
    for (const auto& [path, text] : kProject) EXPECT_FALSE(fresh->knownEntry(path)) << why << ": " << path;
    // Ignored, it costs a read: the files are hashed afresh and come out right.
    auto archive = workingCopy(folder);
    archive->regenerateManifest();
    for (const auto& [path, text] : kProject) EXPECT_EQ(archive->manifest().files->at(path), entryOf(text)) << why;
  }
  // A record that is a link is not followed.
  std::filesystem::remove(record);
  auto elsewhere = testenv::freshFolder("wc-elsewhere") / "record";
  ASSERT_TRUE(fs::writeAtomically(elsewhere, std::string_view(*good)));
  std::filesystem::create_symlink(elsewhere, record);
  EXPECT_FALSE(workingCopyBacking(folder)->knownEntry("README.md"));
}

TEST(WorkingCopy, HashingAFileKeepsItsStatusForTheNextProcess) {
  auto folder = openedWorkingCopy();
  ASSERT_TRUE(fs::writeAtomically(folder / "code/new.js", std::string_view("new();")));
  // Older than the margin kept for coarse file times.
  struct timespec old[2] = {{1600000000, 0}, {1600000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (folder / "code/new.js").c_str(), old, 0), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the status change time ages too
  auto archive = workingCopy(folder);
  archive->regenerateManifest();
  EXPECT_EQ(workingCopyBacking(folder)->knownEntry("code/new.js"), entryOf("new();"));
}

TEST(WorkingCopy, AFailedOpenLeavesTheWorkingCopyEmptyAndNothingBeside) {
  auto parent = testenv::freshFolder("wc-fail");
  auto folder = parent / "container";
  std::filesystem::create_directories(folder);
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 40; ++i) files.emplace_back("code/m" + std::to_string(i % 5) + "/f" + std::to_string(i) + ".js", "x");
  files.emplace_back("code/m1/broken.js", "<fail>");
  KXDocumentArchive source(std::make_unique<ListBacking>(files), KXDocumentArchive::WithIdentity{Uuid::random()});
  auto target = workingCopy(folder);
  EXPECT_FALSE(target->reflect(source));
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(parent), std::filesystem::directory_iterator()), 1);
}

TEST(WorkingCopy, ClashingNamesEndAsInAnyFolder) {
  // A name held twice, and a name that is a file and a folder above another: written in order.
  const std::vector<std::pair<std::string, std::string>> files = {
      {"a.txt", "first"}, {"b", "file"}, {"b/c.txt", "inside"}, {"a.txt", "second"}, {"d/e.txt", "e"}};
  auto plain = testenv::freshFolder("wc-plain");
  auto folder = testenv::freshFolder("wc-clash") / "container";
  std::filesystem::create_directories(folder);
  KXDocumentArchive source(std::make_unique<ListBacking>(files), KXDocumentArchive::WithIdentity{Uuid::random()});
  ASSERT_TRUE(folderArchive(plain, false)->reflect(source));
  ASSERT_TRUE(workingCopy(folder)->reflect(source));
  EXPECT_EQ(withoutRecord(readTree(folder)), readTree(plain));
  EXPECT_EQ(readTree(folder).at("b/c.txt"), "inside");
}

TEST(WorkingCopy, WhatAKilledRecordWriteLeftIsRemovedByTheNextProcess) {
  for (bool reflects : {false, true}) {
    SCOPED_TRACE(reflects ? "the next opening" : "the next process");
    auto folder = openedWorkingCopy();
    const std::string leftover = std::string(".") + KXFileStatusRecord::fileName + ".Ab12Cd";
    writeTree(folder, {{leftover, "korvel-file-status 2\n12"}, {".korvel-file-status-notes", "kept"}});
    auto backing = workingCopyBacking(folder);
    if (reflects) {
      auto source = testenv::freshFolder("wc-leftover");
      writeTree(source, kProject);
      writeTree(folder, {{leftover, "again"}});
      auto target = std::make_shared<KXDocumentArchive>(std::move(backing), KXDocumentArchive::WithIdentity{Uuid::random()});
      ASSERT_TRUE(target->reflect(*folderArchive(source, false)));
    }
    auto tree = readTree(folder);
    EXPECT_FALSE(tree.count(leftover));
    EXPECT_TRUE(tree.count(".korvel-file-status-notes"));
    EXPECT_TRUE(tree.count("design/document.json"));
  }
}

TEST(WorkingCopy, ManyFilesInManyFoldersIntoAFolderThatHoldsSome) {
  auto from = testenv::freshFolder("wc-many-from");
  std::map<std::string, std::string> files, old;
  for (int i = 0; i < 400; ++i) {
    // More folders than are kept open at once.
    std::string path = "code/m" + std::to_string(i % 300) + "/f" + std::to_string(i) + ".js";
    files[path] = std::string(100 + i * 37 % 5000, static_cast<char>('a' + i % 26));
    if (i % 3 == 0) old[path] = i % 2 ? files[path] : "old";
  }
  old["code/gone.js"] = "gone";
  writeTree(from, files);
  auto folder = testenv::freshFolder("wc-many") / "container";
  writeTree(folder, old);
  // Files changed just before they are hashed are rightly not recorded: these are older.
  waitUntilOlderThanTheTimestampMargin(folder);
  auto target = workingCopy(folder);
  ASSERT_TRUE(target->reflect(*folderArchive(from, false)));
  EXPECT_EQ(withoutRecord(readTree(folder)), files);
  auto fresh = workingCopyBacking(folder);
  for (const auto& [path, content] : files) EXPECT_EQ(fresh->knownEntry(path), entryOf(content)) << path;
  auto empty = testenv::freshFolder("wc-many-empty") / "container";
  std::filesystem::create_directories(empty);
  ASSERT_TRUE(workingCopy(empty)->reflect(*folderArchive(from, false)));
  EXPECT_EQ(withoutRecord(readTree(empty)), files);
}

TEST(WorkingCopy, KilledWhileOpeningLeavesOnlyCompleteFilesAndTheNextOpenFinishes) {
  auto from = testenv::freshFolder("wc-crash-from");
  std::map<std::string, std::string> files;
  for (int i = 0; i < 60; ++i)
    files["design/images/" + std::to_string(i % 7) + "/file" + std::to_string(i) + ".bin"] =
        std::string(20000 + i * 3001 % 200000, static_cast<char>('A' + i % 26));
  writeTree(from, files);
  for (int delayMs : {0, 2, 5, 10, 20, 40}) {
    auto parent = testenv::freshFolder("wc-crash");
    auto to = parent / "container";
    std::filesystem::create_directories(to);
    pid_t pid = 0;
    std::string fromPath = from.string(), toPath = to.string();
    char mode[] = "working-copy";
    char* argv[] = {const_cast<char*>(REFLECT_TOOL), fromPath.data(), toPath.data(), mode, nullptr};
    ASSERT_EQ(posix_spawn(&pid, REFLECT_TOOL, nullptr, nullptr, argv, environ), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    for (const auto& [path, content] : withoutRecord(readTree(to))) {
      if (isRecordTemporary(path)) continue;  // not a file of the project; the next opening removes it
      ASSERT_TRUE(files.count(path) && content == files[path]) << path << " after " << delayMs << " ms";
    }
    // The next opening completes it and clears what the killed one left beside.
    ASSERT_TRUE(workingCopy(to)->reflect(*folderArchive(from, false)));
    EXPECT_EQ(withoutRecord(readTree(to)), files) << delayMs;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(parent), std::filesystem::directory_iterator()), 1)
        << delayMs;
  }
}
