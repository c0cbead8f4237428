#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "foundation/EngineInstaller.h"
#include "platform/FileSystem.h"
#include "support/TestEnvironment.h"

namespace {

namespace stdfs = std::filesystem;

void write(const stdfs::path& file, const std::string& text) {
  stdfs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}
std::string read(const stdfs::path& file) {
  return fs::readText(file).value_or("<missing>");
}

std::vector<std::string> entries(const stdfs::path& folder) {
  std::vector<std::string> out;
  for (const auto& e : stdfs::directory_iterator(folder)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

class EngineInstallerTest : public testing::Test {
 protected:
  void SetUp() override {
    write(source / "index.html", "<html>engine</html>");
    write(source / "js" / "app.js", "run()");
  }
  stdfs::path root = testenv::freshFolder("install");
  stdfs::path source = root / "resources" / "Ostrel";
  stdfs::path support = root / "support" / "Korvel";  // not there before the first launch
  stdfs::path target = support / "Ostrel";
  stdfs::path marker = target / EngineInstaller::versionMarkerName;
  stdfs::path sentinel = target / "sentinel";
};

TEST_F(EngineInstallerTest, FirstLaunchCopiesEngineAndWritesMarker) {
  EngineInstaller::installLatestOstrel(source, target, "42");
  EXPECT_EQ(read(target / "index.html"), "<html>engine</html>");
  EXPECT_EQ(read(target / "js" / "app.js"), "run()");
  EXPECT_EQ(read(marker), "42");                                      // no line end
  EXPECT_EQ(entries(support), (std::vector<std::string>{"Ostrel"}));  // no staging left behind
}

TEST_F(EngineInstallerTest, SameBuildCopiesNothing) {
  EngineInstaller::installLatestOstrel(source, target, "42");
  write(sentinel, "kept");
  write(source / "index.html", "<html>changed</html>");
  EngineInstaller::installLatestOstrel(source, target, "42");
  EXPECT_EQ(read(sentinel), "kept");
  EXPECT_EQ(read(target / "index.html"), "<html>engine</html>");
}

TEST_F(EngineInstallerTest, OtherBuildReplacesEngine) {
  for (const char* build : {"43", "41"}) {
    EngineInstaller::installLatestOstrel(source, target, "42");
    write(sentinel, "stale");
    write(source / "index.html", std::string("<html>") + build + "</html>");
    EngineInstaller::installLatestOstrel(source, target, build);
    EXPECT_FALSE(fs::exists(sentinel)) << build;
    EXPECT_EQ(read(target / "index.html"), std::string("<html>") + build + "</html>");
    EXPECT_EQ(read(marker), build);
    EXPECT_EQ(entries(support), (std::vector<std::string>{"Ostrel"}));
  }
}

TEST_F(EngineInstallerTest, MarkerWithLineEndCountsAsDifferent) {
  EngineInstaller::installLatestOstrel(source, target, "42");
  write(marker, "42\n");
  write(sentinel, "stale");
  EngineInstaller::installLatestOstrel(source, target, "42");
  EXPECT_FALSE(fs::exists(sentinel));
  EXPECT_EQ(read(marker), "42");
}

TEST_F(EngineInstallerTest, FolderWithoutMarkerIsReplaced) {
  write(sentinel, "stale");
  EngineInstaller::installLatestOstrel(source, target, "42");
  EXPECT_FALSE(fs::exists(sentinel));
  EXPECT_EQ(read(marker), "42");
}

TEST_F(EngineInstallerTest, MissingSourceKeepsOldEngineAndMarker) {
  EngineInstaller::installLatestOstrel(source, target, "42");
  write(sentinel, "kept");
  stdfs::remove_all(source);
  EngineInstaller::installLatestOstrel(source, target, "43");
  EXPECT_EQ(read(sentinel), "kept");
  EXPECT_EQ(read(target / "index.html"), "<html>engine</html>");
  EXPECT_EQ(read(marker), "42");
  EXPECT_EQ(entries(support), (std::vector<std::string>{"Ostrel"}));
}

// A copy that fails part way (a FIFO can't be copied) must not leave a half engine behind.
TEST_F(EngineInstallerTest, CopyFailingPartWayKeepsOldEngineAndMarker) {
  EngineInstaller::installLatestOstrel(source, target, "42");
  write(sentinel, "kept");
  ASSERT_EQ(::mkfifo((source / "zz-pipe").c_str(), 0600), 0);
  EngineInstaller::installLatestOstrel(source, target, "43");
  EXPECT_EQ(read(sentinel), "kept");
  EXPECT_EQ(read(marker), "42");
  EXPECT_EQ(entries(support), (std::vector<std::string>{"Ostrel"}));
}

TEST_F(EngineInstallerTest, FailedFirstInstallLeavesNoEngine) {
  stdfs::remove_all(source);
  EngineInstaller::installLatestOstrel(source, target, "42");
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(EngineInstallerTest, PluginFolderAbsentWritesNothing) {
  auto plugin = root / "pasteboard-plugin";
  write(plugin / "manifest.json", "{}");
  auto folder = root / "design-tool" / "Plugins";
  EngineInstaller::installSketchPasteboard(plugin, folder);
  EXPECT_FALSE(fs::exists(root / "design-tool"));
}

TEST_F(EngineInstallerTest, PluginIsReplacedEvenWhenIdentical) {
  auto plugin = root / "pasteboard-plugin";
  write(plugin / "manifest.json", "{}");
  auto folder = root / "design-tool" / "Plugins";
  auto installed = folder / "Korvel Pasteboard.sketchplugin";
  write(installed / "manifest.json", "{}");
  write(installed / "left-over.js", "old");
  write(folder / "Other.plugin" / "x", "other");
  EngineInstaller::installSketchPasteboard(plugin, folder);
  EXPECT_EQ(read(installed / "manifest.json"), "{}");
  EXPECT_FALSE(fs::exists(installed / "left-over.js"));
  EXPECT_EQ(read(folder / "Other.plugin" / "x"), "other");
}

}  // namespace
