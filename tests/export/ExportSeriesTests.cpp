// Exports one after another, as a person exports a frame again and again: every export writes
// every file it names, pictures, missing pictures and PDFs included.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "export/HTMLRenderQueue.h"
#include "export/OstrelExporter.h"
#include "platform/FileSystem.h"
#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"

namespace stdfs = std::filesystem;

namespace {

struct Display : ::testing::Environment {
  void SetUp() override { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)); }
};
const auto* display = ::testing::AddGlobalTestEnvironment(new Display);

struct Person : OstrelExporterDelegate {
  stdfs::path folder;
  std::optional<ExportOutcome> outcome;
  void selectExportURL(const std::string&, ExportQualityOptions, std::function<void(std::optional<stdfs::path>)> d) override { d(std::nullopt); }
  void selectExportFolder(ExportQualityOptions, std::function<void(std::optional<stdfs::path>)> d) override { d(folder); }
  void decideOverwrite(int, std::function<void(bool)> d) override { d(true); }
  void report(ExportProgress) override {}
  void finished(const ExportOutcome& o) override { outcome = o; }
};

void writePicture(const stdfs::path& file, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  auto bitmap = *Bitmap::make(16, 16);
  for (int y = 0; y < bitmap.height; ++y)
    for (int x = 0; x < bitmap.width; ++x) {
      auto* p = &bitmap.rgba[(static_cast<std::size_t>(y) * bitmap.width + x) * 4];
      bool half = x < 8;
      p[0] = half ? r : 255, p[1] = half ? g : 255, p[2] = half ? b : 255, p[3] = 255;
    }
  ASSERT_TRUE(fs::createDirectories(file.parent_path()));
  ASSERT_TRUE(fs::writeAtomically(file, ImageEncoding::png(bitmap)));
}

// Sixty exports in a row of a frame with pictures (one of them missing), each to the six
// formats: every one writes all six files and copies its pictures.
TEST(ExportSeries, EveryExportOfASeriesWritesEveryFile) {
  auto project = testenv::freshFolder("project");
  writePicture(project / "images/design/red.png", 255, 0, 0);
  writePicture(project / "images/design/blue.png", 0, 0, 255);
  const std::string html =
      "<html><body style=\"margin:0;background:#ffffff\">"
      "<img style=\"position:absolute;left:0;top:0\" width=\"60\" height=\"60\" src=\"images/design/red.png\">"
      "<img style=\"position:absolute;left:60px;top:0\" width=\"60\" height=\"60\" src=\"images/design/gone.png\">"
      "<div style=\"position:absolute;left:0;top:60px;width:120px;height:40px;"
      "background:url('images/design/blue.png') repeat,linear-gradient(90deg,#ff0000,#0000ff)\"></div>"
      "<p style=\"position:absolute;left:4px;top:70px;margin:0;font:12px sans-serif\">Series</p></body></html>";
  const std::set<std::string> types = {"png", "jpg", "webp", "pdf", "svg", "html"};
  nlohmann::json request = {
      {"inputs", {{"1x", {{{"html", html}, {"svg", "<svg/>"}, {"width", 120}, {"height", 100}}}}}},
      {"images", {"red.png", "blue.png"}},
      {"fonts", nlohmann::json::array()},
      {"outputs", nlohmann::json::array()}};
  for (const auto& type : types)
    request["outputs"].push_back({{"name", "frame." + type}, {"type", type}, {"keyPath", {{"scale", "1x"}, {"index", 0}}}});
  auto descriptor = OstrelExportsDescriptor::decode(request);
  ASSERT_TRUE(descriptor);

  constexpr int exports = 60;
  int incomplete = 0;
  for (int i = 0; i < exports; ++i) {
    auto person = std::make_shared<Person>();
    person->folder = testenv::freshFolder("out");
    std::optional<bool> complete;
    OstrelExporter::create(project, HTMLRenderQueue::shared())
        ->exportDescriptor(*descriptor, person, [&](bool ok) { complete = ok; });
    // Each render has a deadline of its own: an export that loses one still ends.
    ASSERT_TRUE(RunLoop::runUntil([&] { return complete.has_value() && person->outcome.has_value(); }, 120)) << i;
    std::set<std::string> missing;
    for (const auto& type : types)
      if (!stdfs::is_regular_file(person->folder / ("frame." + type)) || stdfs::file_size(person->folder / ("frame." + type)) == 0)
        missing.insert(type);
    for (const char* picture : {"red.png", "blue.png"})
      if (!stdfs::is_regular_file(person->folder / "images/design" / picture)) missing.insert(picture);
    if (!*complete || !missing.empty()) {
      ++incomplete;
      std::string names;
      for (const auto& m : missing) names += " " + m;
      ADD_FAILURE() << "export " << i << " wrote " << person->outcome->written << " of " << person->outcome->total
                    << "; missing:" << names;
    }
    std::error_code ec;
    stdfs::remove_all(person->folder, ec);
  }
  EXPECT_EQ(incomplete, 0) << "of " << exports;
}

}  // namespace
