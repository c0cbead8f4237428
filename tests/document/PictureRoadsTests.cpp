// Pictures on their way in and out through the real editor page: an animated WebP dropped or
// chosen is inserted as it came and keeps moving, a file that is no picture is refused with an
// alert that says why, and a PDF holds a picture at 300 per inch of its layer.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <functional>
#include <set>

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <nlohmann/json.hpp>

#include "DocumentTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "canvas/WebViewController.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "export/Bitmap.h"
#include "ipc/ExportPanels.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/RunLoop.h"
#include "support/AnimatedPictures.h"
#include "support/EditorTestSupport.h"
#include "support/HostilePictures.h"
#include "support/SolidBitmap.h"
#include "support/TestEnvironment.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

class PictureRoads : public ::testing::Test {
 protected:
  void SetUp() override {
    setUpDocumentTest();
    controller = std::make_unique<DocumentController>();
    dir = testenv::freshFolder("picture-roads");
    fsys::create_directories(dir / "out");
    saved = ExportPanels::shared();
    ExportPanels::shared().selectFolder = [this](ExportQualityOptions, GtkWindow*, const fsys::path&,
                                                 ExportPanels::PathCompletion done) {
      MainQueue::async([done, f = dir / "out"] { done(f); });
    };
    ExportPanels::shared().selectFile = [this](const std::string& name, ExportQualityOptions, GtkWindow*,
                                               const fsys::path&, ExportPanels::PathCompletion done) {
      MainQueue::async([done, f = dir / "out" / name] { done(f); });
    };
    ExportPanels::shared().askOverwrite = [](GtkWindow*, ExportPanels::OverwriteCompletion done) {
      MainQueue::async([done] { done(true, false); });
    };
  }
  void TearDown() override {
    ExportPanels::shared() = saved;
    if (controller) {
      for (auto& d : controller->documents()) d->close();
      controller.reset();
      RunLoop::runUntil([] { return false; }, 0.2);
    }
  }

  // A project of one frame; with `picture`, an image layer "image-1" of it at (10, 10),
  // `side` × `side`.
  std::shared_ptr<KXDocument> openProject(const std::optional<Data>& picture = std::nullopt, int side = 100) {
    ++projects;
    auto source = dir / ("source-" + std::to_string(projects));
    auto file = dir / ("Project " + std::to_string(projects) + ".korvelx");
    writeProject(source, "Home");
    nlohmann::json layers = nlohmann::json::array();
    layers.push_back({{"id", "title"}, {"type", "text"}, {"text", "Hello"}, {"x", 0}, {"y", 0}, {"width", 200},
                      {"height", 20}});
    if (picture) {
      EXPECT_TRUE(fs::writeInside(source, "design/images/photo.jpg", *picture));
      layers.push_back({{"id", "image-1"}, {"type", "image"}, {"image", "photo.jpg"}, {"name", "Photo"}, {"x", 10},
                        {"y", 30}, {"width", side}, {"height", side}});
    }
    nlohmann::json json = {{"version", 1}, {"pages", {{{"id", "page-1"}, {"name", "Home"}, {"layers", layers}}}}};
    std::ofstream(source / "design" / "document.json") << json.dump();
    makeZip(source, file);
    auto opened = openWith(*controller, file);
    EXPECT_TRUE(opened && waitForEditor(*opened));
    return opened;
  }

  // Hands `bytes` to the page as a drop does: a file of that name and type.
  bool dropOnPage(KXDocument& document, const Data& bytes, const std::string& type, const std::string& name) {
    std::string file = "data:" + type + ";base64," + crypto::base64Encode(bytes);
    return evaluate(document, "fetch(" + nlohmann::json(file).dump() + ").then(function (r) { return r.blob(); })"
                              ".then(function (b) { OstrelStandIn.sendFiles([new File([b], " + nlohmann::json(name).dump() +
                              ", {type: " + nlohmann::json(type).dump() + "})], {x: 40, y: 60}); }); true")
        .has_value();
  }

  // The image layers of the page, once there are `count`.
  nlohmann::json imageLayers(KXDocument& document, std::size_t count) {
    nlohmann::json layers;
    waitFor([&] {
      auto found = evaluate(document, "JSON.stringify((OstrelStandIn.documentJSON.pages[0].layers || [])"
                                      ".filter(function (l) { return l.type === 'image'; }))");
      if (!found || !found->is_string()) return false;
      layers = nlohmann::json::parse(found->get<std::string>());
      return layers.size() == count;
    }, 120);
    return layers;
  }

  std::unique_ptr<DocumentController> controller;
  fsys::path dir;
  ExportPanels saved;
  int projects = 0;
};

const std::vector<testenv::Colour> colours{{255, 0, 0}, {0, 0, 255}};

// The colour of a web view's pixel at (x, y) as a person sees it, from a snapshot of the view;
// none when no snapshot came.
std::optional<std::array<int, 3>> pixelSeen(GtkWidget* view, int x, int y) {
  struct Wait {
    bool done = false;
    cairo_surface_t* surface = nullptr;
    ~Wait() {
      if (surface) cairo_surface_destroy(surface);
    }
  };
  auto waiting = std::make_shared<Wait>();
  webkit_web_view_get_snapshot(
      WEBKIT_WEB_VIEW(view), WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::shared_ptr<Wait>> w(static_cast<std::shared_ptr<Wait>*>(data));
        (*w)->surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
        (*w)->done = true;
      },
      new std::shared_ptr<Wait>(waiting));
  RunLoop::runUntil([&] { return waiting->done; }, 30);
  cairo_surface_t* surface = waiting->surface;
  if (!surface || x < 0 || y < 0 || x >= cairo_image_surface_get_width(surface) ||
      y >= cairo_image_surface_get_height(surface))
    return std::nullopt;
  cairo_surface_flush(surface);
  std::uint32_t argb = *reinterpret_cast<const std::uint32_t*>(
      cairo_image_surface_get_data(surface) + std::size_t(y) * std::size_t(cairo_image_surface_get_stride(surface)) +
      std::size_t(x) * 4);
  return std::array<int, 3>{int((argb >> 16) & 0xFF), int((argb >> 8) & 0xFF), int(argb & 0xFF)};
}

// Whether the middle of layer `id`'s picture on the canvas is seen in both colours of the
// animation, one snapshot after another: a still would show one.
bool keepsMoving(KXDocument& document, const std::string& id, std::string& last) {
  auto& view = document.ostrelViewController().webViewController().webView();
  std::set<std::string> seen;
  std::string middle = "(function () { var i = document.querySelector('#canvas [data-id=\"" + id + "\"] img');"
                       " if (!i || !i.complete || !i.naturalWidth) return null; var r = i.getBoundingClientRect();"
                       " return [Math.round(r.x + r.width / 2), Math.round(r.y + r.height / 2)]; })()";
  waitFor([&] {
    auto at = guitest::read(view, middle);
    if (!at || !at->is_array() || at->size() != 2) return false;
    auto p = pixelSeen(view.widget(), (*at)[0].get<int>(), (*at)[1].get<int>());
    if (!p) return false;
    last = std::to_string((*p)[0]) + "," + std::to_string((*p)[1]) + "," + std::to_string((*p)[2]);
    if ((*p)[0] > 200 && (*p)[1] < 60 && (*p)[2] < 60) seen.insert("red");
    if ((*p)[2] > 200 && (*p)[0] < 60 && (*p)[1] < 60) seen.insert("blue");
    return seen.size() == 2;
  }, 90);
  return seen.size() == 2;
}

}  // namespace

// Dropped and chosen: the animated WebP is stored as it came and moves on the canvas; the text
// is not inserted, and the alert names it and says it is no picture.
TEST_F(PictureRoads, AnAnimatedWebPIsInsertedAndMovesAndATextFileIsRefusedAloud) {
  const Data moving = testenv::animatedWebP(testenv::freshFolder("animated"), 80, 60, colours, 250);
  ASSERT_FALSE(moving.empty()) << "img2webp made no animation";
  const Data text = dataFromString("Shopping list: bread, milk.\n");
  auto files = testenv::freshFolder("chosen");
  ASSERT_TRUE(fs::writeInside(files, "moving.webp", moving));
  ASSERT_TRUE(fs::writeInside(files, "notes.txt", text));

  struct Road {
    const char* what;
    std::function<bool(KXDocument&)> insert;
  } roads[] = {
      {"dropped",
       [&](KXDocument& d) {
         return dropOnPage(d, moving, "image/webp", "moving.webp") && dropOnPage(d, text, "text/plain", "notes.txt");
       }},
      {"chosen",
       [&](KXDocument& d) {
         person().openAnswers.push_back({files / "moving.webp", files / "notes.txt"});
         return evaluate(d, "OstrelStandIn.chooseImage(); true").has_value();
       }},
  };
  for (const auto& road : roads) {
    auto document = openProject();
    ASSERT_TRUE(document) << road.what;
    person().alertsShown.clear();
    person().alertAnswers.push_back(Alert::firstButtonReturn);
    ASSERT_TRUE(road.insert(*document)) << road.what;
    auto layers = imageLayers(*document, 1);
    ASSERT_EQ(layers.size(), 1u) << road.what << ": " << layers.dump();
    auto stored = fs::readFile(document->projectPath().value() / "design" / "images" /
                               layers[0].value("image", std::string()));
    EXPECT_EQ(stored.value_or(Data()), moving) << road.what << ": the animation as it came";
    std::string last;
    EXPECT_TRUE(keepsMoving(*document, layers[0].value("id", std::string()), last)) << road.what << ": last " << last;
    ASSERT_TRUE(waitFor([&] { return !person().alertsShown.empty(); }, 60)) << road.what << ": no alert";
    const auto& alert = person().alertsShown.front();
    EXPECT_NE(alert.messageText.find("notes.txt"), std::string::npos) << road.what << ": " << alert.messageText;
    EXPECT_NE(alert.informativeText.find("not a picture"), std::string::npos) << road.what << ": " << alert.informativeText;
    // Nothing else was inserted.
    EXPECT_EQ(imageLayers(*document, 1).size(), 1u) << road.what;
    document->close();
    ASSERT_TRUE(waitFor([&] { return controller->documents().empty(); }, 60)) << road.what;
  }
}

// A 100 × 100 layer of a photo of 3000 × 3000 on a page of a few hundred points: in the PDF at
// 300 per inch of the layer (417 × 417), not of the page.
TEST_F(PictureRoads, APDFHoldsAPictureAt300PerInchOfItsLayer) {
  auto document = openProject(testenv::jpegPicture(3000, 3000), 100);
  ASSERT_TRUE(document);
  ASSERT_EQ(evaluate(*document, "OstrelStandIn.selected = null; !!OstrelStandIn.exportSelection(['pdf'])"),
            nlohmann::json(true));
  ASSERT_TRUE(waitFor([&] { return evaluate(*document, "!!OstrelStandIn.exportOutcome") == nlohmann::json(true); }, 180))
      << evaluate(*document, "document.getElementById('export-status').textContent").value_or(nullptr).dump();
  ASSERT_EQ(evaluate(*document, "OstrelStandIn.exportOutcome.written"), nlohmann::json(1));
  std::string listed;
  ASSERT_EQ(testenv::run("pdfimages -list '" + (dir / "out" / "Home.pdf").string() + "' | awk 'NR > 2 { print $4 \"x\" $5 }'",
                         &listed),
            0);
  EXPECT_EQ(listed, "417x417\n");
}
