// Costs of hostile input, printed as one line each:
//   hostile_input_bench open <document.korvelx>   peak memory of the version check of a zip document
//   hostile_input_bench defaults <defaults.json>  time to read a defaults file
//   hostile_input_bench devices <message.txt>     time for the preview to take a "devices" message
//   hostile_input_bench svgo <resources folder>   peak memory of one optimiser run with the runtime
//                                                  found in that folder (e.g. one writing without end)
//   hostile_input_bench pictures <folder>          writes the hostile pictures of the tests there
//   hostile_input_bench insert <picture>           time and peak memory of one picture on a road
//   hostile_input_bench paste <picture>            that decodes it: insertion by the page, a paste
//   hostile_input_bench reduce <picture>           offered as "image/tiff", the reduced copies made
//                                                  when a document is opened
//   hostile_input_bench drawing <file>            time of a PDF or PostScript picture drawn for an
//                                                  image store (e.g. one that fills its folder)
//   hostile_input_bench design <document.korvelx> time and peak memory of a document opened into
//                                                  a working copy, its design written, and saved
//                                                  (into a copy; working copies in a temporary folder)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentContainer.h"
#include "document/storage/KXDocumentVersionCheck.h"
#include "export/Bitmap.h"
#include "export/ImageDecoding.h"
#include "export/SVGProcessor.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "platform/ImageData.h"
#include "platform/RunLoop.h"
#include "preview/DeviceManager.h"
#include "support/HostilePictures.h"

namespace {
long peakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  if (std::strcmp(argv[1], "open") == 0) {
    long before = peakKilobytes();
    auto archive = KXDocumentArchive::open(argv[2], KXDocumentArchive::zipDocumentType, false, std::nullopt, true);
    if (!archive) return 3;
    auto checked = verifyDocumentVersion(**archive, 1);
    std::printf("version check: %s; peak memory %ld KB (%ld KB before opening)\n",
                checked ? "passed" : checked.error().description().c_str(), peakKilobytes(), before);
    return 0;
  }
  if (std::strcmp(argv[1], "design") == 0) {
    char folder[] = "/tmp/korvel-design-bench-XXXXXX";
    if (!::mkdtemp(folder)) return 3;
    ::setenv("XDG_DATA_HOME", folder, 1);
    auto file = std::filesystem::path(folder) / "Design.korvelx";
    std::filesystem::copy_file(argv[2], file);
    long before = peakKilobytes();
    auto start = std::chrono::steady_clock::now();
    std::string outcome = [&]() -> std::string {
      auto archive = KXDocumentArchive::open(file, KXDocumentArchive::zipDocumentType, false, std::nullopt, true);
      if (!archive) return archive.error().description();
      auto made = KXDocumentContainer::create((*archive)->uuid(), file);
      if (!made) return made.error().description();
      auto container = *made;
      auto source = std::make_shared<KXDocumentContainerDataSource>(
          [](const Data&) {}, [](auto completion) { completion(std::nullopt, std::nullopt); });
      container->addDataSource(source, KXDocumentArchive::relativePathForDocumentJSON);
      auto read = container->read(**archive, KXDocumentContainer::ArchiveRelation::origin(false));
      std::string result = read ? "opened" : "refused: " + read.error().description();
      if (read) {
        bool written = false;
        container->writeChanges([&] { written = true; });
        RunLoop::runUntil([&] { return written; }, 60);
        auto saved = container->save(**archive, KXDocumentContainer::ArchiveRelation::origin(false));
        result += saved ? ", saved" : ", not saved: " + saved.error().description();
      }
      container->invalidate();
      (void)container->deleteContainer(false);
      return result;
    }();
    auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("design: %s in %.1f s; peak memory %ld KB (%ld KB before opening)\n", outcome.c_str(), took,
                peakKilobytes(), before);
    std::filesystem::remove_all(folder);
    return 0;
  }
  if (std::strcmp(argv[1], "defaults") == 0) {
    auto start = std::chrono::steady_clock::now();
    Defaults defaults(argv[2]);
    auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("defaults read in %.1f ms; peak memory %ld KB\n", took, peakKilobytes());
    return 0;
  }
  if (std::strcmp(argv[1], "devices") == 0) {
    std::ifstream in(argv[2], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json message = text.str();
    DeviceManager manager;
    auto start = std::chrono::steady_clock::now();
    manager.parse(&message);
    auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("devices message of %zu bytes taken in %.1f ms: %zu devices\n", text.str().size(), took,
                manager.devices().size());
    return 0;
  }
  if (std::strcmp(argv[1], "svgo") == 0) {
    setenv("KORVEL_RESOURCES", argv[2], 1);
    std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10"><rect width="10" height="10"/></svg>)";
    long before = peakKilobytes();
    std::optional<Data> result;
    auto start = std::chrono::steady_clock::now();
    SVGProcessor::process(Data(svg.begin(), svg.end()), [&](Data out) { result = std::move(out); });
    RunLoop::runUntil([&] { return result.has_value(); }, 120);
    auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("optimiser run: %s after %.0f ms; peak memory %ld KB (%ld KB before)\n",
                !result ? "no answer" : std::string(result->begin(), result->end()) == svg ? "input back" : "optimised",
                took, peakKilobytes(), before);
    return 0;
  }
  if (std::strcmp(argv[1], "pictures") == 0) {
    std::filesystem::path folder = argv[2];
    const std::pair<const char*, Data> pictures[] = {
        {"stuffed.jpg", testenv::jpegLiar(30000, 30000, 100, 100)},
        {"twice.tiff", testenv::tiffPicture(15000, 15000, std::pair{100u, 100u})},
        {"wide.tiff", testenv::tiffPicture(100000, 2000, std::pair{4u, 2000u})},
        {"frames.gif", testenv::gifPicture(1, 1, 100000)},
        {"hidden.gif", testenv::gifPicture(1, 1, 100000, true)},
        {"cut.png", testenv::pngHeader(8192, 8192)},
        {"sparse.png", testenv::withDensity(ImageEncoding::png(*Bitmap::make(8192, 8192)), 40)},
        {"ztxt100.png", testenv::withTextChunks(ImageEncoding::png(*Bitmap::make(1, 1)), "zTXt", 100, 7900000)},
        {"ztxt200.png", testenv::withTextChunks(ImageEncoding::png(*Bitmap::make(1, 1)), "zTXt", 200, 7900000)},
        {"itxt100.png", testenv::withTextChunks(ImageEncoding::png(*Bitmap::make(1, 1)), "iTXt", 100, 7900000)},
        {"itxt200.png", testenv::withTextChunks(ImageEncoding::png(*Bitmap::make(1, 1)), "iTXt", 200, 7900000)},
        {"samples.tiff", testenv::tiffPicture(300, 200, std::nullopt, 1, {{277, 57856}, {278, 200}})},
        {"tiles.tiff", testenv::tiffPicture(16, 16, std::nullopt, 1, {{322, 32768}, {323, 32768}})},
        {"scans.jpg", testenv::jpegProgressive(8192, 8192, 194)},
        {"progressive.jpg", testenv::jpegProgressive(8192, 8192)},
        {"half.png", [] {
           Bitmap rows = *Bitmap::make(2000, 2000);
           for (std::size_t i = 0; i < rows.rgba.size(); ++i) rows.rgba[i] = std::uint8_t(i * 7 % 251);
           Data whole = ImageEncoding::png(rows);
           return Data(whole.begin(), whole.begin() + std::ptrdiff_t(whole.size() / 2));
         }()},
    };
    for (const auto& [name, bytes] : pictures)
      if (!fs::writeAtomically(folder / name, bytes)) return 3;
    return 0;
  }
  const std::string road = argv[1];
  if (road == "insert" || road == "paste" || road == "reduce") {
    auto bytes = fs::readFile(argv[2]);
    if (!bytes) return 3;
    auto said = [](const auto& result) { return result ? std::string("decoded") : "refused (" + result.error().message + ")"; };
    auto start = std::chrono::steady_clock::now();
    std::string outcome;
    if (road == "insert") {
      // As the page's road: the worker gives its copy of the bytes to the store.
      auto decoded = ImageDecoding::decode(std::move(*bytes), std::nullopt);
      outcome = said(decoded);
      if (decoded)
        outcome += " at " + std::to_string(decoded->image.pointWidth) + " × " + std::to_string(decoded->image.pointHeight) + " pt";
    } else if (road == "paste") {
      auto header = ImageData::checkedBitmap(*bytes);
      outcome = header ? said(ImageData::bitmapAsPNG(*bytes)) : said(header);
    } else {
      outcome = said(ImageData::decodeBitmap(*bytes));
    }
    auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %s in %.1f ms; peak memory %ld KB\n", road.c_str(), outcome.c_str(), took, peakKilobytes());
    return 0;
  }
  if (std::strcmp(argv[1], "drawing") == 0) {
    auto bytes = fs::readFile(argv[2]);
    if (!bytes) return 3;
    auto start = std::chrono::steady_clock::now();
    auto stored = ImageData::storableImage(*bytes);
    auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("drawing: %s after %.0f ms; peak memory %ld KB\n",
                stored ? "drawn" : stored.error().message.c_str(), took, peakKilobytes());
    return 0;
  }
  return 2;
}
