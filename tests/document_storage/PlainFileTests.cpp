// Only plain files of a document are read: a named pipe, a socket or a device under a document's
// name is refused at once, by the folder backing, the zip backing and the walk, and never holds
// the opening, the save or the quit that waits for them.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>

#include <gtest/gtest.h>

#include "StorageTestSupport.h"
#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXZipArchiveBacking.h"
#include "platform/ErrorWording.h"
#include "platform/FileSystem.h"
#include "platform/UniqueFd.h"
#include "support/TestEnvironment.h"

using namespace storagetest;

namespace {

// Makes the item of one kind that isn't a plain file at `path`; the sockets stay bound while the
// test runs.
struct NotPlain {
  const char* kind;  // as a person reads it
  std::function<void(const std::filesystem::path&)> make;
};

std::vector<UniqueFd>& boundSockets() {
  static std::vector<UniqueFd> sockets;
  return sockets;
}

void makeSocket(const std::filesystem::path& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(fd);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.string().size(), sizeof address.sun_path) << path;
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
  ASSERT_EQ(::listen(fd.get(), 1), 0);
  boundSockets().push_back(std::move(fd));
}

const std::vector<NotPlain> kinds = {
    {"a named pipe", [](const std::filesystem::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0) << p; }},
    {"a socket", makeSocket},
    {"a named pipe", [](const std::filesystem::path& p) {  // reached through a link inside the folder
       auto pipe = p.parent_path() / ("pipe-behind-" + p.filename().string());
       ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
       std::filesystem::create_symlink(pipe.filename(), p);
     }},
};

// Runs `work` on a thread of its own; whether it ended within a bound that only catches a wait
// on a pipe's writer. Work that still waits is let go by a writer of every pipe in `folder`, so
// that the test ends either way.
bool endsAtOnce(const std::function<void()>& work, const std::filesystem::path& folder) {
  auto ended = std::async(std::launch::async, work);
  if (ended.wait_for(std::chrono::seconds(30)) == std::future_status::ready) return true;
  while (ended.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    for (const auto& item : std::filesystem::recursive_directory_iterator(folder)) {
      if (!item.is_fifo()) continue;
      UniqueFd writer(::open(item.path().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    }
  }
  return false;
}

std::filesystem::path folderDocument(const std::string& hint) {
  auto root = testenv::freshFolder(hint) / "Planted";
  writeTree(root, {{"design/document.json", R"({"version":1})"}, {"code/index.js", "export {}"}, {"README.md", "hi"}});
  return root;
}

}  // namespace

// A folder whose manifest is a pipe, a socket, or a link to a pipe: its opening ends at once,
// refused with an error that names the file and what it is.
TEST(PlainFiles, AFolderWhoseManifestIsNoPlainFileIsRefusedAtOnceNamingIt) {
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.kind);
    auto root = folderDocument("manifest");
    kind.make(root / KXDocumentArchive::relativePathForManifest);
    std::optional<Result<std::shared_ptr<KXDocumentArchive>>> opened;
    ASSERT_TRUE(endsAtOnce([&] {
      opened = KXDocumentArchive::open(root, KXDocumentArchive::folderDocumentType, false, std::nullopt, true);
    }, root)) << "the opening waited on the manifest";
    ASSERT_FALSE(*opened);
    const auto& error = opened->error();
    auto suggestion = error.info(ErrorWording::recoverySuggestionKey).value_or("");
    EXPECT_NE(suggestion.find("“_project.korvelxproj” is " + std::string(kind.kind)), std::string::npos) << suggestion;
    EXPECT_EQ(error.info(ErrorWording::failureReasonKey), "“Planted” can't be opened.");
    EXPECT_EQ(error.info(NSFilePathErrorKey), (root / KXDocumentArchive::relativePathForManifest).string());
  }
}

// Pipes and sockets among a folder's files are no part of it: the walk leaves them out, a reader
// of one fails at once, and the folder is read, hashed and saved as a zip and as a folder whole.
TEST(PlainFiles, PipesAndSocketsAmongAFoldersFilesAreLeftOutAndNeverWaitedOn) {
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.kind);
    auto root = folderDocument("among");
    for (const char* name : {"code/pipe.js", "design/images/pipe.png", "notes.txt"}) {
      std::filesystem::create_directories((root / name).parent_path());
      kind.make(root / name);
    }
    auto zip = testenv::freshFolder("among-zip") / "Copy.korvelx";
    auto folderCopy = testenv::freshFolder("among-folder") / "Copy";
    std::vector<std::string> listed;
    std::vector<std::string> readersThatFailed;
    ASSERT_TRUE(endsAtOnce([&] {
      auto archive = *KXDocumentArchive::open(root, KXDocumentArchive::folderDocumentType, false, std::nullopt, true);
      archive->backing().forEach([&](const std::string& path, const DataReader&) { listed.push_back(path); });
      for (const char* name : {"code/pipe.js", "design/images/pipe.png", "notes.txt"})
        if (!archive->backing().dataReader(name)([](const std::uint8_t*, std::size_t) { return Result<void>(); }))
          readersThatFailed.push_back(name);
      archive->regenerateManifest();
      auto intoZip = KXDocumentArchive::open(zip, KXDocumentArchive::zipDocumentType, true, std::nullopt, true);
      ASSERT_TRUE(intoZip);
      ASSERT_TRUE((*intoZip)->reflect(*archive));
      auto intoFolder = KXDocumentArchive::open(folderCopy, KXDocumentArchive::folderDocumentType, true, std::nullopt, true);
      ASSERT_TRUE(intoFolder);
      ASSERT_TRUE((*intoFolder)->reflect(*archive));
    }, root)) << "a reader waited on a pipe";
    EXPECT_EQ(listed, (std::vector<std::string>{"README.md", "code/index.js", "design/document.json"}));
    EXPECT_EQ(readersThatFailed.size(), 3u);
    auto copied = readTree(folderCopy);
    copied.erase(KXDocumentArchive::relativePathForManifest);
    EXPECT_EQ(copied, (std::map<std::string, std::string>{
                          {"README.md", "hi"}, {"code/index.js", "export {}"}, {"design/document.json", R"({"version":1})"}}));
    auto reopened = KXDocumentArchive::open(zip, KXDocumentArchive::zipDocumentType, false, std::nullopt, true);
    ASSERT_TRUE(reopened);
    EXPECT_EQ((*reopened)->manifest().files->size(), 3u);
  }
}

// A zip document's name given to a pipe or a socket: opened, or chosen as the target of a save,
// it is refused at once, and a save into it writes nothing through it.
TEST(PlainFiles, AZipDocumentThatIsNoPlainFileIsRefusedAtOnce) {
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.kind);
    auto folder = testenv::freshFolder("zip-pipe");
    auto file = folder / "Doc.korvelx";
    kind.make(file);
    for (bool createIfNeeded : {false, true}) {
      for (const std::string type : {KXDocumentArchive::zipDocumentType, "public.data"}) {
        std::optional<Result<std::shared_ptr<KXDocumentArchive>>> opened;
        ASSERT_TRUE(endsAtOnce([&] { opened = KXDocumentArchive::open(file, type, createIfNeeded, std::nullopt, true); },
                               folder))
            << "the opening waited on the zip (" << type << ", created if needed: " << createIfNeeded << ")";
        EXPECT_FALSE(*opened) << type << ", created if needed: " << createIfNeeded;
      }
    }
  }
}

// The platform's whole-file read refuses what isn't a plain file at once, naming it and what it is.
TEST(PlainFiles, AWholeFileReadRefusesWhatIsNoPlainFileAtOnce) {
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.kind);
    auto folder = testenv::freshFolder("read-pipe");
    kind.make(folder / "item");
    std::optional<Result<Data>> whole, bounded;
    ASSERT_TRUE(endsAtOnce([&] {
      whole = fs::readFile(folder / "item");
      bounded = fs::readFile(folder / "item", 1024);
    }, folder));
    for (const auto* read : {&*whole, &*bounded}) {
      ASSERT_FALSE(*read);
      EXPECT_EQ(read->error().code, fs::notPlainFile);
      EXPECT_NE(read->error().message.find(std::string(kind.kind) + ", not a plain file"), std::string::npos)
          << read->error().message;
    }
  }
  auto folder = testenv::freshFolder("read-plain");
  writeTree(folder, {{"plain", "text"}});
  EXPECT_EQ(fs::readText(folder / "plain").value_or(""), "text");
  std::filesystem::create_symlink("plain", folder / "link");
  EXPECT_EQ(fs::readText(folder / "link").value_or(""), "text");
}
