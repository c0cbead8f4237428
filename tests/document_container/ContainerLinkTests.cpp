// A folder document is the person's own folder: what korvel writes for it (reduced copies,
// backups, the design, images) never goes through a link in it to somewhere else, and what a
// write killed half way leaves there goes at the folder's next opening.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "ContainerTestSupport.h"
#include "document/storage/KXSaveInFlight.h"
#include "platform/Crypto.h"
#include "platform/ErrorWording.h"

using namespace containertest;

namespace {

Data pictureBytes(int width, int height) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  gdk_pixbuf_fill(pixbuf, 0x3366ccff);
  gchar* buffer = nullptr;
  gsize length = 0;
  gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &length, "png", nullptr, nullptr);
  Data out(reinterpret_cast<std::uint8_t*>(buffer), reinterpret_cast<std::uint8_t*>(buffer) + length);
  g_free(buffer);
  g_object_unref(pixbuf);
  return out;
}

// Every item under `root`, links as links, each with its kind and the hash of its bytes or
// the link's target: equal trees are the same byte for byte.
std::map<std::string, std::string> fingerprint(const std::filesystem::path& root) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    auto relative = it->path().lexically_relative(root).string();
    auto status = it->symlink_status();
    if (std::filesystem::is_symlink(status)) {
      out[relative] = "link " + std::filesystem::read_symlink(it->path()).string();
    } else if (std::filesystem::is_directory(status)) {
      out[relative] = "folder";
    } else {
      auto bytes = fs::readFile(it->path());
      out[relative] = bytes ? "file " + crypto::hex(crypto::sha1(*bytes)) : "unreadable";
    }
  }
  return out;
}

// What lies where each link form leads: files named like the document's picture, hidden names
// like a cache's temporaries, and more backups than a document keeps.
std::map<std::string, std::string> outsideFiles() {
  std::map<std::string, std::string> files = {
      {"pic.png", "the person's own pic.png"},
      {"1024/pic.png", "the person's own 1024/pic.png"},
      {"images/1024/pic.png", "the person's own images/1024/pic.png"},
      {"images/512/.korvel-1-0a1b2c3d4e5f", "hidden"},
      {".pic.png.Ab12Cd", "hidden"},
      {"document.json", R"({"version":1,"title":"not the document's"})"},
  };
  for (int day = 1; day <= 50; ++day)
    files["2020-01-" + std::string(day < 10 ? "0" : "") + std::to_string(day % 31 + 1) + " 10.00." +
          std::to_string(10 + day) + ".zip"] = "an old zip of the person's";
  return files;
}

struct FolderDocument {
  std::filesystem::path folder;
  std::shared_ptr<KXDocumentContainer> container;
  std::unique_ptr<FakeEditor> editor = std::make_unique<FakeEditor>();
};

// Opens the folder document at `folder` as the document does; the read's outcome in `read`.
FolderDocument openFolder(const std::filesystem::path& folder, Result<void>& read) {
  FolderDocument document;
  document.folder = folder;
  auto archive = KXDocumentArchive::open(folder, KXDocumentArchive::folderDocumentType, false, std::nullopt, false);
  if (!archive) throw std::runtime_error(archive.error().description());
  auto container = KXDocumentContainer::create(*archive);
  if (!container) throw std::runtime_error(container.error().description());
  document.container = *container;
  document.container->addDataSource(document.editor->source, KXDocumentArchive::relativePathForDocumentJSON);
  read = document.container->read(**archive, KXDocumentContainer::ArchiveRelation::origin(false));
  return document;
}

bool waitForReducedCopies() {
  return RunLoop::runUntil([] { return KXDocumentContainer::reducedCopiesInProgress() == 0; }, 60);
}

}  // namespace

// Each way a folder document's own parts may lead out of it: the document opens (or is refused
// with a reason), gets its edits saved, its backups and images where it can, and the folder the
// links lead to stays as it was, byte for byte.
TEST(ContainerLinks, NothingIsWrittenThroughALinkOutOfAFolderDocument) {
  const Data picture = pictureBytes(1200, 900);
  struct Case {
    const char* what;
    std::vector<std::string> links;  // each leads to the outside folder
    bool opens;
    std::vector<int> reducedCopies;  // the sizes that get a file of their own inside
  } cases[] = {
      {"no link", {}, true, {512, 1024}},
      {".cache", {".cache"}, true, {}},
      {".cache/images", {".cache/images"}, true, {}},
      {"every size folder", {".cache/images/512", ".cache/images/1024", ".cache/images/2048"}, true, {}},
      {"one size folder", {".cache/images/1024"}, true, {512}},
      {".backups", {".backups"}, true, {512, 1024}},
      {"design", {"design"}, false, {}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    auto place = testenv::freshFolder("linked");
    auto folder = place / "Project";
    auto outside = place / "Elsewhere";
    writeTree(outside, outsideFiles());
    writeTree(folder, {{"code/index.js", "export {}"}});
    if (std::find(k.links.begin(), k.links.end(), "design") == k.links.end())
      writeTree(folder, {{"design/document.json", R"({"version":1,"title":"mine"})"},
                         {"design/images/pic.png", std::string(picture.begin(), picture.end())}});
    for (const auto& link : k.links) {
      std::filesystem::create_directories((folder / link).parent_path());
      std::filesystem::create_directory_symlink(outside, folder / link);
    }
    const auto before = fingerprint(outside);

    Result<void> read;
    auto document = openFolder(folder, read);
    ASSERT_EQ(static_cast<bool>(read), k.opens) << (read ? "" : read.error().description());
    if (!read) {
      auto why = read.error().userInfo.find(ErrorWording::recoverySuggestionKey);
      ASSERT_NE(why, read.error().userInfo.end()) << read.error().description();
      EXPECT_NE(why->second.find("link that leads out"), std::string::npos) << why->second;
    } else {
      document.editor->content = R"({"version":1,"title":"edited"})";
      document.editor->source->setNeedsToBeProvided();
      writeChangesAndWait(*document.container);
      EXPECT_EQ(readFileText(folder / "design/document.json"), R"({"version":1,"title":"edited"})");
      bool backedUp = false;
      document.container->backupNow([&] { backedUp = true; });
      ASSERT_TRUE(RunLoop::runUntil([&] { return backedUp; }, 20));
      auto added = document.container->addImage(pictureBytes(700, 500));
      EXPECT_TRUE(added) << (added ? "" : added.error().description());
      ASSERT_TRUE(waitForReducedCopies());
      for (int size : {512, 1024, 2048}) {
        // Looked at inside the document only: a link would show the outside's own files.
        auto cache = fs::openFolderInside(folder, ".cache/images/" + std::to_string(size), false);
        struct stat st {};
        bool copied = cache && ::fstatat(cache->get(), "pic.png", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
        bool own = std::find(k.reducedCopies.begin(), k.reducedCopies.end(), size) != k.reducedCopies.end();
        EXPECT_EQ(copied, own) << size;
      }
    }
    document.container->invalidate();
    EXPECT_EQ(fingerprint(outside), before) << "written where a link leads";
    for (const auto& link : k.links) EXPECT_TRUE(std::filesystem::is_symlink(folder / link)) << link;
  }
}

namespace {

// Opens the folder document in a child that may write at most `limit` bytes to a file, and has
// it save `design`: the kernel kills it part way through the design's write, as a kill would.
int saveKilledPartWay(const std::filesystem::path& folder, const std::string& design, rlim_t limit) {
  pid_t child = ::fork();
  if (child == 0) {
    try {
      ::prctl(PR_SET_DUMPABLE, 0);  // no core file for the kill
      Result<void> read;
      auto document = openFolder(folder, read);
      if (!read) ::_exit(3);
      document.editor->content = design;
      document.editor->source->setNeedsToBeProvided();
      rlimit bound{limit, limit};
      ::setrlimit(RLIMIT_FSIZE, &bound);
      // The editor answers at once: the write happens within this call.
      document.container->writeChanges(nullptr);
      ::_exit(0);
    } catch (...) {
      ::_exit(5);
    }
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

std::vector<std::string> hiddenItems(const std::filesystem::path& root) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->path().filename().string()[0] == '.' && it->path().filename() != ".npmrc" &&
        it->path().filename() != ".cache" && it->path().filename() != ".backups")
      found.push_back(it->path().lexically_relative(root).string());
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace

// A kill while a folder document's design is written leaves a part of the design under a
// hidden name of the dead process in the person's folder; the next start and opening remove
// it, and the design is the one saved before.
TEST(ContainerLinks, AKillDuringAFolderDocumentsDesignWriteLeavesNoTemporaryAfterTheNextOpening) {
  auto folder = testenv::freshFolder("killed-design") / "Project";
  const std::string saved = R"({"version":1,"title":"saved"})";
  writeTree(folder, {{"design/document.json", saved}, {"code/index.js", "export {}"}});
  // Of the size a real design has: the kill comes after its first megabyte.
  std::string large = R"({"version":1,"title":")" + std::string(6 << 20, 'x') + "\"}";

  int status = saveKilledPartWay(folder, large, 1 << 20);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "status " << status;
  auto left = hiddenItems(folder / "design");
  ASSERT_EQ(left.size(), 1u) << "the kill left no part of the design";
  EXPECT_EQ(std::filesystem::file_size(folder / "design" / left[0]), std::uintmax_t{1} << 20);

  // The next start, then the opening.
  KXSaveInFlight::removeLeftoversOfEndedSaves();
  KXDocumentContainer::removeUnclaimedWorkingCopies();
  Result<void> read;
  auto document = openFolder(folder, read);
  ASSERT_TRUE(read) << read.error().description();
  EXPECT_EQ(hiddenItems(folder), std::vector<std::string>{});
  EXPECT_EQ(readFileText(folder / "design/document.json"), saved);
  ASSERT_TRUE(waitForReducedCopies());
  document.container->invalidate();
}

namespace {

// Sets the modification time of `path` (not following a link) `age` back.
void age(const std::filesystem::path& path, std::chrono::seconds age) {
  timespec times[2];
  ::clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= age.count();
  times[1] = times[0];
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

}  // namespace

// Earlier builds wrote a folder document's design through "design/.document.json.XXXXXX" (named
// after no process): what a kill left of such a write goes at the next opening once no write has
// touched it for an hour. One touched since, a link (and where it leads), a folder and other
// names stay, and so does what lies behind a design folder that is a link.
TEST(ContainerLinks, TheDesignTemporariesEarlierBuildsLeftGoAtTheOpeningOnceAnHourOld) {
  auto root = testenv::freshFolder("earlier-design");
  auto folder = root / "Project";
  const std::string saved = R"({"version":1,"title":"saved"})";
  writeTree(folder, {{"design/document.json", saved}, {"code/index.js", "export {}"}});
  auto design = folder / "design";
  // A real leftover: the write of earlier builds, killed part way by the kernel.
  pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_DUMPABLE, 0);
    rlimit bound{1 << 20, 1 << 20};
    ::setrlimit(RLIMIT_FSIZE, &bound);
    (void)fs::writeAtomically(design / "document.json", dataFromString(std::string(6 << 20, 'x')), 0644,
                              ".document.json.");
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "status " << status;
  auto left = hiddenItems(design);
  ASSERT_EQ(left.size(), 1u);
  ASSERT_EQ(left[0].size(), std::string(".document.json.").size() + 6) << left[0];
  const auto killed = design / left[0];
  age(killed, std::chrono::hours(2));

  auto outside = root / "outside";
  writeTree(outside, {{"mine.txt", "mine"}, {"design/.document.json.Aa1Bb2", "theirs"}});
  age(outside / "mine.txt", std::chrono::hours(2));
  age(outside / "design/.document.json.Aa1Bb2", std::chrono::hours(2));
  struct Stays {
    std::string name;
    std::chrono::seconds age;
  } stays[] = {
      {".document.json.Recent", std::chrono::seconds(0)},     // a write of a build still running
      {".document.json.Half01", std::chrono::minutes(30)},     // touched within the hour
      {".document.json.Link01", std::chrono::hours(2)},        // a link
      {".document.json.Fold01", std::chrono::hours(2)},        // a folder
      {".document.json.abcde", std::chrono::hours(2)},         // five characters
      {".document.json.abcdefg", std::chrono::hours(2)},       // seven
      {".document.json.ab-de1", std::chrono::hours(2)},        // not mkstemp's letters
      {".index.js.Zz9Yy8", std::chrono::hours(2)},             // another file's
  };
  for (const auto& s : stays) {
    auto path = design / s.name;
    if (s.name.ends_with("Link01"))
      std::filesystem::create_symlink(outside / "mine.txt", path);
    else if (s.name.ends_with("Fold01"))
      std::filesystem::create_directory(path);
    else
      std::ofstream(path) << "part";
    age(path, s.age);
  }
  // Another document whose design folder is a link to the outside folder's.
  auto linked = root / "Linked";
  writeTree(linked, {{"code/index.js", "export {}"}});
  std::filesystem::create_directory_symlink(outside / "design", linked / "design");

  Result<void> read;
  auto document = openFolder(folder, read);
  ASSERT_TRUE(read) << read.error().description();
  EXPECT_FALSE(fs::exists(killed)) << "the leftover of an earlier build stayed";
  for (const auto& s : stays) EXPECT_TRUE(fs::exists(design / s.name)) << s.name;
  EXPECT_EQ(readFileText(design / "document.json"), saved);
  ASSERT_TRUE(waitForReducedCopies());
  document.container->invalidate();

  (void)KXDocumentArchive::open(linked, KXDocumentArchive::folderDocumentType, false, std::nullopt, false);
  EXPECT_EQ(readFileText(outside / "design/.document.json.Aa1Bb2"), "theirs");
  EXPECT_EQ(readFileText(outside / "mine.txt"), "mine");
}
