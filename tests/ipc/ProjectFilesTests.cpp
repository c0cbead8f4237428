// Project files named by the editor: resolution and confinement, creating, copying and opening.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "IPCTestSupport.h"
#include "foundation/AppInfo.h"
#include "ipc/ProjectFiles.h"
#include "platform/FileSystem.h"
#include "platform/Pasteboard.h"
#include "platform/UrlOpener.h"
#include "support/TestEnvironment.h"

using namespace ipctest;
namespace stdfs = std::filesystem;

namespace {

void write(const stdfs::path& path, const std::string& text, unsigned mode = 0644) {
  std::ofstream(path, std::ios::binary) << text;
  ::chmod(path.c_str(), mode);
}

std::string read(const stdfs::path& path) {
  auto text = fs::readText(path);
  return text ? *text : "<missing>";
}

// A project folder beside an outside folder that links and names must not reach.
struct Project {
  Project() {
    auto root = testenv::freshFolder("p");
    dir = root / "project";
    outside = root / "outside";
    stdfs::create_directories(dir / "sub");
    stdfs::create_directories(outside);
    write(outside / "secret.txt", "outside");
    write(dir / "a.txt", "inside");
    stdfs::create_directory_symlink(outside, dir / "out");
    stdfs::create_symlink(outside / "secret.txt", dir / "secret-link.txt");
  }
  stdfs::path dir, outside;
};

long code(const Result<stdfs::path>& result) { return result ? 0 : result.error().code; }

}  // namespace

TEST(ProjectPaths, ReferencesResolveInsideTheProject) {
  Project p;
  auto canonical = stdfs::canonical(p.dir);
  EXPECT_EQ(*ProjectFiles::resolveReference(p.dir, "a.txt"), canonical / "a.txt");
  EXPECT_EQ(*ProjectFiles::resolveReference(p.dir, "sub/new.txt"), canonical / "sub/new.txt");
  EXPECT_EQ(*ProjectFiles::resolveReference(p.dir, "a%20b.txt"), canonical / "a b.txt");
  EXPECT_EQ(*ProjectFiles::resolveReference(p.dir, "sub/../a.txt?x=1#top"), canonical / "a.txt");
  EXPECT_EQ(*ProjectFiles::resolveReference(p.dir, "file://" + canonical.string() + "/a.txt"), canonical / "a.txt");
}

TEST(ProjectPaths, ReferencesThatLeaveTheProjectOrAreNoReferencesAreRefused) {
  Project p;
  using PF = ProjectFiles::ErrorCode;
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "../x")), PF::outsideProject);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "/etc/passwd")), PF::outsideProject);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "a%2F..%2F..%2Fx")), PF::outsideProject);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "%2e%2e/outside/secret.txt")), PF::outsideProject);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "sub/../../outside/secret.txt")), PF::outsideProject);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "file:///etc/passwd")), PF::outsideProject);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "//example.com/a.txt")), PF::outsideProject);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "out/secret.txt")), PF::outsideProject);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "out/new.txt")), PF::outsideProject);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "secret-link.txt")), PF::outsideProject);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "")), PF::outsideProject);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, ".")), PF::outsideProject);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "http://example.com/a.txt")), PF::invalidReference);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "javascript:alert(1)")), PF::invalidReference);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "a b.txt")), PF::invalidReference);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "a%zz.txt")), PF::invalidReference);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "a%00.txt")), PF::invalidReference);
  EXPECT_EQ(code(ProjectFiles::resolveReference(p.dir, "caf\xc3\xa9.txt")), PF::invalidReference);
}

TEST(CreateFileAtRelativePath, WritesOnceAndReplacesOnlyWhenToldExactly) {
  Harness h;
  Project p;
  h.document->project = p.dir;
  h.request("CreateFileAtRelativePath", R"(["sub/n.txt", "first"])");
  EXPECT_EQ(read(p.dir / "sub/n.txt"), "first");
  h.request("CreateFileAtRelativePath", R"(["sub/n.txt", "second"])");
  h.request("CreateFileAtRelativePath", R"(["sub/n.txt", "second", "TRUE"])");
  EXPECT_EQ(read(p.dir / "sub/n.txt"), "first");
  h.request("CreateFileAtRelativePath", R"(["sub/n.txt", "third", "true", 4])");
  EXPECT_EQ(read(p.dir / "sub/n.txt"), "third");

  h.request("CreateFileAtRelativePath", R"(["a%20b.txt", "blank"])");
  EXPECT_EQ(read(p.dir / "a b.txt"), "blank");
  for (const char* body : {R"(["c d.txt", "x"])", R"(["missing/x.txt", "x"])", R"(["x.txt"])", R"(["x.txt", 1])",
                           R"(["x.txt", "x", false])", R"({"path": "x.txt"})"})
    h.request("CreateFileAtRelativePath", body);
  EXPECT_FALSE(stdfs::exists(p.dir / "c d.txt"));
  EXPECT_FALSE(stdfs::exists(p.dir / "missing"));
  EXPECT_FALSE(stdfs::exists(p.dir / "x.txt"));
}

TEST(CreateFileAtRelativePath, NothingIsWrittenOutsideTheProject) {
  Harness h;
  Project p;
  h.document->project = p.dir;
  for (const char* path : {"../outside/new.txt", "out/new.txt", "/tmp/korvel-escape.txt", "a%2F..%2F..%2Fescape.txt"})
    h.request("CreateFileAtRelativePath", nlohmann::json::array({path, "x", "true"}));
  h.request("CreateFileAtRelativePath", R"(["secret-link.txt", "overwritten", "true"])");
  EXPECT_EQ(std::distance(stdfs::directory_iterator(p.outside), stdfs::directory_iterator()), 1);
  EXPECT_EQ(read(p.outside / "secret.txt"), "outside");
  EXPECT_FALSE(stdfs::exists("/tmp/korvel-escape.txt"));
  EXPECT_FALSE(stdfs::exists(p.dir.parent_path() / "escape.txt"));
}

TEST(CreateFileAtRelativePath, AReplacedFileIsANewFileNotAWriteThroughALink) {
  Harness h;
  Project p;
  h.document->project = p.dir;
  // A hard link elsewhere keeps what it held: the write made a new file and renamed it in.
  ASSERT_EQ(::link((p.dir / "a.txt").c_str(), (p.outside / "hard.txt").c_str()), 0);
  h.request("CreateFileAtRelativePath", R"(["a.txt", "replaced", "true"])");
  EXPECT_EQ(read(p.dir / "a.txt"), "replaced");
  EXPECT_EQ(read(p.outside / "hard.txt"), "inside");
}

TEST(CopyFileContentsAtRelativePath, PutsTheFilesTextOnTheClipboardInItsEncoding) {
  Harness h;
  Project p;
  h.document->project = p.dir;
  auto& general = Pasteboard::general();
  write(p.dir / "utf16.txt", std::string("\xFF\xFE" "h\0i\0", 6));
  write(p.dir / "latin1.txt", "caf\xE9");
  write(p.dir / "bom.txt", "\xEF\xBB\xBFok");
  h.request("CopyFileContentsAtRelativePath", R"("utf16.txt")");
  EXPECT_EQ(general.stringForType(PasteboardType::string), "hi");
  h.request("CopyFileContentsAtRelativePath", R"("latin1.txt")");
  EXPECT_EQ(general.stringForType(PasteboardType::string), "caf\xC3\xA9");
  h.request("CopyFileContentsAtRelativePath", R"("bom.txt")");
  EXPECT_EQ(general.stringForType(PasteboardType::string), "ok");
  EXPECT_EQ(general.types(), std::vector<std::string>{PasteboardType::string});

  // Missing, outside, a folder or a pipe: the clipboard stays as it was, and nothing blocks.
  ASSERT_EQ(::mkfifo((p.dir / "pipe").c_str(), 0600), 0);
  for (const char* path : {"missing.txt", "../outside/secret.txt", "secret-link.txt", "sub", "pipe", "/etc/passwd"})
    h.request("CopyFileContentsAtRelativePath", nlohmann::json(path));
  h.request("CopyFileContentsAtRelativePath", "7");
  EXPECT_EQ(general.stringForType(PasteboardType::string), "ok");
}

TEST(OpenRelativePathExternally, OpensPlainFilesAndTriesTheCodeEditorsInOrder) {
  Harness h;
  Project p;
  h.document->project = p.dir;
  auto canonical = stdfs::canonical(p.dir);
  h.request("OpenRelativePathExternally", R"("a.txt")");
  ASSERT_EQ(h.desktop.opened, std::vector<std::string>{"default " + (canonical / "a.txt").string()});

  h.desktop.defaultOpens = false;
  h.desktop.installedEditors = {"Code", "Visual Studio Code"};
  h.request("OpenRelativePathExternally", R"("a.txt")");
  EXPECT_EQ(h.desktop.opened.back(), "Visual Studio Code " + (canonical / "a.txt").string());
  h.desktop.installedEditors = {"Code"};
  h.request("OpenRelativePathExternally", R"("a.txt")");
  EXPECT_EQ(h.desktop.opened.back(), "Code " + (canonical / "a.txt").string());

  std::vector<std::string> browsed;
  UrlOpener::setHandler([&](const std::string& url) { browsed.push_back(url); });
  h.desktop.installedEditors.clear();
  h.desktop.alertAnswer = 1;
  h.request("OpenRelativePathExternally", R"("a.txt")");
  ASSERT_EQ(h.desktop.alerts.size(), 1u);
  EXPECT_EQ(h.desktop.alerts[0],
            "No code editor found. | In order to edit a.txt, " + AppInfo::displayName().value_or("Korvel") +
                " requires an external code editor.");
  EXPECT_TRUE(browsed.empty());
  h.desktop.alertAnswer = 0;
  h.request("OpenRelativePathExternally", R"("a.txt")");
  ASSERT_EQ(browsed.size(), 1u);
  EXPECT_EQ(browsed[0].rfind("https://", 0), 0u);
  UrlOpener::setHandler(nullptr);
  EXPECT_EQ(h.desktop.opened.size(), 3u);
}

TEST(OpenRelativePathExternally, NothingThatCanRunOrLiesOutsideIsOpened) {
  Harness h;
  Project p;
  h.document->project = p.dir;
  write(p.dir / "run.sh", "#!/bin/sh\necho hi\n", 0755);
  write(p.dir / "app.desktop", "[Desktop Entry]\nType=Application\nExec=sh -c 'touch /tmp/x'\n");
  write(p.dir / "APP.DESKTOP", "[Desktop Entry]\nType=Application\nExec=true\n");
  std::string elf = "\x7f" "ELF\x02\x01\x01";
  elf.resize(64, '\0');
  write(p.dir / "program", elf);
  for (const char* path : {"run.sh", "app.desktop", "APP.DESKTOP", "program", "sub", "secret-link.txt",
                           "out/secret.txt", "../outside/secret.txt", "/etc/passwd", "missing.txt"})
    h.request("OpenRelativePathExternally", nlohmann::json(path));
  EXPECT_TRUE(h.desktop.opened.empty()) << h.desktop.opened[0];
  EXPECT_TRUE(h.desktop.alerts.empty());
}

TEST(ProjectFileOpener, OpensProjectFilesAndFoldersOnly) {
  Harness h;
  Project p;
  h.document->project = p.dir;
  write(p.dir / "README.md", "# Read me");
  write(p.dir / "run.sh", "#!/bin/sh\n", 0755);
  stdfs::create_directory(p.dir / "metadata");
  auto open = OstrelIPCProcessor::projectFileOpener(h.document);
  for (const char* path : {"README.md", "metadata", "run.sh", "../outside/secret.txt", "out", "/etc/passwd"}) open(path);
  auto canonical = stdfs::canonical(p.dir);
  EXPECT_EQ(h.desktop.opened, (std::vector<std::string>{"default " + (canonical / "README.md").string(),
                                                        "default " + (canonical / "metadata").string()}));
  h.document.reset();
  open("README.md");
  EXPECT_EQ(h.desktop.opened.size(), 2u);
}

// A name of 255 bytes, the most a name may take, in one-byte and in multi-byte letters.
TEST(CreateFileAtRelativePath, AFileOfTheLongestNameIsCreatedAndReplaced) {
  Harness h;
  Project p;
  h.document->project = p.dir;
  for (const std::string unit : {"n", "\u00e9", "\u65e5"}) {
    std::string name;
    while (name.size() + unit.size() + 4 <= 255) name += unit;
    name.append(255 - 4 - name.size(), 'x');
    name += ".txt";
    ASSERT_EQ(name.size(), 255u);
    // As a reference names it: letters beyond ASCII escaped.
    std::string reference;
    for (unsigned char c : name) {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      reference += c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string(escaped);
    }
    h.request("CreateFileAtRelativePath", nlohmann::json::array({reference, "first"}));
    EXPECT_EQ(read(p.dir / name), "first");
    h.request("CreateFileAtRelativePath", nlohmann::json::array({reference, "second", "true"}));
    EXPECT_EQ(read(p.dir / name), "second");
  }
  for (const auto& item : stdfs::directory_iterator(p.dir))
    EXPECT_NE(item.path().filename().string()[0], '.') << "a temporary stayed: " << item.path();
}
