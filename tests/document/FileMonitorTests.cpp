// Recursive inotify watching: nested changes, new folders, and the folders left out.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "platform/FileMonitor.h"
#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"

namespace fsys = std::filesystem;

namespace {

struct Watch {
  explicit Watch(const fsys::path& root) {
    auto made = FileMonitor::create(root, [this](const fsys::path& p) { changed.insert(p); });
    EXPECT_TRUE(made);
    if (made) monitor = std::move(*made);
  }
  bool waitFor(const fsys::path& p) {
    return RunLoop::runUntil([&] { return changed.count(p) > 0; }, 30);
  }
  std::unique_ptr<FileMonitor> monitor;
  std::set<fsys::path> changed;
};

}  // namespace

TEST(FileMonitor, ReportsChangesInNestedAndNewFolders) {
  auto root = testenv::freshFolder("watched");
  fsys::create_directories(root / "design" / "images");
  Watch watch(root);
  std::ofstream(root / "design" / "document.json") << "{}";
  EXPECT_TRUE(watch.waitFor(root / "design" / "document.json"));
  fsys::create_directories(root / "code" / "deep");
  // The new folders are watched before their creation is reported.
  EXPECT_TRUE(watch.waitFor(root / "code"));
  std::ofstream(root / "code" / "deep" / "App.tsx") << "x";
  EXPECT_TRUE(watch.waitFor(root / "code" / "deep" / "App.tsx")) << "a folder made later is watched too";
  watch.changed.clear();
  fsys::remove(root / "design" / "document.json");
  EXPECT_TRUE(watch.waitFor(root / "design" / "document.json"));
}

TEST(FileMonitor, LeavesNodeModulesAndHiddenFoldersUnwatched) {
  auto root = testenv::freshFolder("skipping");
  for (auto* folder : {"node_modules/react", ".cache/images/512", ".git/objects", "code"})
    fsys::create_directories(root / folder);
  Watch watch(root);
  EXPECT_EQ(watch.monitor->watchCount(), 2u) << "the root and code/";
  std::ofstream(root / "node_modules" / "react" / "index.js") << "x";
  std::ofstream(root / ".cache" / "images" / "512" / "a.png") << "x";
  std::ofstream(root / "code" / "marker") << "x";
  ASSERT_TRUE(watch.waitFor(root / "code" / "marker"));
  for (auto& p : watch.changed) {
    EXPECT_EQ(p.string().find("node_modules/react"), std::string::npos) << p;
    EXPECT_EQ(p.string().find(".cache/images"), std::string::npos) << p;
  }
  EXPECT_TRUE(FileMonitor::skipsFolder("node_modules"));
  EXPECT_TRUE(FileMonitor::skipsFolder(".backups"));
  EXPECT_FALSE(FileMonitor::skipsFolder("design"));
}

TEST(FileMonitor, AMissingFolderCannotBeWatched) {
  EXPECT_FALSE(FileMonitor::create(testenv::home() / "nowhere", [](const fsys::path&) {}));
}
