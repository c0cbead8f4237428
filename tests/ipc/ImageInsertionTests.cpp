// Images and SVG handed over by the page, and the editor's own icons, becoming insert events.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "IPCTestSupport.h"
#include "export/Bitmap.h"
#include "export/WebP.h"
#include "foundation/AppInfo.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/RunLoop.h"
#include "support/HostilePictures.h"
#include "support/TestEnvironment.h"

using namespace ipctest;

namespace {

Data png(int w, int h) { return ImageEncoding::png(*Bitmap::make(w, h)); }
Data webp(int w, int h) { return WebP::encode(*Bitmap::make(w, h), 1.0f); }

std::string dataURL(const std::string& type, const Data& bytes) {
  return "data:" + type + ";base64," + crypto::base64Encode(bytes);
}

nlohmann::json received(const std::string& file, const nlohmann::json& point, const std::optional<std::string>& name) {
  nlohmann::json request{{"file", file}, {"mousePoint", point}};
  if (name) request["originalFilename"] = *name;
  return request;
}

bool waitForEvents(Harness& h, std::size_t count) {
  return RunLoop::runUntil([&] { return h.events.size() >= count; }, 60);
}

nlohmann::json size(double w, double h) {
  return {{"width", w}, {"height", h}, {"pixelWidth", w}, {"pixelHeight", h}};
}

bool isPNG(const Data& d) { return d.size() > 4 && d[0] == 0x89 && d[1] == 'P'; }

// A 2000 × 2000 PNG cut half-way through its image data.
Data halfPNG() {
  Data whole = png(2000, 2000);
  return Data(whole.begin(), whole.begin() + std::ptrdiff_t(whole.size() / 2));
}

bool holds(const Data& d, std::string_view what) {
  return std::search(d.begin(), d.end(), what.begin(), what.end()) != d.end();
}

// The editor's folder of icons, as the application knows it, while this lives.
struct EditorFolder {
  EditorFolder() : saved(AppInfo::current()), folder(testenv::freshFolder("ostrel")) {
    AppInfo::setCurrent(std::make_shared<AppInfo>("Test", std::nullopt, folder));
  }
  ~EditorFolder() { AppInfo::setCurrent(saved); }
  std::shared_ptr<AppInfo> saved;
  std::filesystem::path folder;
};

}  // namespace

TEST(ImageInsertion, BitmapsAreStoredThenAnnouncedWithTheirSizeAndPosition) {
  Harness h;
  h.document->storesImages = true;
  LogCapture log;
  nlohmann::json point{{"x", 5}, {"y", 7}};
  h.request("DocumentReceivedImage", received(dataURL("image/png", png(40, 30)), point, "a.png"));
  h.request("DocumentReceivedImage", received(dataURL("image/png", png(2, 3)), nullptr, ""));
  h.request("DocumentReceivedImage", received(dataURL("image/png", webp(20, 10)), point, "photo.png"));
  h.request("DocumentReceivedImage", received(dataURL("image/webp", webp(21, 11)), point, "photo.webp"));
  h.request("DocumentReceivedImage", received(dataURL("image/png", png(4, 4)), point, "photo.WEBP"));
  EXPECT_TRUE(h.events.empty()) << "pictures are decoded away from the main loop";
  ASSERT_TRUE(waitForEvents(h, 5));
  ASSERT_EQ(h.events.size(), 5u);
  EXPECT_EQ(h.events[0].name, "DocumentInsertImage");
  EXPECT_EQ(h.events[0].arguments, nlohmann::json::array({"image-1", "a.png", size(40, 30), point}));
  EXPECT_EQ(h.events[1].arguments, nlohmann::json::array({"image-2", "", size(2, 3), nullptr}));
  EXPECT_EQ(h.events[2].arguments, nlohmann::json::array({"image-3", "photo.png", size(20, 10), point}));
  EXPECT_EQ(h.events[3].arguments, nlohmann::json::array({"image-4", "photo.webp", size(21, 11), point}));
  EXPECT_EQ(h.events[4].arguments[2], size(4, 4));
  // WebP is kept as PNG; other bitmaps as they came.
  EXPECT_TRUE(isPNG(h.document->storedImages[2]));
  EXPECT_TRUE(isPNG(h.document->storedImages[3]));
  EXPECT_EQ(h.document->storedImages[0], png(40, 30));
  EXPECT_TRUE(log.lines.empty());
}

TEST(ImageInsertion, WhatIsNoImageOrLacksAKeyInsertsNothing) {
  Harness h;
  h.document->storesImages = true;
  LogCapture log;
  auto good = dataURL("image/png", png(4, 4));
  h.request("DocumentReceivedImage", nlohmann::json{{"file", good}, {"originalFilename", "a.png"}});  // no point
  h.request("DocumentReceivedImage", received(good, 1, std::nullopt));
  h.request("DocumentReceivedImage", received("data:image/png;base64,not base64", 1, "a.png"));
  h.request("DocumentReceivedImage", received(dataURL("image/png", dataFromString("abc")), 1, "abc.png"));
  h.request("DocumentReceivedImage", received(dataURL("image/png", png(4, 4)), 1, "png-named.webp"));
  h.request("DocumentReceivedImage", "[1, 2]");
  ASSERT_TRUE(RunLoop::runUntil([&] { return log.lines.size() >= 2; }, 60));
  EXPECT_TRUE(h.events.empty());
  EXPECT_TRUE(h.document->storedImages.empty());
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0].rfind("unable to decode image: abc.png (", 0), 0u) << log.lines[0];
  EXPECT_EQ(log.lines[1].rfind("unable to decode image: png-named.webp (", 0), 0u) << log.lines[1];

  // A document that stores nothing gets no event either; the last request marks the end.
  h.document->storesImages = false;
  h.request("DocumentReceivedImage", received(good, 1, "a.png"));
  h.request("DocumentReceivedImage", received(dataURL("image/png", dataFromString("x")), 1, "end"));
  ASSERT_TRUE(RunLoop::runUntil([&] { return log.lines.size() >= 3; }, 60));
  h.document.reset();
  h.request("DocumentReceivedImage", received(good, 1, "a.png"));
  EXPECT_TRUE(h.events.empty());
}

TEST(ImageInsertion, SVGTakesItsOwnRoadWhateverItsNameAndGetsTheNamespace) {
  Harness h;
  h.document->storesImages = true;
  Data svg = dataFromString(R"(<svg width="12" height="8"><rect width="12" height="8"/></svg>)");
  h.request("DocumentReceivedImage", received(dataURL("image/svg+xml", svg), "here", "drawing.png"));
  h.request("DocumentReceivedImage", received(dataURL("image/svg+xml", dataFromString("<html/>")), 1, "x.svg"));
  ASSERT_TRUE(waitForEvents(h, 1));
  // The second one never comes: give it the time the first took.
  RunLoop::runUntil([] { return false; }, 0.5);
  ASSERT_EQ(h.events.size(), 1u);
  auto& event = h.events[0];
  EXPECT_EQ(event.name, "DocumentInsertSVG");
  ASSERT_EQ(event.arguments.size(), 5u);
  EXPECT_NE(event.arguments[0].get<std::string>().find("xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
  EXPECT_EQ(event.arguments[1], "drawing.png");
  EXPECT_EQ(event.arguments[2], (nlohmann::json{{"width", 12.0}, {"height", 8.0}}));
  EXPECT_EQ(event.arguments[3], "here");
  EXPECT_EQ(event.arguments[4], true);
  EXPECT_TRUE(h.document->storedImages.empty());
}

TEST(ImageInsertion, AnSVGFinishingAfterItsProcessorWentIsDropped) {
  std::vector<Event> events;
  {
    Harness h;
    h.processor.call = [&](const std::string& name, IPCArguments) { events.push_back({name, nullptr}); };
    h.request("DocumentReceivedImage", received(dataURL("image/svg+xml", dataFromString("<svg/>")), 1, "a.svg"));
  }
  RunLoop::runUntil([] { return false; }, 3);
  EXPECT_TRUE(events.empty());
}

TEST(ImageInsertion, IconsAreReadOnlyFromInsideTheEditorsFolder) {
  EditorFolder editor;
  auto outside = testenv::freshFolder("outside");
  ASSERT_TRUE(fs::writeAtomically(outside / "secret.svg", std::string_view("<svg width='1' height='1'/>")));
  ASSERT_TRUE(fs::createDirectories(editor.folder / "icons"));
  ASSERT_TRUE(fs::writeAtomically(editor.folder / "icons/star.svg", std::string_view("<svg width='3' height='4'/>")));
  std::filesystem::create_symlink(outside / "secret.svg", editor.folder / "icons/link.svg");
  std::filesystem::create_symlink(outside, editor.folder / "icons/away");
  Harness h;
  for (std::string file : std::vector<std::string>{"../outside/secret.svg", (outside / "secret.svg").string(), "icons/link.svg",
                           "icons/away/secret.svg", "icons/missing.svg", "icons", ""})
    h.request("DocumentDropIcon", nlohmann::json{{"file", file}, {"mousePoint", 1}, {"originalFilename", "x"}});
  h.request("DocumentDropIcon", nlohmann::json{{"file", "icons/star.svg"}, {"mousePoint", 2}, {"originalFilename", "star"}});
  ASSERT_TRUE(waitForEvents(h, 1));
  RunLoop::runUntil([] { return false; }, 0.5);
  ASSERT_EQ(h.events.size(), 1u);
  EXPECT_EQ(h.events[0].arguments[2], (nlohmann::json{{"width", 3.0}, {"height", 4.0}}));
  EXPECT_EQ(h.events[0].arguments[3], 2);
}

TEST(ImageInsertion, HostilePicturesAreRefusedAloudAndNothingIsStored) {
  Harness h;
  h.document->storesImages = true;
  LogCapture log;
  struct Case {
    const char* name;
    std::string file;
    const char* why;
  };
  Data svg = dataFromString(R"(<svg xmlns="http://www.w3.org/2000/svg" width="60000" height="60000"><rect width="60000" height="60000"/></svg>)");
  const Case cases[] = {
      {"bomb.png", dataURL("image/png", testenv::pngHeader(60000, 60000)), "60000 × 60000"},
      {"bomb.jpg", dataURL("image/jpeg", testenv::jpegHeader(65000, 65000)), "65000 × 65000"},
      {"bomb.tiff", dataURL("image/tiff", testenv::tiffHeader(40000, 30000)), "40000 × 30000"},
      {"drawing.png", dataURL("image/png", svg), "not a picture"},
      {"liar.jpg", dataURL("image/jpeg", testenv::jpegLiar(30000, 30000, 100, 100)), "30000 × 30000"},
      {"liar.tiff", dataURL("image/tiff", testenv::tiffPicture(15000, 15000, std::pair{100u, 100u})), "15000 × 15000"},
      {"frames.gif", dataURL("image/gif", testenv::gifPicture(1, 1, 100000)), "too many frames: 100000"},
      {"hidden.gif", dataURL("image/gif", testenv::gifPicture(1, 1, 100000, true)), "too many frames: 100000"},
      {"cut.png", dataURL("image/png", testenv::pngHeader(30, 20)), "does not decode"},
      {"scans.jpg", dataURL("image/jpeg", testenv::jpegProgressive(8192, 8192, 194)), "too many scans: 200"},
      {"half.png", dataURL("image/png", halfPNG()), "cut short"},
  };
  for (const auto& c : cases) h.request("DocumentReceivedImage", received(c.file, 1, c.name));
  ASSERT_TRUE(RunLoop::runUntil([&] { return log.lines.size() >= std::size(cases); }, 60));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(log.lines[i].rfind(std::string("unable to decode image: ") + cases[i].name, 0), 0u) << log.lines[i];
    EXPECT_NE(log.lines[i].find(cases[i].why), std::string::npos) << log.lines[i];
  }
  EXPECT_TRUE(h.events.empty());
  EXPECT_TRUE(h.document->storedImages.empty());
}

// What the pages' engine and the decoders are given of a picture: a PNG without its text, a
// TIFF as PNG; an ordinary progressive JPEG as it came.
TEST(ImageInsertion, PicturesAreStoredAsTheyAreDrawn) {
  Data plain = png(40, 30);
  struct Case {
    const char* name;
    std::string type;
    Data bytes;
    std::function<bool(const Data&)> stored;
  };
  const Case cases[] = {
      {"ztxt.png", "image/png", testenv::withTextChunks(plain, "zTXt", 100, 7900000), [&](const Data& d) { return d == plain; }},
      {"itxt.png", "image/png", testenv::withTextChunks(plain, "iTXt", 200, 7900000), [&](const Data& d) { return d == plain; }},
      {"progressive.jpg", "image/jpeg", testenv::jpegProgressive(40, 30),
       [](const Data& d) { return d == testenv::jpegProgressive(40, 30); }},
      {"scan.tiff", "image/tiff", ImageEncoding::tiff(*Bitmap::make(40, 30)),
       [](const Data& d) { return isPNG(d) && !holds(d, "zTXt"); }},
  };
  for (const auto& c : cases) {
    Harness h;
    h.document->storesImages = true;
    LogCapture log;
    h.request("DocumentReceivedImage", received(dataURL(c.type, c.bytes), 1, c.name));
    ASSERT_TRUE(waitForEvents(h, 1)) << c.name << ": " << (log.lines.empty() ? "" : log.lines[0]);
    EXPECT_EQ(h.events[0].arguments[2], size(40, 30)) << c.name;
    ASSERT_EQ(h.document->storedImages.size(), 1u) << c.name;
    EXPECT_TRUE(c.stored(h.document->storedImages[0])) << c.name;
  }
}

TEST(ImageInsertion, APictureAt144PerInchIsAnnouncedAtHalfItsPixelsInPoints) {
  Harness h;
  h.document->storesImages = true;
  h.request("DocumentReceivedImage", received(dataURL("image/png", testenv::withDensity(png(200, 100), 5669)), 1, "dense.png"));
  ASSERT_TRUE(waitForEvents(h, 1));
  auto announced = h.events[0].arguments[2];
  EXPECT_NEAR(announced["width"].get<double>(), 100.0, 0.01);
  EXPECT_NEAR(announced["height"].get<double>(), 50.0, 0.01);
}

TEST(ImageInsertion, APictureThatADensityWouldMakeLargerThanADesignIsAnnouncedAtItsPixels) {
  Harness h;
  h.document->storesImages = true;
  h.request("DocumentReceivedImage", received(dataURL("image/png", testenv::withDensity(png(2000, 1000), 40)), 1, "sparse.png"));
  ASSERT_TRUE(waitForEvents(h, 1));
  EXPECT_EQ(h.events[0].arguments[2], size(2000, 1000));
}

TEST(ImageInsertion, SVGOfAnImpossibleSizeIsRefusedAloud) {
  Harness h;
  LogCapture log;
  h.request("DocumentReceivedImage",
            received(dataURL("image/svg+xml", dataFromString(R"(<svg width="1e300" height="-1e308"/>)")), 1, "huge.svg"));
  ASSERT_TRUE(RunLoop::runUntil([&] { return !log.lines.empty(); }, 60));
  EXPECT_EQ(log.lines[0].rfind("unable to insert SVG huge.svg: ", 0), 0u) << log.lines[0];
  EXPECT_TRUE(h.events.empty());
}
