// PDF and PostScript pictures are drawn by confined children: bounded in time and memory, and
// blind to every file but their own.

#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <chrono>
#include <thread>

#include "PDFFixtures.h"
#include "export/Bitmap.h"
#include "platform/ConfinedTool.h"
#include "platform/FileConfinement.h"
#include "platform/ImageData.h"
#include "support/TestEnvironment.h"

namespace {

namespace fs = std::filesystem;

std::string stream(const std::string& dictionary, const std::string& body) {
  return "<<" + dictionary + " /Length " + std::to_string(body.size()) + ">>\nstream\n" + body + "\nendstream";
}

const std::string pageHead = "<</Type/Catalog/Pages 2 0 R>>";
const std::string pagesHead = "<</Type/Pages/Kids[3 0 R]/Count 1>>";

// Twelve forms, each drawing the next four times: 4^12 squares from 2.4 KB.
Data nestedForms() {
  std::vector<std::string> objects = {
      pageHead, pagesHead, "<</Type/Page/Parent 2 0 R/MediaBox[0 0 100 100]/Contents 4 0 R/Resources<</XObject<</F 5 0 R>>>>>>",
      stream("", "/F Do")};
  const int depth = 12;
  for (int i = 0; i < depth; ++i) {
    if (i + 1 < depth)
      objects.push_back(stream("/Type/XObject/Subtype/Form/BBox[0 0 100 100]/Resources<</XObject<</F " +
                                   std::to_string(6 + i) + " 0 R>>>>",
                               "/F Do /F Do /F Do /F Do"));
    else
      objects.push_back(stream("/Type/XObject/Subtype/Form/BBox[0 0 100 100]", "0 0 1 rg 0 0 100 100 re f"));
  }
  return pdfOf(objects);
}

// A 100-point page showing a 30000 × 30000 grey image: 875 KB that inflate to 900 MB.
Data hugeImage() {
  const std::size_t side = 30000;
  z_stream z{};
  deflateInit(&z, 9);
  std::vector<std::uint8_t> zeros(1 << 20), out(1 << 20);
  std::string packed;
  for (std::size_t left = side * side; left > 0;) {
    std::size_t n = std::min(left, zeros.size());
    left -= n;
    z.next_in = zeros.data();
    z.avail_in = static_cast<uInt>(n);
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      deflate(&z, left ? Z_NO_FLUSH : Z_FINISH);
      packed.append(reinterpret_cast<char*>(out.data()), out.size() - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  return pdfOf({pageHead, pagesHead,
                "<</Type/Page/Parent 2 0 R/MediaBox[0 0 100 100]/Contents 4 0 R/Resources<</XObject<</I 5 0 R>>>>>>",
                stream("", "100 0 0 100 0 0 cm /I Do"),
                stream("/Type/XObject/Subtype/Image/Width 30000/Height 30000/ColorSpace/DeviceGray/BitsPerComponent 8"
                       "/Filter/FlateDecode",
                       packed)});
}

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool anyInk(const Data& png) {
  auto bitmap = ImageEncoding::decode(png);
  if (!bitmap) return true;
  for (std::size_t i = 3; i < bitmap->rgba.size(); i += 4)
    if (bitmap->rgba[i] != 0) return true;
  return false;
}

}  // namespace

TEST(Drawings, APDFThatDrawsWithoutEndIsStoppedAtItsTimeLimit) {
  auto drawn = ImageData::rasterisePDF(nestedForms(), std::chrono::milliseconds(1000));
  ASSERT_FALSE(drawn);
  EXPECT_EQ(drawn.error().message, "The PDF took too long");
}

TEST(Drawings, APDFWhoseImageWouldTakeGigabytesComesBackWithinTheMemoryBound) {
  // Unbounded, the image alone takes 3.5 GB; within the child's bound it is left out of the page.
  auto drawn = ImageData::rasterisePDF(hugeImage());
  ASSERT_TRUE(drawn) << drawn.error().message;
  EXPECT_EQ(ImageData::bitmapSize(*drawn), (ImageData::PixelSize{100, 100}));
}

TEST(Drawings, PostScriptSeesNoFileButItsOwn) {
  // The person's files, beside where the tool's private folder goes and in the home folder.
  fs::path tmp = fs::temp_directory_path();
  std::string prefix = "korvel-hostile-" + std::to_string(::getpid()) + "-";
  struct Marker {
    fs::path path;
    std::string text;
  };
  std::vector<Marker> markers = {{tmp / (prefix + "read"), "secret in tmp"},
                                 {tmp / (prefix + "delete"), "delete me"},
                                 {tmp / (prefix + "rename"), "move me"},
                                 {testenv::home() / "secret", "secret at home"},
                                 {testenv::home() / "delete", "delete me at home"}};
  for (const auto& m : markers) std::ofstream(m.path) << m.text;
  // Every step that reaches a file of ours counts (a listing, each name it finds); anything
  // counted is painted black.
  std::string attempts;
  auto attempt = [&](const std::string& body) { attempts += "{ " + body + " hit } stopped pop\n"; };
  for (const auto& m : markers) attempt("(" + m.path.string() + ") (r) file 64 string readstring pop pop");
  attempt("(" + (tmp / (prefix + "written")).string() + ") (w) file dup (x) writestring closefile");
  attempt("(" + (testenv::home() / "written").string() + ") (w) file dup (x) writestring closefile");
  attempt("(" + markers[1].path.string() + ") deletefile");
  attempt("(" + markers[4].path.string() + ") deletefile");
  attempt("(" + markers[2].path.string() + ") (" + (tmp / (prefix + "moved")).string() + ") renamefile");
  attempts += "{ (" + (tmp / (prefix + "*")).string() + ") { pop hit } 512 string filenameforall } stopped pop\n";
  attempts += "{ (" + (testenv::home() / "*").string() + ") { pop hit } 512 string filenameforall } stopped pop\n";
  std::string eps = "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n/hits 0 def\n/hit { /hits hits 1 add def } def\n" + attempts +
                    "hits 0 gt { 0 0 10 10 rectfill } if\nshowpage\n";

  auto drawn = ImageData::rasterisePostScript(dataFromString(eps));
  ASSERT_TRUE(drawn) << drawn.error().message;
  EXPECT_FALSE(anyInk(*drawn)) << "the program reached a file of the person's";
  for (const auto& m : markers) EXPECT_EQ(contents(m.path), m.text) << m.path;
  for (const fs::path& made : {tmp / (prefix + "written"), testenv::home() / "written", tmp / (prefix + "moved")})
    EXPECT_FALSE(fs::exists(made)) << made;
  for (const auto& m : markers) fs::remove(m.path);
  for (const fs::path& made : {tmp / (prefix + "written"), tmp / (prefix + "moved")}) fs::remove(made);
}

TEST(Drawings, DrawOnSeveralThreadsAtOnce) {
  Data pdf = greenPDF(30, 20);
  Data eps = dataFromString("%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 12 8\n0 1 0 setrgbcolor 0 0 12 8 rectfill\nshowpage\n");
  std::vector<std::optional<ImageData::PixelSize>> sizes(6);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < sizes.size(); ++i)
    threads.emplace_back([&, i] {
      auto drawn = i % 2 ? ImageData::rasterisePostScript(eps) : ImageData::rasterisePDF(pdf);
      if (drawn) sizes[i] = ImageData::bitmapSize(*drawn);
    });
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < sizes.size(); ++i)
    EXPECT_EQ(sizes[i], (i % 2 ? ImageData::PixelSize{12, 8} : ImageData::PixelSize{30, 20})) << i;
}

TEST(ConfinedTool, RunsInAPrivateFolderItLeavesNothingOfAndStopsAtItsLimits) {
  fs::path folder;
  {
    auto tool = ConfinedTool::create();
    ASSERT_TRUE(tool);
    folder = tool->folder();
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    ASSERT_TRUE(tool->put("in", dataFromString("abc")));
    auto run = tool->run({"/bin/sh", "-c", "cat in > out; printf %s \"$TMPDIR\" > where"}, {});
    EXPECT_EQ(run.outcome, ConfinedTool::Outcome::exited);
    EXPECT_EQ(tool->take("out", 3), dataFromString("abc"));
    EXPECT_FALSE(tool->take("out", 2)) << "longer than asked for";
    EXPECT_EQ(tool->take("where", 4096), dataFromString(folder.string()));

    ConfinedTool::Limits limits;
    limits.time = std::chrono::milliseconds(200);
    EXPECT_EQ(tool->run({"/bin/sh", "-c", "while :; do :; done"}, limits).outcome, ConfinedTool::Outcome::timedOut);
    limits.time = std::chrono::milliseconds(60000);
    limits.fileSize = 1000;
    EXPECT_NE(tool->run({"/bin/sh", "-c", "head -c 5000 /dev/zero > big"}, limits).exitCode, 0);
    limits.memory = std::size_t(256) << 20;
    auto allocate = [&](const char* bytes) {
      return tool->run({"/usr/bin/python3", "-c", std::string("bytearray(") + bytes + ")"}, limits);
    };
    EXPECT_EQ(allocate("1 << 20").exitCode, 0);
    EXPECT_NE(allocate("1 << 30").exitCode, 0) << "beyond the address-space limit";
    EXPECT_EQ(tool->run({"/nonexistent/tool"}, limits).outcome, ConfinedTool::Outcome::notStarted);
  }
  EXPECT_FALSE(fs::exists(folder));
}

namespace {

// The folders of this process's tools, in the temporary folder.
std::vector<fs::path> toolFolders() {
  std::vector<fs::path> found;
  std::string prefix = "korvel-tool-" + std::to_string(::getpid()) + "-";
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), ec))
    if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
  return found;
}

std::uintmax_t sizeOf(const fs::path& folder) {
  std::uintmax_t bytes = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    if (it->is_regular_file(ec)) bytes += it->file_size(ec);
  return bytes;
}

}  // namespace

TEST(Drawings, PostScriptThatFillsItsFolderIsStoppedAtTheFolderBound) {
  // Twelve files of 100 MB, each within the file size bound, named after the page it is asked
  // to write: 1.2 GB in a second, then a page as if nothing had happened.
  std::string eps =
      "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n"
      "/dir currentpagedevice /OutputFile get dup length 8 sub 0 exch getinterval def\n"
      "/buf 65536 string def\n"
      "0 1 11 { /i exch def /name dir length 2 add string def name 0 dir putinterval\n"
      "  name dir length 65 i add put name dir length 1 add 65 put\n"
      "  /f name (w) file def 1600 { f buf writestring } repeat f closefile } for\n"
      "0 0 10 10 rectfill showpage\n";
  std::atomic<bool> drawing{true};
  std::uintmax_t largest = 0;
  // Samples now and then: a watcher that never rests takes the core the bound's own check needs.
  std::thread watch([&] {
    while (drawing) {
      for (const auto& folder : toolFolders()) largest = std::max(largest, sizeOf(folder));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  auto drawn = ImageData::rasterisePostScript(dataFromString(eps));
  drawing = false;
  watch.join();
  ASSERT_FALSE(drawn) << "a page came back";
  EXPECT_EQ(drawn.error().message, "Ghostscript wrote too much");
  // The bound is 384 MB and is checked now and then, so the child writes on for a moment before
  // it is stopped; unbounded it would have written 1.2 GB.
  EXPECT_LT(largest, std::uintmax_t(1024) << 20);
  EXPECT_TRUE(toolFolders().empty());
}

TEST(Drawings, PostScriptThatDeletesTheFilesItHoldsOpenIsStoppedAtTheFolderBound) {
  // Twelve files of 40 MB, each removed from the folder's listing as soon as it is open and
  // written after: unbounded, 480 MB held while the folder lists nothing, then a page.
  std::string eps =
      "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n"
      "/dir currentpagedevice /OutputFile get dup length 8 sub 0 exch getinterval def\n"
      "/buf 65536 string def\n"
      "/held 12 array def\n"
      "0 1 11 { /i exch def /name dir length 2 add string def name 0 dir putinterval\n"
      "  name dir length 65 i add put name dir length 1 add 68 put\n"
      "  held i name (w) file put mark name { deletefile } stopped cleartomark } for\n"
      "held { /f exch def 640 { f buf writestring } repeat } forall\n"
      "0 0 10 10 rectfill showpage\n";
  auto drawn = ImageData::rasterisePostScript(dataFromString(eps));
  ASSERT_FALSE(drawn) << "a page came back";
  EXPECT_EQ(drawn.error().message, "Ghostscript wrote too much");
  EXPECT_TRUE(toolFolders().empty());
}

TEST(Drawings, ThePDFPageToolReadsAndWritesNothingOutsideItsFolder) {
  if (!FileConfinement::available()) GTEST_SKIP() << "this kernel does not confine file access";
  auto outside = testenv::freshFolder("outside");
  Data pdf = greenPDF(30, 20);
  std::ofstream(outside / "theirs.pdf", std::ios::binary).write(reinterpret_cast<const char*>(pdf.data()), pdf.size());
  auto tool = ConfinedTool::create();
  ASSERT_TRUE(tool);
  ASSERT_TRUE(tool->put("input.pdf", greenPDF(30, 20)));
  ConfinedTool::Limits limits;
  // Its own file, to its own folder: drawn.
  auto run = tool->run({KORVEL_PDF_PAGE_TOOL, "input.pdf", "page.png"}, limits);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(tool->take("page.png", 1 << 20));
  // A file of the person's is not read, and nothing is written beside it.
  run = tool->run({KORVEL_PDF_PAGE_TOOL, (outside / "theirs.pdf").string(), "other.png"}, limits);
  EXPECT_NE(run.exitCode, 0);
  EXPECT_FALSE(tool->take("other.png", 1 << 20));
  run = tool->run({KORVEL_PDF_PAGE_TOOL, "input.pdf", (outside / "written.png").string()}, limits);
  EXPECT_NE(run.exitCode, 0);
  EXPECT_FALSE(fs::exists(outside / "written.png"));
}

TEST(ConfinedTool, TheChildReachesTheSystemsFilesAndItsFolderOnly) {
  if (!FileConfinement::available()) GTEST_SKIP() << "this kernel does not confine file access";
  auto outside = testenv::freshFolder("outside");
  std::ofstream(outside / "secret") << "secret";
  std::ofstream(testenv::home() / "secret") << "secret at home";
  auto tool = ConfinedTool::create();
  ASSERT_TRUE(tool);
  ConfinedTool::Limits limits;
  struct Case {
    std::string command;
    bool reaches;
  };
  const std::vector<Case> cases = {
      {"echo mine > mine && cat mine && mkdir inner", true},
      {"ls /usr/bin > /dev/null && cat /etc/fonts/fonts.conf > /dev/null", true},
      {"cat '" + (outside / "secret").string() + "'", false},
      {"cat '" + (testenv::home() / "secret").string() + "'", false},
      {"ls '" + outside.string() + "'", false},
      {"echo x > '" + (outside / "written").string() + "'", false},
      {"rm '" + (outside / "secret").string() + "'", false},
      {"ln -s '" + (outside / "secret").string() + "' link && cat link", false},
      {"cat /etc/shadow /etc/passwd", false},
  };
  for (const auto& c : cases) {
    auto run = tool->run({"/bin/sh", "-c", c.command}, limits);
    EXPECT_EQ(run.outcome, ConfinedTool::Outcome::exited) << c.command;
    EXPECT_EQ(run.exitCode == 0, c.reaches) << c.command;
  }
  EXPECT_EQ(contents(outside / "secret"), "secret");
  EXPECT_FALSE(fs::exists(outside / "written"));
}

TEST(ConfinedTool, FoldersLeftByProcessesThatEndedAreSweptOthersKept) {
  // A process that made its tool's folder, wrote in it and ended without removing it.
  std::string made;
  ASSERT_EQ(testenv::run("cd '" + fs::temp_directory_path().string() +
                             "' && mkdir korvel-tool-$$-Ab12Cd && head -c 1000 /dev/zero > korvel-tool-$$-Ab12Cd/page.png"
                             " && echo $$",
                         &made),
            0);
  std::string prefix = "korvel-tool-" + std::to_string(std::stol(made)) + "-";
  std::vector<fs::path> left = {fs::temp_directory_path() / (prefix + "Ab12Cd")};
  ASSERT_TRUE(fs::exists(left[0] / "page.png"));

  // Ours, in use; another of a gone process that is a link to a folder of the person's.
  auto tool = ConfinedTool::create();
  ASSERT_TRUE(tool);
  auto theirs = testenv::freshFolder("theirs");
  std::ofstream(theirs / "keep") << "keep";
  auto link = fs::temp_directory_path() / (prefix + "Link12");
  fs::create_directory_symlink(theirs, link);

  EXPECT_GE(ConfinedTool::removeLeftovers(), 1u);
  EXPECT_FALSE(fs::exists(left[0]));
  EXPECT_TRUE(fs::is_directory(tool->folder()));
  EXPECT_EQ(contents(theirs / "keep"), "keep");
  EXPECT_TRUE(fs::is_symlink(link));
  fs::remove(link);
}

// Run by the test below in a process of its own, whose temporary folder it chose.
TEST(Drawings, DISABLED_DrawsAnEPSAndAPDFInThisProcess) {
  auto eps = ImageData::rasterisePostScript(
      dataFromString("%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 12 8\n0 1 0 setrgbcolor 0 0 12 8 rectfill\nshowpage\n"));
  ASSERT_TRUE(eps) << eps.error().message;
  EXPECT_EQ(ImageData::bitmapSize(*eps), (ImageData::PixelSize{12, 8}));
  auto pdf = ImageData::rasterisePDF(greenPDF(30, 20));
  ASSERT_TRUE(pdf) << pdf.error().message;
  EXPECT_EQ(ImageData::bitmapSize(*pdf), (ImageData::PixelSize{30, 20}));
}

TEST(Drawings, DrawWhereTheTemporaryFolderIsShutToOthers) {
  // A person's own temporary folder; as the superuser, the tools run as another user.
  auto folder = testenv::freshFolder("private-tmp");
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
  gchar** environment = g_environ_setenv(g_get_environ(), "TMPDIR", folder.c_str(), TRUE);
  std::string self = fs::read_symlink("/proc/self/exe").string();
  const gchar* argv[] = {self.c_str(), "--gtest_filter=Drawings.DISABLED_DrawsAnEPSAndAPDFInThisProcess",
                         "--gtest_also_run_disabled_tests", nullptr};
  gchar* output = nullptr;
  gint status = -1;
  bool ran = g_spawn_sync(nullptr, const_cast<gchar**>(argv), environment, G_SPAWN_STDERR_TO_DEV_NULL, nullptr, nullptr,
                          &output, nullptr, &status, nullptr);
  g_strfreev(environment);
  std::string said = output ? output : "";
  g_free(output);
  ASSERT_TRUE(ran);
  EXPECT_TRUE(g_spawn_check_wait_status(status, nullptr)) << said;
  EXPECT_NE(said.find("[  PASSED  ] 1 test"), std::string::npos) << said;
  // It left nothing in the folder.
  EXPECT_TRUE(fs::is_empty(folder));
}
