// PDF and PostScript pictures are drawn by confined children: bounded in time and memory, and
// blind to every file but their own.

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "PDFFixtures.h"
#include "export/Bitmap.h"
#include "platform/ConfinedTool.h"
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
