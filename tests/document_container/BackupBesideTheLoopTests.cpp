// A folder document's timed backup walks its design and code folders and writes its zip beside
// the main loop: at 100,000 pictures the main loop stays free, the zip holds the design and the
// code files only, and a container closed or deleted meanwhile takes nothing up.
#include <cstdio>
#include <fstream>

#include "ContainerTestSupport.h"
#include "support/ManyPictures.h"

using namespace containertest;

namespace {

constexpr int pictures = 100000;

std::vector<std::string> backups(const std::filesystem::path& project) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto& e : std::filesystem::directory_iterator(project / ".backups", ec))
    if (e.path().extension() == ".zip") names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> namesIn(const std::filesystem::path& zip) {
  std::vector<std::string> names;
  openZip(zip)->backing().forEach([&](const std::string& p, const DataReader&) { names.push_back(p); });
  std::sort(names.begin(), names.end());
  return names;
}

// A folder document of `count` pictures beside its design and code, and files whose names
// only start like the code folder's.
std::filesystem::path makeFolderDocument(int count) {
  auto folder = testenv::freshFolder("pictures") / "Pictures.korvelxproj";
  writeTree(folder, {{"design/document.json", R"({"version":1})"},
                     {"code/index.js", "export {}"},
                     {"code/lib/util.js", "export const u = 1;"},
                     {"codebook.txt", "a file named like the folder"},
                     {"README.md", "not backed up"}});
  std::filesystem::create_directories(folder / "design/images");
  // Short names: a hundred thousand of 255 bytes take minutes to remove from a busy disk.
  for (int i = 0; i < count; ++i) std::ofstream(folder / "design/images" / ("p-" + std::to_string(i) + ".png")) << i;
  return folder;
}

struct Folder {
  std::filesystem::path path;
  std::shared_ptr<KXDocumentContainer> container;
  std::unique_ptr<FakeEditor> editor = std::make_unique<FakeEditor>();
};

Folder openFolder(const std::filesystem::path& path) {
  Folder opened{path, *KXDocumentContainer::create(folderArchive(path, false))};
  opened.editor->content = R"({"version":1})";
  opened.container->addDataSource(opened.editor->source, KXDocumentArchive::relativePathForDocumentJSON);
  return opened;
}

TEST(BackupsBesideTheLoop, AFolderOfManyPicturesIsBackedUpWithTheMainLoopFree) {
  auto opened = openFolder(makeFolderDocument(pictures));
  auto [seconds, longest] = manypictures::onTheMainLoop(
      [&](std::function<void()> done) { opened.container->backupNow(std::move(done)); }, 300);
  std::printf("a backup of a folder of %d pictures: %.2f s, the main loop held at most %.2f s\n", pictures, seconds,
              longest);
  EXPECT_LT(longest, 2) << "the main loop was held";
  auto made = backups(opened.path);
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(namesIn(opened.path / ".backups" / made[0]),
            (std::vector<std::string>{"code/index.js", "code/lib/util.js", "codebook.txt", "design/document.json"}));

  // Nothing changed: no second zip. A changed code file: one more.
  bool done = false;
  opened.container->backupNow([&] { done = true; });
  ASSERT_TRUE(RunLoop::runUntil([&] { return done; }, 60));
  EXPECT_EQ(backups(opened.path).size(), 1u);
  writeTree(opened.path, {{"code/lib/util.js", "export const u = 2;"}});
  opened.container->presentedSubitemDidChange(opened.path / "code/lib/util.js");
  done = false;
  opened.container->backupNow([&] { done = true; });
  ASSERT_TRUE(RunLoop::runUntil([&] { return done; }, 60));
  // Named by the second: a new zip, or the first one written again within its second.
  made = backups(opened.path);
  auto newest = openZip(opened.path / ".backups" / made.back());
  EXPECT_EQ(KXDocumentArchive::readText(newest->backing().dataReader("code/lib/util.js"), 1024),
            "export const u = 2;");
  opened.container->invalidate();
}

// Closed or deleted while its backup runs: the close waits for the zip, which is whole, and the
// container takes nothing up afterwards; no backup follows.
TEST(BackupsBesideTheLoop, AContainerClosedOrDeletedMeanwhileTakesNothingUp) {
  struct Case {
    const char* what;
    bool zipDocument;
  } cases[] = {{"a folder document closed", false}, {"a working copy deleted", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    double interval = KXDocumentContainer::backupTimeInterval;
    KXDocumentContainer::backupTimeInterval = 0.2;
    std::shared_ptr<KXDocumentContainer> container;
    std::unique_ptr<FakeEditor> editor;
    std::filesystem::path project;
    if (c.zipDocument) {
      auto opened = openZipDocument(makeZipProject(kProject));
      container = opened.container;
      editor = std::move(opened.editor);
    } else {
      auto opened = openFolder(makeFolderDocument(10));
      container = opened.container;
      editor = std::move(opened.editor);
    }
    project = container->projectDirectory();
    editor->content = R"({"version":1})";
    bool done = false;
    container->backupNow([&] { done = true; });
    // The design is written first, on the main loop; the walk and the zip then run beside it.
    ASSERT_TRUE(RunLoop::runUntil([&] { return container->isWorkingInBackground() || done; }, 20));
    if (c.zipDocument) {
      EXPECT_TRUE(container->deleteContainer(false));
      EXPECT_FALSE(std::filesystem::exists(project));
    } else {
      container->invalidate();
      auto made = backups(project);
      ASSERT_EQ(made.size(), 1u);
      EXPECT_EQ(namesIn(project / ".backups" / made[0]),
                (std::vector<std::string>{"code/index.js", "code/lib/util.js", "codebook.txt", "design/document.json"}));
    }
    EXPECT_TRUE(RunLoop::runUntil([&] { return done; }, 20));
    EXPECT_FALSE(container->isWorkingInBackground());
    // No chain of backups goes on after the close.
    RunLoop::runUntil([] { return false; }, 3 * KXDocumentContainer::backupTimeInterval);
    KXDocumentContainer::backupTimeInterval = interval;
    if (!c.zipDocument) {
      EXPECT_EQ(backups(project).size(), 1u);
    }
    // Let go here, after the work beside the loop has handed it back.
    container.reset();
  }
}

}  // namespace
