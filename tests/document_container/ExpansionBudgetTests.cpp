// Opening never fills a volume: an archive that would expand out of all proportion to its size,
// or past what the disk can spare, is refused before anything is written and leaves nothing.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "ContainerTestSupport.h"
#include "document/storage/KXExpansionBudget.h"
#include "platform/ErrorWording.h"

using namespace containertest;

namespace {

std::uint64_t freeSpace(const std::filesystem::path& folder) {
  struct statvfs st {};
  return ::statvfs(folder.c_str(), &st) == 0 ? std::uint64_t{st.f_bavail} * st.f_frsize : 0;
}

std::uint64_t bytesUnder(const std::filesystem::path& folder) {
  std::uint64_t total = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec); !ec && it != decltype(it)();
       it.increment(ec))
    if (it->is_regular_file(ec) && !it->is_symlink(ec)) total += it->file_size(ec);
  return total;
}

// A document whose 5.5 MB hold three files of 1.9 GB of zeros, declared honestly or, when
// `lying`, as 1 MiB each.
std::filesystem::path expansionBomb(const std::filesystem::path& folder, bool lying = false) {
  auto file = folder / (lying ? "Lying.korvelx" : "Bomb.korvelx");
  EXPECT_EQ(testenv::run("python3 '" KORVEL_TEST_DATA "/expansion_bomb.py' '" + file.string() + "' 3 1900000000" +
                         (lying ? " --lie" : "")),
            0);
  return file;
}

// A document of incompressible pictures of `megabytes` MB in all.
std::filesystem::path picturesDocument(int megabytes) {
  auto files = kProject;
  std::mt19937 random(static_cast<unsigned>(megabytes));
  for (int i = 0; i < megabytes / 10; ++i) {
    std::string picture(10 << 20, '\0');
    for (std::size_t j = 0; j + 4 <= picture.size(); j += 4) {
      auto word = random();
      std::memcpy(picture.data() + j, &word, 4);
    }
    files["design/images/photo" + std::to_string(i) + ".jpg"] = std::move(picture);
  }
  return makeZipProject(files);
}

// Opens `file` as a document does, on the main loop or beside it as a window's opening reads (one
// that may be given up): a failed first read deletes its fresh working copy.
Result<void> openOnce(const std::filesystem::path& file, bool besideTheMainLoop = false) {
  auto archive = openZip(file);
  auto container = KXDocumentContainer::create(archive->uuid(), file);
  if (!container) return fail(container.error());
  FakeEditor editor;
  (*container)->addDataSource(editor.source, KXDocumentArchive::relativePathForDocumentJSON);
  Result<void> read;
  if (besideTheMainLoop) {
    std::optional<Result<void>> outcome;
    (*container)->readInBackground(archive, KXDocumentContainer::ArchiveRelation::origin(false),
                                   [&](Result<void> r) { outcome = std::move(r); },
                                   std::make_shared<std::atomic<bool>>(false));
    EXPECT_TRUE(RunLoop::runUntil([&] { return outcome.has_value(); }, 300));
    read = outcome.value_or(fail(Error("test", 1, "The read never ended.")));
  } else {
    read = (*container)->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false));
  }
  (*container)->invalidate();
  if (!read) (void)(*container)->deleteContainer(false);
  return read;
}

void expectRefusalNamingSizes(const Result<void>& opened, const std::vector<std::string>& sizes) {
  ASSERT_FALSE(opened);
  auto heading = opened.error().info(ErrorWording::failureReasonKey).value_or("");
  auto reason = opened.error().info(ErrorWording::recoverySuggestionKey).value_or("");
  EXPECT_NE(heading.find("can't be opened"), std::string::npos) << heading;
  for (const auto& size : sizes) EXPECT_NE(reason.find(size), std::string::npos) << reason << " lacks " << size;
}

std::set<std::string> namesIn(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(folder)) names.insert(item.path().filename().string());
  return names;
}

// Points the working copies at `volume` while it lives.
struct DataHomeOn {
  std::string before = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
  explicit DataHomeOn(const std::filesystem::path& volume) { ::setenv("XDG_DATA_HOME", volume.c_str(), 1); }
  ~DataHomeOn() { ::setenv("XDG_DATA_HOME", before.c_str(), 1); }
};

}  // namespace

TEST(ExpansionBudget, ABombIsRefusedBeforeAnythingIsWrittenAndAnHonestLargeDocumentOpens) {
  auto folder = testenv::freshFolder("bomb");
  auto bomb = expansionBomb(folder);
  auto base = KXDocumentContainer::baseDirectory();
  std::filesystem::create_directories(base);
  auto used = bytesUnder(base);
  auto before = namesIn(base);
  for (bool beside : {false, true}) {
    SCOPED_TRACE(beside ? "beside the main loop" : "on the main loop");
    auto opened = openOnce(bomb, beside);
    expectRefusalNamingSizes(opened, {KXExpansionBudget::describeSize(std::filesystem::file_size(bomb)), "5.7 GB"});
    EXPECT_LT(bytesUnder(base), used + (1 << 20));
    EXPECT_EQ(namesIn(base), before) << "the refused opening left something";
  }

  auto pictures = picturesDocument(300);
  auto archive = openZip(pictures);
  auto container = KXDocumentContainer::create(archive->uuid(), pictures);
  ASSERT_TRUE(container);
  ASSERT_TRUE((*container)->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false)));
  EXPECT_EQ(std::filesystem::file_size((*container)->projectDirectory() / "design/images/photo29.jpg"), 10u << 20);
  (*container)->invalidate();
  (void)(*container)->deleteContainer(false);
  std::filesystem::remove(pictures);
}

// On a volume of 2 GB: the bomb, a document larger than the room left, and a volume that
// fills while a document expands. The volume keeps its reserve free throughout.
TEST(ExpansionBudget, OnASmallVolumeOpeningNeverFillsIt) {
  std::filesystem::path volume;
  bool mountedHere = false;
  if (const char* given = std::getenv("KORVEL_TEST_SMALL_VOLUME")) {
    volume = given;
  } else {
    auto mountPoint = testenv::freshFolder("small-volume");
    if (::geteuid() == 0 && testenv::run("mount -t tmpfs -o size=2g tmpfs '" + mountPoint.string() + "' 2>/dev/null") == 0) {
      volume = mountPoint;
      mountedHere = true;
    } else {
      // A private mount namespace lets a user mount a tmpfs of their own: run this test there.
      auto self = std::filesystem::read_symlink("/proc/self/exe");
      std::string inner = "mount -t tmpfs -o size=2g tmpfs '" + mountPoint.string() + "' && KORVEL_TEST_SMALL_VOLUME='" +
                          mountPoint.string() + "' exec '" + self.string() +
                          "' --gtest_filter=ExpansionBudget.OnASmallVolumeOpeningNeverFillsIt";
      if (testenv::run("unshare -rm true 2>/dev/null") != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here: neither the superuser nor unshare -rm";
      ASSERT_EQ(testenv::run("unshare -rm sh -c \"" + inner + "\""), 0) << "the run on a tmpfs failed";
      return;
    }
  }
  struct Unmount {
    std::filesystem::path at;
    bool mounted;
    ~Unmount() {
      if (mounted) testenv::run("umount '" + at.string() + "'");
    }
  } unmount{volume, mountedHere};
  DataHomeOn dataHome(volume);
  auto documents = testenv::freshFolder("small-volume-documents");
  auto spare = freeSpace(volume);
  ASSERT_GT(spare, 1800u << 20);

  // The bomb: refused by its proportions, nothing written.
  auto bomb = expansionBomb(documents);
  expectRefusalNamingSizes(openOnce(bomb), {"5.7 GB"});
  EXPECT_GT(freeSpace(volume), spare - (1u << 20));

  // A bomb whose files declare 1 MiB each: stopped at what they declared.
  EXPECT_FALSE(openOnce(expansionBomb(documents, true)));
  EXPECT_GT(freeSpace(volume), spare - (1u << 20));

  // A document of 200 MB where a filler leaves 250 MB: it would cut into the reserve.
  auto reserve = KXExpansionBudget::reserveOn(volume);
  EXPECT_EQ(reserve, std::min<std::uint64_t>(KXExpansionBudget::largestReserve, (2048u << 20) / 20));
  auto pictures = picturesDocument(200);
  auto filler = volume / "filler";
  {
    int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::posix_fallocate(fd, 0, static_cast<off_t>(freeSpace(volume) - (250u << 20))), 0);
    ::close(fd);
  }
  expectRefusalNamingSizes(openOnce(pictures), {"209.7 MB"});
  std::filesystem::remove(filler);

  // The volume fills while the document expands: the expansion stops with the reserve free.
  auto archive = openZip(pictures);
  auto container = KXDocumentContainer::create(archive->uuid(), pictures);
  ASSERT_TRUE(container);
  auto budget = KXExpansionBudget::make(*archive, (*container)->projectDirectory());
  ASSERT_TRUE(budget && *budget);
  {
    int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::posix_fallocate(fd, 0, static_cast<off_t>(freeSpace(volume) - reserve - (100u << 20))), 0);
    ::close(fd);
  }
  std::atomic<std::uint64_t> lowest = freeSpace(volume);
  std::atomic<bool> expanding = true;
  std::thread watcher([&] {
    while (expanding) lowest = std::min<std::uint64_t>(lowest, freeSpace(volume));
  });
  auto target = folderArchive((*container)->projectDirectory(), false);
  EXPECT_FALSE(target->reflect((*budget)->view()));
  expanding = false;
  watcher.join();
  auto why = (*budget)->overrun();
  ASSERT_TRUE(why);
  EXPECT_EQ(why->code, NSFileWriteOutOfSpaceError);
  // Each of the threads that write may have a check's worth on its way when the reserve is reached.
  EXPECT_GT(lowest + 16 * KXExpansionBudget::spaceCheckInterval, reserve) << lowest;
  std::printf("the expansion stopped with %s free at the lowest, of a reserve of %s\n",
              KXExpansionBudget::describeSize(lowest).c_str(), KXExpansionBudget::describeSize(reserve).c_str());
  (*container)->invalidate();
  (void)(*container)->deleteContainer(false);
  std::filesystem::remove(filler);
  EXPECT_GT(freeSpace(volume), spare - (1u << 20)) << "something was left on the volume";
}
