// What a design's pictures cost the process as a person meets them, each case in a process of
// its own: a page that asks 100 times for a 1 × 1 PNG padded to 255 MB, and 200 times for a TIFF
// of a few kilobytes that decodes to 8192 × 8192 (the peak the flood added, its time, and the
// longest the main loop went without a turn); the six exports of a frame holding a JPEG-in-TIFF
// of a few hundred bytes that claims 8000 × 8000 and a 8192 × 8192 TIFF; and the opening of a
// document of a few kilobytes holding three such pictures until its pages have drawn them and its
// reduced copies are made (the process's peak, the time, and the longest pause once the document
// is open; how long the opening itself held the loop is printed apart). Each case also prints its
// peak summed over the process and every process it started (proportional set sizes: the web
// processes that draw and render the pictures, the project server). Last, the frames of large
// pictures as the person pays for them: three TIFFs drawn 80 × 80 (a JPEG-in-TIFF claiming
// 8000 × 8000, an 8192 × 8192 LZW TIFF in one strip, an 8000 × 8000 LZW TIFF) and two 8000 × 8000
// JPEGs drawn 200 × 200, each opened, previewed and exported in all six kinds, beside the same
// frames of small pictures, with the export's time; and five 64-megapixel LZW TIFF photographs
// drawn, against the time decoding them once takes; a frame of 4200 × 4200 holding one
// photograph, or one noise TIFF, exported in all six kinds; and a frame of 20 photographs and five
// such TIFFs exported to PDF ten times; and a pile of 100 noise TIFFs in one frame exported to PNG
// and PDF. Under a display:
//   xvfb-run -a dbus-run-session -- ./picture_bench

#include <gtk/gtk.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "canvas/WebViewController.h"
#include "document/DocumentController.h"
#include "document/DocumentTestSupport.h"
#include "document/KXDocument.h"
#include "export/Bitmap.h"
#include "ipc/ExportPanels.h"
#include "platform/FileSystem.h"
#include "platform/ImageData.h"
#include "platform/LargeBlocks.h"
#include "platform/PictureStore.h"
#include "platform/RunLoop.h"
#include "preview/KorvelViewController.h"
#include "preview/PreviewWindowController.h"
#include "support/HostilePictures.h"
#include "support/ProcessMemory.h"
#include "support/SolidBitmap.h"
#include "support/TestEnvironment.h"
#include "support/TwoToneTiff.h"

using namespace doctests;
namespace fsys = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::size_t statusField(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::size_t(std::atoll(line.c_str() + std::strlen(field))) << 10;
  return 0;
}

// The resident peak over a stretch, sampled beside the main loop, and the main loop's longest pause.
struct Watch {
  std::size_t start = statusField("VmRSS:"), peak = start;
  std::atomic<bool> stop{false};
  std::thread sampler{[this] {
    while (!stop) {
      peak = std::max(peak, statusField("VmRSS:"));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }};
  Clock::time_point began = Clock::now(), last = began;
  double longestPause = 0;
  std::unique_ptr<Timer> ticks = Timer::scheduled(0.005, true, [this] {
    auto now = Clock::now();
    longestPause = std::max(longestPause, std::chrono::duration<double, std::milli>(now - last).count());
    last = now;
  });
  // Pauses count from now on: what came before is not the pictures' doing.
  void countPausesFromNow() {
    last = Clock::now();
    longestPause = 0;
  }
  testenv::PeakPss summed;
  void end(const char* what) {
    stop = true;
    sampler.join();
    double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    std::printf("%-44s %7.1f s  added %6zu MB  process peak %6zu MB  with its processes %6zu MB  longest main-loop pause %6.0f ms\n",
                what, seconds, (peak - start) >> 20, statusField("VmHWM:") >> 20, summed.stop() >> 20, longestPause);
    std::fflush(stdout);
  }
};

struct Picture {
  std::string name;
  Data bytes;
};

// With `watch`, the pauses count from the moment the document is open: opening any document,
// pictures or none, holds the main loop while it reads the file and makes its windows.
std::shared_ptr<KXDocument> open(DocumentController& controller, const fsys::path& dir, const std::vector<Picture>& pictures,
                                 Watch* watch = nullptr, int side = 80, Clock::time_point* openedAt = nullptr) {
  auto source = dir / "source";
  writeProject(source, "Home");
  nlohmann::json layers = nlohmann::json::array();
  int x = 0;
  for (const auto& p : pictures) {
    (void)fs::writeInside(source, "design/images/" + p.name, p.bytes);
    layers.push_back({{"id", p.name}, {"type", "image"}, {"image", p.name}, {"name", p.name + ".tiff"},
                      {"x", x}, {"y", 0}, {"width", side}, {"height", side}});
    x += side + 10;
  }
  nlohmann::json json = {{"version", 1}, {"pages", {{{"id", "page-1"}, {"name", "Home"}, {"layers", layers}}}}};
  std::ofstream(source / "design" / "document.json") << json.dump();
  makeZip(source, dir / "Project.korvelx");
  std::error_code ec;
  std::printf("(the document is %ju bytes)\n", std::uintmax_t(fsys::file_size(dir / "Project.korvelx", ec)));
  auto opening = Clock::now();
  if (openedAt) *openedAt = opening;
  auto document = openWith(controller, dir / "Project.korvelx");
  if (watch) {
    std::printf("(opening it held the main loop %.0f ms)\n",
                std::chrono::duration<double, std::milli>(Clock::now() - opening).count());
    watch->countPausesFromNow();
  }
  if (!document || !waitForEditor(*document)) return nullptr;
  return document;
}

// How many of the pictures `selector` finds are settled: drawn, drawn from their file, or refused
// by the host (which draws none).
std::string settledPictures(const std::string& selector) {
  return "Array.prototype.filter.call(document.querySelectorAll('" + selector + "'), function (i) {"
         " return i.dataset.refused === 'refused' || (i.complete && (i.naturalWidth > 0 || /^(file|http)/.test(i.src)));"
         " }).length";
}

// Every picture of the canvas drawn or refused, and nothing more being read or decoded.
bool settled(KXDocument& document, std::size_t pictures) {
  auto done = evaluate(document, settledPictures("#canvas img"));
  return done && done->is_number() && done->get<std::size_t>() >= pictures &&
         PictureStore::shared().unfinished() == 0;
}

int flood(const char* name, const Data& bytes, std::uintmax_t size, int requests) {
  DocumentController controller;
  auto dir = testenv::freshFolder("picture-bench");
  auto document = open(controller, dir, {{"red", ImageEncoding::png(testenv::solidBitmap(40, 30, 255, 0, 0))}});
  if (!document) return 1;
  auto images = document->projectPath().value() / "design" / "images";
  (void)fs::writeInside(images, name, bytes);
  fsys::resize_file(images / name, size);
  Watch watch;
  evaluate(*document, "window.flood = {ended: 0}; for (var i = 0; i < " + std::to_string(requests) +
                          "; ++i) fetch('korvel-picture:" + name + "?' + i).then(function (r) { return r.blob(); })"
                          ".then(function () { flood.ended++; }, function () { flood.ended++; }); true");
  bool ended = waitFor([&] { return evaluate(*document, "flood.ended") == nlohmann::json(requests); }, 600);
  std::string what = std::to_string(requests) + " requests for " + name + (ended ? "" : " (not all ended)");
  watch.end(what.c_str());
  document->close();
  return 0;
}

int exportFrame() {
  DocumentController controller;
  auto dir = testenv::freshFolder("picture-bench");
  exportInto(dir / "out");
  auto document = open(controller, dir, {{"fake", testenv::tiffPicture(8000, 8000, {}, 1, {{259, 7}})},
                                         {"large", testenv::tiffPicture(8192, 8192)}});
  if (!document) return 1;
  waitFor([&] { return settled(*document, 1); }, 300);
  Watch watch;
  evaluate(*document, "OstrelStandIn.selected = null; !!OstrelStandIn.exportSelection(['png', 'jpg', 'webp', 'pdf', 'svg', 'html'])");
  waitFor([&] { return evaluate(*document, "!!OstrelStandIn.exportOutcome") == nlohmann::json(true); }, 600);
  auto written = evaluate(*document, "OstrelStandIn.exportOutcome.written");
  watch.end(("export of the frame, " + written.value_or(nullptr).dump() + " of 6 written").c_str());
  document->close();
  return 0;
}

int openDocument() {
  DocumentController controller;
  auto dir = testenv::freshFolder("picture-bench");
  Watch watch;
  auto document = open(controller, dir,
                       {{"fake", testenv::tiffPicture(8000, 8000, {}, 1, {{259, 7}})},
                        {"large", testenv::tiffPicture(8192, 8192)},
                        {"tall", testenv::tiffPicture(4096, 16384)}},
                       &watch);
  if (!document) return 1;
  bool drawn = waitFor([&] { return settled(*document, 3); }, 600);
  watch.end(drawn ? "opening the document, its pictures drawn" : "opening the document (not all drawn)");
  document->close();
  return 0;
}

// A frame of `pictures` in a row, each drawn `side` × `side`: opened until the editor has drawn
// them, previewed until the preview has, and exported in all six kinds; the peak summed over the
// process and its processes of each step, and the export's time.
void frame(const char* what, const std::vector<Picture>& pictures, int side) {
  DocumentController controller;
  auto dir = testenv::freshFolder("picture-bench");
  exportInto(dir / "out");
  auto peak = std::make_unique<testenv::PeakPss>();
  auto document = open(controller, dir, pictures, nullptr, side);
  if (!document) return;
  bool drawn = waitFor([&] { return settled(*document, pictures.size()); }, 600);
  std::size_t opened = peak->stop();
  peak = std::make_unique<testenv::PeakPss>();
  document->showPreviewWindow();
  auto* preview = document->previewWindowController();
  drawn = drawn && preview && waitFor([&] {
    auto& page = preview->korvelViewController()->webViewController();
    auto done = page.isDocumentReady() ? guitest::evaluate(page.webView(), settledPictures("[data-frame] img"))
                                       : std::nullopt;
    return done && done->is_number() && done->get<std::size_t>() >= pictures.size();
  }, 600);
  std::size_t previewed = peak->stop();
  std::string beforeExport = peak->atPeak();
  peak = std::make_unique<testenv::PeakPss>();
  auto began = Clock::now();
  evaluate(*document, "OstrelStandIn.selected = null; !!OstrelStandIn.exportSelection(['png', 'jpg', 'webp', 'pdf', 'svg', 'html'])");
  waitFor([&] { return evaluate(*document, "!!OstrelStandIn.exportOutcome") == nlohmann::json(true); }, 600);
  double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  std::size_t exported = peak->stop();
  auto written = evaluate(*document, "OstrelStandIn.exportOutcome.written");
  std::printf("%-30s opened %5zu MB, with the preview %5zu MB, export %5zu MB in %5.1f s (%s of 6 written)%s\n"
              "  (with the preview: %s)\n  (at the export's peak: %s)\n", what,
              opened >> 20, previewed >> 20, exported >> 20, seconds, written.value_or(nullptr).dump().c_str(),
              drawn ? "" : " (not all drawn)", beforeExport.c_str(), peak->atPeak().c_str());
  std::fflush(stdout);
  document->close();
}

int frames() {
  auto made = testenv::freshFolder("picture-bench-made");
  auto tiffs = [&](std::uint32_t lying, std::uint32_t strip, std::uint32_t side) {
    return std::vector<Picture>{{"lying", testenv::lyingJpegTiff(lying)},
                                {"strip", testenv::twoToneTiff(made, strip, strip, "-c lzw -r " + std::to_string(strip))},
                                {"large", testenv::twoToneTiff(made, side, side, "-c lzw")}};
  };
  std::printf("Frames summed over korvel and its processes (before: three TIFFs opened 1.26 GB, with the preview "
              "1.72 GB, export 5.16 GB; two JPEGs 3.55 GB an export)\n");
  frame("three TIFFs of 80 x 80", tiffs(80, 80, 80), 80);
  frame("three large TIFFs", tiffs(8000, 8192, 8000), 80);
  frame("two JPEGs of 200 x 200", {{"first", testenv::jpegPicture(200, 200)}, {"second", testenv::jpegPicture(200, 200)}}, 200);
  frame("two JPEGs of 8000 x 8000", {{"first", testenv::jpegPicture(8000, 8000)}, {"second", testenv::jpegPicture(8000, 8000)}},
        200);
  return 0;
}

// An 8000 × 8000 RGB photograph's likeness (soft gradients under fine grain), written raw and then
// by libtiff's tool in LZW strips: about 100 MB, as a camera's TIFF is.
Data photoTiff(const fsys::path& folder, std::uint32_t seed) {
  constexpr std::uint32_t side = 8000;
  auto raw = folder / "photo-raw.tiff", out = folder / "photo.tiff";
  {
    const Data head = testenv::tiffHead({{256, 4, side}, {257, 4, side}, {258, 3, 8}, {259, 3, 1}, {262, 3, 2},
                                         {273, 4, 122}, {277, 3, 3}, {278, 4, side}, {279, 4, side * side * 3}});
    std::ofstream file(raw, std::ios::binary);
    file.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
    std::string row(std::size_t(side) * 3, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::uint32_t y = 0; y < side; ++y) {
      for (std::uint32_t x = 0; x < side; ++x) {
        state = state * 1664525u + 1013904223u;
        int grain = int(state >> 30) - 2;
        double u = double(x) / side, v = double(y) / side;
        int r = int(128 + 100 * std::sin(6.3 * u + seed)), g = int(128 + 90 * std::cos(5.1 * v + 2 * u)),
            b = int(128 + 80 * std::sin(4.0 * (u + v) + seed));
        row[x * 3] = char(std::clamp(r + grain, 0, 255));
        row[x * 3 + 1] = char(std::clamp(g + grain, 0, 255));
        row[x * 3 + 2] = char(std::clamp(b + grain, 0, 255));
      }
      file.write(row.data(), std::streamsize(row.size()));
    }
  }
  int status = std::system(("tiffcp -c lzw '" + raw.string() + "' '" + out.string() + "' 2>&1").c_str());
  fsys::remove(raw);
  return status == 0 ? testenv::readBytes(out) : Data();
}

// A photograph's likeness as a camera's JPEG: soft gradients under fine grain.
Data photoJpeg(int width, int height, std::uint32_t seed) {
  auto bitmap = *Bitmap::make(width, height);
  std::uint32_t state = seed * 2654435761u + 1;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      state = state * 1664525u + 1013904223u;
      int grain = int(state >> 29) - 4;
      double u = double(x) / width, v = double(y) / height;
      auto* p = bitmap.rgba.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 4;
      p[0] = std::uint8_t(std::clamp(int(128 + 100 * std::sin(6.3 * u + seed)) + grain, 0, 255));
      p[1] = std::uint8_t(std::clamp(int(128 + 90 * std::cos(5.1 * v + 2 * u)) + grain, 0, 255));
      p[2] = std::uint8_t(std::clamp(int(128 + 80 * std::sin(4.0 * (u + v) + seed)) + grain, 0, 255));
      p[3] = 255;
    }
  return ImageEncoding::jpeg(bitmap, 85);
}

// A frame of 4200 × 4200 holding one picture at its size, exported in all six kinds: a photograph
// and a TIFF of noise that decodes to 8192 × 6144 in 70 KB, each in a session of its own.
int largeFrame(bool noise) {
  if (!noise) {
    std::printf("A 4200 x 4200 frame summed over korvel and its processes (before: the photo 1.3 GB an export,"
                " the noise TIFF 2.4-2.6 GB in 26-34 s)\n");
    frame("a photo in 4200 x 4200", {{"photo", photoJpeg(1400, 1050, 1)}}, 4200);
  } else {
    frame("a noise TIFF in 4200 x 4200", {{"noise", testenv::noiseTiff(8192, 6144, 1, 0xC0)}}, 4200);
  }
  return 0;
}

// Exports the document's page to `formats` (a list in JavaScript): how many files were written.
std::optional<nlohmann::json> exportPage(KXDocument& document, const std::string& formats) {
  evaluate(document, "OstrelStandIn.exportOutcome = null; OstrelStandIn.selected = null;"
                     " !!OstrelStandIn.exportSelection(" + formats + ")");
  waitFor([&] { return evaluate(document, "!!OstrelStandIn.exportOutcome") == nlohmann::json(true); }, 600);
  return evaluate(document, "OstrelStandIn.exportOutcome.written");
}

// A frame of 20 photographs of 12 megapixels and five 64-megapixel LZW TIFFs, each drawn 400 ×
// 300, exported to PDF ten times: how many were written, and the peak summed over korvel and its
// processes of each.
int photoPdf() {
  auto made = testenv::freshFolder("picture-bench-photos");
  std::vector<Picture> pictures;
  for (std::uint32_t i = 0; i < 20; ++i) pictures.push_back({"photo" + std::to_string(i), photoJpeg(4000, 3000, i + 1)});
  for (std::uint32_t i = 0; i < 5; ++i) {
    pictures.push_back({"tiff" + std::to_string(i), photoTiff(made, i + 1)});
    if (pictures.back().bytes.empty()) return 1;
  }
  DocumentController controller;
  auto dir = testenv::freshFolder("picture-bench");
  exportInto(dir / "out");
  auto source = dir / "source";
  writeProject(source, "Home");
  nlohmann::json layers = nlohmann::json::array();
  int n = 0;
  for (const auto& p : pictures) {
    (void)fs::writeInside(source, "design/images/" + p.name, p.bytes);
    layers.push_back({{"id", p.name}, {"type", "image"}, {"image", p.name}, {"name", p.name},
                      {"x", 410 * (n % 5)}, {"y", 310 * (n / 5)}, {"width", 400}, {"height", 300}});
    ++n;
  }
  pictures = {};
  nlohmann::json json = {{"version", 1}, {"pages", {{{"id", "page-1"}, {"name", "Home"}, {"layers", layers}}}}};
  std::ofstream(source / "design" / "document.json") << json.dump();
  makeZip(source, dir / "Project.korvelx");
  auto document = openWith(controller, dir / "Project.korvelx");
  if (!document || !waitForEditor(*document)) return 1;
  waitFor([&] { return settled(*document, layers.size()); }, 600);
  int written = 0;
  std::size_t highest = 0;
  for (int run = 0; run < 10; ++run) {
    testenv::PeakPss peak;
    auto began = Clock::now();
    auto files = exportPage(*document, "['pdf']");
    double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    bool wrote = files && files->is_number() && files->get<int>() == 1;
    written += wrote;
    highest = std::max(highest, peak.stop());
    std::printf("  PDF %d: %s in %.1f s, peak %zu MB from %zu MB (at the peak: %s)\n", run + 1,
                wrote ? "written" : "not written", seconds, peak.stop() >> 20, peak.start() >> 20, peak.atPeak().c_str());
    std::fflush(stdout);
  }
  std::printf("20 photos and five TIFFs to PDF: %d of 10 written, the highest peak %zu MB\n", written, highest >> 20);
  document->close();
  return written == 10 ? 0 : 1;
}

// A pile of 100 noise TIFFs of 8192 × 6144 (70 KB each), each layer at its pixel size 80 px from
// the last, and a small PNG on top, exported to PNG and PDF: the time, how many were written,
// and the peak summed over korvel and its processes.
int pile(bool copiesFirst) {
  DocumentController controller;
  auto dir = testenv::freshFolder("picture-bench-pile");
  exportInto(dir / "out");
  auto source = dir / "source";
  writeProject(source, "Home");
  nlohmann::json layers = nlohmann::json::array();
  for (int i = 0; i < 100; ++i) {
    std::string file = std::string("p").append(std::to_string(i)).append(".tiff");
    (void)fs::writeInside(source, "design/images/" + file, testenv::noiseTiff(8192, 6144, std::uint32_t(i + 1), 0xC0));
    layers.push_back({{"id", "image-" + std::to_string(i)}, {"type", "image"}, {"image", file}, {"name", file},
                      {"x", 80 * (i % 10)}, {"y", 80 * (i / 10)}, {"width", 8192}, {"height", 6144}});
  }
  (void)fs::writeInside(source, "design/images/x.png", ImageEncoding::png(testenv::solidBitmap(40, 30, 255, 0, 0)));
  layers.push_back({{"id", "image-x"}, {"type", "image"}, {"image", "x.png"}, {"name", "x.png"},
                    {"x", 10}, {"y", 10}, {"width", 40}, {"height", 30}});
  nlohmann::json json = {{"version", 1}, {"pages", {{{"id", "page-1"}, {"name", "Home"}, {"layers", layers}}}}};
  std::ofstream(source / "design" / "document.json") << json.dump();
  makeZip(source, dir / "Pile.korvelx");
  auto opened = Clock::now();
  auto document = openWith(controller, dir / "Pile.korvelx");
  if (!document || !waitForEditor(*document)) return 1;
  waitFor([&] { return settled(*document, layers.size()); }, 600);
  auto since = [&] { return std::chrono::duration<double>(Clock::now() - opened).count(); };
  std::printf("drawn %.1f s after opening\n", since());
  // The reduced copies opening began are made beside the export, or, asked so, before it.
  if (copiesFirst) {
    waitFor([] { return KXDocumentContainer::reducedCopiesInProgress() == 0; }, 600);
    std::uintmax_t copies = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(document->container()->projectDirectory() / ".cache", ec))
      if (e.is_regular_file(ec) && !e.is_symlink(ec)) copies += e.file_size(ec);
    std::printf("its reduced copies made %.1f s after opening: %ju MB\n", since(), copies >> 20);
  }
  std::printf("reduced copies still being made at the export's start: %zu\n", KXDocumentContainer::reducedCopiesInProgress());
  testenv::PeakPss peak;
  auto began = Clock::now();
  auto files = exportPage(*document, "['png', 'pdf']");
  double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  std::printf("a pile of 100 noise TIFFs to PNG and PDF: %s of 2 written in %.1f s, peak %zu MB from %zu MB"
              " (at the peak: %s)\n", files.value_or(nullptr).dump().c_str(), seconds, peak.stop() >> 20,
              peak.start() >> 20, peak.atPeak().c_str());
  std::fflush(stdout);
  document->close();
  return files == nlohmann::json(2) ? 0 : 1;
}

// Five 64-megapixel LZW photographs in a frame, each drawn 80 × 80: the time from opening until
// every one is drawn, beside the time decoding the five once takes in the same run, and the
// peak summed over korvel and its processes.
int largePhotos() {
  auto made = testenv::freshFolder("picture-bench-photos");
  std::vector<Picture> photos;
  for (std::uint32_t i = 0; i < 5; ++i) {
    photos.push_back({"photo" + std::to_string(i), photoTiff(made, i + 1)});
    if (photos.back().bytes.empty()) return 1;
  }
  auto began = Clock::now();
  for (const auto& p : photos)
    if (!ImageData::decodeBitmap(p.bytes)) return 1;
  double decoding = std::chrono::duration<double>(Clock::now() - began).count();
  DocumentController controller;
  auto dir = testenv::freshFolder("picture-bench");
  auto document = open(controller, dir, photos, nullptr, 80, &began);
  if (!document) return 1;
  // The peak counts from the editor's being ready, once the bench has let go of its own copies of
  // the files (620 MB of its own); what opening the document costs is in its time.
  const std::size_t count = photos.size(), fileSize = photos[0].bytes.size();
  photos = {};
  auto peak = std::make_unique<testenv::PeakPss>();
  double opening = std::chrono::duration<double>(Clock::now() - began).count();
  bool drawn = waitFor([&] { return settled(*document, count); }, 600);
  double drawing = std::chrono::duration<double>(Clock::now() - began).count();
  std::size_t summed = peak->stop();
  std::printf("five 64 MP LZW TIFFs (%zu MB each): drawn %.1f s after opening (its editor ready after %.1f s), decoding"
              " them once %.1f s: %.1f times; peak with its processes %zu MB%s\n",
              fileSize >> 20, drawing, opening, decoding, drawing / decoding, summed >> 20,
              drawn ? "" : " (not all drawn)");
  std::fflush(stdout);
  document->close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // As the application does.
  LargeBlocks::returnWhenFreed();
  if (argc < 2) {
    // Each case in a fresh process, so that each peak is its own; a case that does not end well
    // is named, and fails the run.
    int failed = 0;
    for (const char* which : {"padded", "tiff", "export", "open", "frames", "photos", "large-photo", "large-noise",
                              "photo-pdf", "pile", "pile-copied"}) {
      pid_t child = fork();
      if (child == 0) {
        execl("/proc/self/exe", argv[0], which, nullptr);
        _exit(127);
      }
      int status = 0;
      waitpid(child, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "picture_bench %s did not end well (status %d)\n", which, status);
        ++failed;
      }
    }
    return failed ? 1 : 0;
  }
  const std::string which = argv[1];
  // A home of its own, removed after: the working copies of its documents go nowhere else.
  return testenv::runWithPrivateHome([&] {
    setUpDocumentTest();
    if (which == "padded")
      return flood("padded.png", ImageEncoding::png(testenv::solidBitmap(1, 1, 0, 0, 255)), std::uintmax_t(255) << 20,
                   100);
    if (which == "tiff") {
      Data tiff = testenv::tiffPicture(8192, 8192);
      return flood("large.tiff", tiff, tiff.size(), 200);
    }
    if (which == "export") return exportFrame();
    if (which == "open") return openDocument();
    if (which == "frames") return frames();
    if (which == "photos") return largePhotos();
    if (which == "large-photo") return largeFrame(false);
    if (which == "large-noise") return largeFrame(true);
    if (which == "photo-pdf") return photoPdf();
    if (which == "pile") return pile(false);
    if (which == "pile-copied") return pile(true);
    return 2;
  });
}
