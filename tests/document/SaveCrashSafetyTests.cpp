// A save killed at any moment leaves the document's zip openable with its old or its new
// content: the zip is rewritten beside the original and moved into place.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "document/storage/KXDocumentArchive.h"
#include "support/TestEnvironment.h"

namespace fsys = std::filesystem;

namespace {

// A project whose files are big enough that a save takes a while.
void writeProject(const fsys::path& folder, const std::string& marker) {
  fsys::create_directories(folder / "design" / "images");
  std::ofstream(folder / "design" / "document.json") << "{\"version\": 1, \"marker\": \"" << marker << "\"}";
  std::mt19937 random(marker.size());
  for (int i = 0; i < 6; ++i) {
    std::ofstream image(folder / "design" / "images" / ("image" + std::to_string(i) + ".bin"), std::ios::binary);
    for (int j = 0; j < (1 << 20) / 4; ++j) {
      auto word = random();
      image.write(reinterpret_cast<const char*>(&word), sizeof word);
    }
  }
}

std::shared_ptr<KXDocumentArchive> openFolder(const fsys::path& folder) {
  auto archive = KXDocumentArchive::open(folder, KXDocumentArchive::folderDocumentType, false, std::nullopt, false);
  EXPECT_TRUE(archive);
  (*archive)->regenerateManifest();
  return *archive;
}

std::string markerIn(const fsys::path& zip) {
  auto archive = KXDocumentArchive::open(zip, KXDocumentArchive::zipDocumentType, false, std::nullopt, true);
  if (!archive) return "(does not open)";
  std::string text;
  auto read = (*archive)->backing().dataReader(KXDocumentArchive::relativePathForDocumentJSON)(
      [&](const std::uint8_t* bytes, std::size_t count) -> Result<void> {
        text.append(reinterpret_cast<const char*>(bytes), count);
        return {};
      });
  if (!read) return "(unreadable)";
  auto at = text.find("\"marker\": \"");
  if (at == std::string::npos) return "(no marker)";
  at += 11;
  return text.substr(at, text.find('"', at) - at);
}

}  // namespace

TEST(SaveCrashSafety, AKilledSaveLeavesTheZipWithItsOldOrNewContent) {
  auto dir = testenv::freshFolder("crash");
  writeProject(dir / "old", "old");
  writeProject(dir / "new", "new-content");
  auto zip = dir / "Project.korvelx";
  {
    auto target = KXDocumentArchive::open(zip, KXDocumentArchive::zipDocumentType, true, std::nullopt, true);
    ASSERT_TRUE(target);
    ASSERT_TRUE((*target)->reflect(*openFolder(dir / "old")));
  }

  for (int round = 0; round < 6; ++round) {
    auto before = markerIn(zip);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(ready[0]);
      // Saves, alternately the new and the old content, until it is killed.
      for (int i = 0;; ++i) {
        auto target = KXDocumentArchive::open(zip, KXDocumentArchive::zipDocumentType, false, std::nullopt, true);
        if (!target) _exit(3);
        auto source = openFolder(dir / (i % 2 == 0 ? "new" : "old"));
        if (i == 0 && write(ready[1], "s", 1) != 1) _exit(4);
        if (!(*target)->reflect(*source)) _exit(5);
      }
    }
    close(ready[1]);
    char started;
    ASSERT_EQ(read(ready[0], &started, 1), 1);
    close(ready[0]);
    usleep(static_cast<useconds_t>(15000 * (round + 1)));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saving process ended by itself with " << WEXITSTATUS(status);

    auto after = markerIn(zip);
    EXPECT_TRUE(after == "old" || after == "new-content") << "round " << round << ": " << after << " (was " << before << ")";
    EXPECT_EQ(testenv::run("unzip -tq '" + zip.string() + "' >/dev/null 2>&1"), 0) << "round " << round;
    auto archive = KXDocumentArchive::open(zip, KXDocumentArchive::zipDocumentType, false, std::nullopt, true);
    ASSERT_TRUE(archive);
    auto recorded = (*archive)->manifest().files;
    ASSERT_TRUE(recorded);
    (*archive)->regenerateManifest();
    EXPECT_EQ((*archive)->manifest().files, recorded) << "round " << round;
  }
}
