// A damaged picture korvel hands on as it is (its header is sound, so the store passes it) is
// drawn by nobody: the editor and the preview show its layer's name in its box instead of an
// empty box, and the sound picture beside it is drawn.
#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "DocumentTestSupport.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "export/Bitmap.h"
#include "canvas/OstrelViewController.h"
#include "canvas/WebViewController.h"
#include "platform/FileSystem.h"
#include "platform/RunLoop.h"
#include "preview/KorvelViewController.h"
#include "preview/PreviewWindowController.h"
#include "support/EditorTestSupport.h"
#include "support/HostilePictures.h"
#include "support/SolidBitmap.h"
#include "support/TestEnvironment.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

// Where a PNG's first IDAT chunk begins (its length field), or none.
std::optional<std::size_t> idatAt(const Data& png) {
  for (std::size_t at = 8; at + 12 <= png.size();) {
    std::size_t length = (std::size_t(png[at]) << 24) | (std::size_t(png[at + 1]) << 16) |
                         (std::size_t(png[at + 2]) << 8) | std::size_t(png[at + 3]);
    if (std::string_view(reinterpret_cast<const char*>(png.data() + at + 4), 4) == "IDAT") return at;
    at += 12 + length;
  }
  return std::nullopt;
}

// A sound PNG of 40 × 30 whose pixel data no longer inflates: the IDAT chunk's body, past its
// zlib header, is overwritten; its checksum is made again when `rechecked`.
Data tornPng(bool rechecked) {
  Data png = ImageEncoding::png(testenv::solidBitmap(40, 30, 0, 128, 0));
  auto at = idatAt(png);
  if (!at) return {};
  std::size_t length = (std::size_t(png[*at]) << 24) | (std::size_t(png[*at + 1]) << 16) |
                       (std::size_t(png[*at + 2]) << 8) | std::size_t(png[*at + 3]);
  for (std::size_t i = 2; i < length; ++i) png[*at + 8 + i] = std::uint8_t(0xFF - i);
  if (rechecked) {
    std::uint32_t crc = testenv::crc32(png.data() + *at + 4, length + 4);
    for (int k = 0; k < 4; ++k) png[*at + 8 + length + std::size_t(k)] = std::uint8_t(crc >> (24 - 8 * k));
  }
  return png;
}

// A PNG cut off a quarter into its pixel data: no end, the rows never complete.
Data cutPng() {
  Data png = ImageEncoding::png(testenv::solidBitmap(40, 30, 0, 128, 0));
  auto at = idatAt(png);
  if (!at) return {};
  png.resize(*at + 8 + 4);
  return png;
}

class DamagedPictures : public ::testing::Test {
 protected:
  void SetUp() override {
    setUpDocumentTest();
    controller = std::make_unique<DocumentController>();
    dir = testenv::freshFolder("damaged-pictures");
  }
  void TearDown() override {
    if (controller) {
      for (auto& d : controller->documents()) d->close();
      controller.reset();
      RunLoop::runUntil([] { return false; }, 0.2);
    }
  }

  struct Picture {
    std::string file, layer;
    Data bytes;
  };
  // A project whose frame holds each picture in a layer of 100 × 60 ("image-1", …), side by
  // side: larger than the pictures, so that each goes to the page as it is stored.
  std::shared_ptr<KXDocument> openProject(const std::vector<Picture>& pictures) {
    auto source = dir / "source";
    writeProject(source, "Home");
    nlohmann::json layers = nlohmann::json::array();
    int n = 0;
    for (const auto& p : pictures) {
      EXPECT_TRUE(fs::writeInside(source, "design/images/" + p.file, p.bytes));
      layers.push_back({{"id", "image-" + std::to_string(++n)}, {"type", "image"}, {"image", p.file},
                        {"name", p.layer}, {"x", 110 * (n - 1)}, {"y", 30}, {"width", 100}, {"height", 60}});
    }
    nlohmann::json json = {{"version", 1}, {"pages", {{{"id", "page-1"}, {"name", "Home"}, {"layers", layers}}}}};
    std::ofstream(source / "design" / "document.json") << json.dump();
    makeZip(source, dir / "Project.korvelx");
    auto opened = openWith(*controller, dir / "Project.korvelx");
    EXPECT_TRUE(opened && waitForEditor(*opened));
    return opened;
  }

  std::unique_ptr<DocumentController> controller;
  fsys::path dir;
};

TEST_F(DamagedPictures, ShowTheirNamesInTheEditorAndThePreview) {
  const std::vector<Picture> pictures{
      {"torn.png", "Torn", tornPng(true)},
      {"unchecked.png", "Unchecked", tornPng(false)},
      {"cut.png", "Cut", cutPng()},
      {"sound.png", "Sound", ImageEncoding::png(testenv::solidBitmap(40, 30, 255, 0, 0))},
  };
  for (const auto& p : pictures) ASSERT_FALSE(p.bytes.empty()) << p.layer;
  auto document = openProject(pictures);
  ASSERT_TRUE(document);
  document->showPreviewWindow();
  ASSERT_TRUE(document->previewWindowController());
  auto& preview = document->previewWindowController()->korvelViewController()->webViewController();
  ASSERT_TRUE(waitFor([&] { return preview.isDocumentReady(); }));

  struct Page {
    const char* name;
    WebView& view;
    std::string where;
  } pages[] = {{"editor", document->ostrelViewController().webViewController().webView(), "#canvas "},
               {"preview", preview.webView(), ""}};
  // Each layer's picture as the page holds it: its name shown in a box of the layer's width, or
  // the size it was drawn at.
  auto seen = [](WebView& view, const std::string& layer) {
    auto state = guitest::read(
        view, "(function () { var l = document.querySelector(" + nlohmann::json(layer).dump() + ");"
              " if (!l) return 'no layer'; var n = l.querySelector('.refused-picture'), i = l.querySelector('img');"
              " if (n && n.offsetWidth > 50) return 'named ' + n.textContent;"
              " if (i && i.complete && i.naturalWidth) return 'drawn ' + i.naturalWidth + 'x' + i.naturalHeight;"
              " return 'nothing'; })()");
    return state && state->is_string() ? state->get<std::string>() : std::string("unread");
  };
  for (auto& page : pages)
    for (std::size_t i = 0; i < pictures.size(); ++i) {
      std::string layer = page.where + "[data-id=\"image-" + std::to_string(i + 1) + "\"]";
      std::string expected = pictures[i].layer == "Sound" ? "drawn 40x30" : "named " + pictures[i].layer;
      std::string last;
      EXPECT_TRUE(waitFor([&] { return (last = seen(page.view, layer)) == expected; }, 60))
          << page.name << " " << pictures[i].layer << ": " << last;
    }
}

}  // namespace
