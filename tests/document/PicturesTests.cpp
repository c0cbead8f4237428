// Pictures in a design as a person meets them: one inserted through the editor page reaches
// every export as its pixels, the preview draws the design's pictures, and a picture file dragged
// onto the canvas from another program is inserted. KORVEL_TEST_SHOTS names a folder for
// pictures of the drop.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <gtk/gtk.h>
#include <libsoup/soup.h>
#include <webkit2/webkit2.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include <nlohmann/json.hpp>

#include "DocumentTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "canvas/WebViewController.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "document/storage/KXDocumentContainer.h"
#include "export/Bitmap.h"
#include "ipc/ExportPanels.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/ImageHeader.h"
#include "platform/PictureStore.h"
#include "platform/RunLoop.h"
#include "preview/KorvelViewController.h"
#include "preview/PreviewWindowController.h"
#include "support/AnimatedPictures.h"
#include "support/HostilePictures.h"
#include "support/OrientedPictures.h"
#include "support/PrivateDesktop.h"
#include "support/ProcessMemory.h"
#include "support/SolidBitmap.h"
#include "support/TiffKinds.h"
#include "support/TwoToneTiff.h"
#include "support/TestEnvironment.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

// The pointer moves on a display of our own; it must be there before the toolkit starts.
bool desktop = false;
struct OwnDesktop : ::testing::Environment {
  void SetUp() override {
    desktop = testenv::PrivateDesktop::startOrTell();
  }
};
const auto* ownDesktop = ::testing::AddGlobalTestEnvironment(new OwnDesktop);

// A red picture of 40 × 30.
Data redPicture() { return ImageEncoding::png(testenv::solidBitmap(40, 30, 255, 0, 0)); }

bool isRed(const std::uint8_t* p) { return p[0] > 200 && p[1] < 60 && p[2] < 60; }

// What a web view shows, as a person sees it; none when it could not be taken.
struct Shot {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
  std::array<std::uint8_t, 3> pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return {0, 0, 0};
    const std::uint8_t* p = rgb.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3;
    return {p[0], p[1], p[2]};
  }
};
// With KORVEL_TEST_SHOTS set, a picture is kept there under `name`.
void keepShot(const std::string& name, const Data& png) {
  if (const char* shots = getenv("KORVEL_TEST_SHOTS")) (void)fs::writeInside(shots, name, png);
}
void keepShot(const std::string& name, const Shot& shot) {
  if (!getenv("KORVEL_TEST_SHOTS")) return;
  auto bitmap = Bitmap::make(shot.width, shot.height);
  if (!bitmap) return;
  for (int y = 0; y < shot.height; ++y)
    for (int x = 0; x < shot.width; ++x) {
      auto p = shot.pixel(x, y);
      std::uint8_t* q = bitmap->rgba.data() + (std::size_t(y) * std::size_t(shot.width) + std::size_t(x)) * 4;
      q[0] = p[0], q[1] = p[1], q[2] = p[2], q[3] = 255;
    }
  keepShot(name, ImageEncoding::png(*bitmap));
}

std::optional<Shot> snapshot(GtkWidget* view) {
  // Shared with the callback, which may come after this gave up waiting.
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
  Wait& wait = *waiting;
  if (!wait.surface) return std::nullopt;
  Shot shot;
  cairo_surface_flush(wait.surface);
  shot.width = cairo_image_surface_get_width(wait.surface);
  shot.height = cairo_image_surface_get_height(wait.surface);
  int stride = cairo_image_surface_get_stride(wait.surface);
  const unsigned char* data = cairo_image_surface_get_data(wait.surface);
  for (int y = 0; y < shot.height; ++y)
    for (int x = 0; x < shot.width; ++x) {
      std::uint32_t argb = *reinterpret_cast<const std::uint32_t*>(data + std::size_t(y) * std::size_t(stride) + std::size_t(x) * 4);
      shot.rgb.push_back(std::uint8_t(argb >> 16));
      shot.rgb.push_back(std::uint8_t(argb >> 8));
      shot.rgb.push_back(std::uint8_t(argb));
    }
  return shot;
}

class Pictures : public ::testing::Test {
 protected:
  void SetUp() override {
    setUpDocumentTest();
    controller = std::make_unique<DocumentController>();
    dir = testenv::freshFolder("pictures");
    fsys::create_directories(dir / "out");
    saved = ExportPanels::shared();
    ExportPanels::shared().selectFolder = [this](ExportQualityOptions, GtkWindow*, const fsys::path&,
                                                 ExportPanels::PathCompletion done) {
      MainQueue::async([done, f = dir / "out"] { done(f); });
    };
    ExportPanels::shared().askOverwrite = [](GtkWindow*, ExportPanels::OverwriteCompletion done) {
      MainQueue::async([done] { done(true, false); });
    };
  }
  void TearDown() override {
    ExportPanels::shared() = saved;
    if (dragSource > 0) {
      kill(dragSource, SIGTERM);
      g_spawn_close_pid(dragSource);
    }
    if (controller) {
      for (auto& d : controller->documents()) d->close();
      controller.reset();
      RunLoop::runUntil([] { return false; }, 0.2);
    }
    if (volume) ::umount2(volume->c_str(), MNT_DETACH);
  }

  // A picture stored in a project: its file name, its bytes, the size of its layer, and its
  // layer's name and place.
  struct Stored {
    std::string name;
    Data bytes;
    int width, height;
    std::string layer = "red.png";
    int x = 20, y = 30;
  };

  // A project whose frame holds a text layer and, when `withPicture`, the stored red picture.
  std::shared_ptr<KXDocument> openProject(bool withPicture) {
    return openProject(withPicture ? std::optional(Stored{"q81Vb.png", redPicture(), 40, 30}) : std::nullopt);
  }
  // The same with the picture given, its layer at (20, 30) unless it says.
  std::shared_ptr<KXDocument> openProject(const std::optional<Stored>& picture) {
    return openProject(picture ? std::vector<Stored>{*picture} : std::vector<Stored>{});
  }
  // The same with the pictures given, their layers "image-1", "image-2", … in order; the text
  // layer only when no picture is at the frame's corner.
  std::shared_ptr<KXDocument> openProject(const std::vector<Stored>& pictures) {
    auto source = dir / "source";
    writeDesign(source, pictures);
    makeZip(source, dir / "Project.korvelx");
    auto opened = openWith(*controller, dir / "Project.korvelx");
    EXPECT_TRUE(opened && waitForEditor(*opened));
    return opened;
  }
  // The project folder of such a document.
  void writeDesign(const fsys::path& source, const std::vector<Stored>& pictures) {
    writeProject(source, "Home");
    nlohmann::json layers = nlohmann::json::array();
    if (std::none_of(pictures.begin(), pictures.end(), [](const Stored& p) { return p.x == 0 && p.y == 0; }))
      layers.push_back({{"id", "title"}, {"type", "text"}, {"text", "Hello"}, {"x", 0}, {"y", 0}, {"width", 200}, {"height", 20}});
    int n = 0;
    for (const auto& picture : pictures) {
      EXPECT_TRUE(fs::writeInside(source, "design/images/" + picture.name, picture.bytes));
      layers.push_back({{"id", "image-" + std::to_string(++n)}, {"type", "image"}, {"image", picture.name},
                        {"name", picture.layer}, {"x", picture.x}, {"y", picture.y}, {"width", picture.width},
                        {"height", picture.height}});
    }
    nlohmann::json json = {{"version", 1}, {"pages", {{{"id", "page-1"}, {"name", "Home"}, {"layers", layers}}}}};
    std::ofstream(source / "design" / "document.json") << json.dump();
  }

  // Hands `bytes` to the page as a drop does: a file of that name and type, and the place.
  bool dropOnPage(KXDocument& document, const Data& bytes, const std::string& type, const std::string& name, int x,
                  int y) {
    std::string file = "data:" + type + ";base64," + crypto::base64Encode(bytes);
    return evaluate(document, "fetch(" + nlohmann::json(file).dump() + ").then(function (r) { return r.blob(); })"
                              ".then(function (b) { OstrelStandIn.sendFiles([new File([b], " + nlohmann::json(name).dump() +
                              ", {type: '" + type + "'})], {x: " + std::to_string(x) + ", y: " + std::to_string(y) +
                              "}); }); true")
        .has_value();
  }

  // Exports the whole page in all six kinds into the folder the test chooses; whether all six
  // were written.
  bool exportInEveryKind(KXDocument& document) {
    if (evaluate(document, "OstrelStandIn.selected = null; "
                           "!!OstrelStandIn.exportSelection(['png', 'jpg', 'webp', 'pdf', 'svg', 'html'])") !=
        nlohmann::json(true))
      return false;
    if (!waitFor([&] { return evaluate(document, "!!OstrelStandIn.exportOutcome") == nlohmann::json(true); }, 120))
      return false;
    bool all = evaluate(document, "OstrelStandIn.exportOutcome.written") == nlohmann::json(6);
    EXPECT_TRUE(all) << evaluate(document, "JSON.stringify(OstrelStandIn.exportOutcome)").value_or(nullptr).dump();
    return all;
  }

  // The canvas's image layers, once there are `count`.
  nlohmann::json imageLayers(KXDocument& document, std::size_t count) {
    nlohmann::json layers;
    bool all = waitFor([&] {
      auto found = evaluate(document, "JSON.stringify((OstrelStandIn.documentJSON.pages[0].layers || [])"
                                      ".filter(function (l) { return l.type === 'image'; }))");
      if (!found || !found->is_string()) return false;
      layers = nlohmann::json::parse(found->get<std::string>());
      return layers.size() == count;
    }, 120);
    EXPECT_TRUE(all) << layers.dump();
    return layers;
  }

  // The first image layer on the editor's canvas, once there is one.
  std::optional<nlohmann::json> imageLayer(KXDocument& document, double timeout = 60) {
    std::optional<nlohmann::json> found;
    waitFor([&] {
      auto layer = evaluate(document, "JSON.stringify((OstrelStandIn.documentJSON.pages[0].layers || [])"
                                      ".filter(function (l) { return l.type === 'image'; })[0] || null)");
      if (!layer || !layer->is_string()) return false;
      auto parsed = nlohmann::json::parse(layer->get<std::string>());
      if (parsed.is_null()) return false;
      found = parsed;
      return true;
    }, timeout);
    return found;
  }

  // Drags `files` from a program of their own (as from a file manager) onto the middle of the
  // editor's canvas and lets go; the canvas's box on the page, none when the drag failed.
  std::optional<nlohmann::json> dragOntoCanvas(KXDocument& document, const std::vector<fsys::path>& files,
                                               const std::string& shot) {
    GtkWindow* window = document.windowForSheet();
    gtk_window_move(window, 0, 0);
    gtk_window_resize(window, 900, 700);
    if (!waitFor([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)); })) return std::nullopt;

    std::vector<std::string> args = {KORVEL_DRAG_SOURCE, files.at(0).string(), "960", "300", "260", "200"};
    for (std::size_t i = 1; i < files.size(); ++i) args.push_back(files[i].string());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    gchar** env = g_environ_setenv(g_get_environ(), "ASAN_OPTIONS", "detect_leaks=0", TRUE);
    GError* error = nullptr;
    bool started = g_spawn_async(nullptr, argv.data(), env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &dragSource, &error);
    g_strfreev(env);
    if (!started) {
      ADD_FAILURE() << (error ? error->message : "");
      g_clear_error(&error);
      return std::nullopt;
    }
    std::string found;
    if (testenv::xdotool("search --sync --name '^Drag From Here$'", &found) != 0) return std::nullopt;
    std::string geometry;
    if (testenv::xdotool("getwindowgeometry --shell " + found.substr(0, found.find('\n')), &geometry) != 0)
      return std::nullopt;
    auto value = [&](const std::string& key) {
      auto at = geometry.find(key + "=");
      return at == std::string::npos ? 0 : std::atoi(geometry.c_str() + at + key.size() + 1);
    };
    int fromX = value("X") + value("WIDTH") / 2, fromY = value("Y") + value("HEIGHT") / 2;

    // Over the middle of the canvas.
    auto rect = evaluate(document, "JSON.stringify(document.getElementById('canvas').getBoundingClientRect())");
    if (!rect || !rect->is_string()) return std::nullopt;
    auto box = nlohmann::json::parse(rect->get<std::string>());
    GtkWidget* view = document.ostrelViewController().webViewController().webView().widget();
    auto [toX, toY] = onScreen(view, box["x"].get<double>() + box["width"].get<double>() / 2,
                               box["y"].get<double>() + box["height"].get<double>() / 2);
    if (!testenv::dragPointer(fromX, fromY, toX, toY, shot) || testenv::xdotool("mouseup 1") != 0) return std::nullopt;
    return box;
  }

  std::unique_ptr<DocumentController> controller;
  fsys::path dir;
  ExportPanels saved;
  GPid dragSource = 0;
  std::optional<fsys::path> volume;  // a volume of its own mounted for the test
};

TEST_F(Pictures, AnInsertedPictureReachesEveryExportAsItsPixels) {
  auto document = openProject(false);
  ASSERT_TRUE(document);
  // The page hands the file over as it does for a drop: a data URL and the place.
  ASSERT_TRUE(dropOnPage(*document, redPicture(), "image/png", "red.png", 20, 30));
  auto layer = imageLayer(*document);
  ASSERT_TRUE(layer);
  std::string stored = (*layer)["image"].get<std::string>();
  EXPECT_EQ((*layer)["name"], "red.png");
  // The editor's canvas draws it.
  EXPECT_TRUE(waitFor([&] {
    return evaluate(*document, "Array.prototype.some.call(document.querySelectorAll('#canvas img'), "
                               "function (i) { return i.complete && i.naturalWidth === 40; })") == nlohmann::json(true);
  }));

  ASSERT_TRUE(evaluate(*document, "OstrelStandIn.selected = null; "
                                  "!!OstrelStandIn.exportSelection(['png', 'pdf', 'svg', 'html'])"));
  ASSERT_TRUE(waitFor([&] {
    auto outcome = evaluate(*document, "!!OstrelStandIn.exportOutcome");
    return outcome == nlohmann::json(true);
  }, 120));
  ASSERT_EQ(evaluate(*document, "OstrelStandIn.exportOutcome.written"), nlohmann::json(4))
      << evaluate(*document, "JSON.stringify(OstrelStandIn.exportOutcome)").value_or(nullptr).dump();

  // The PNG holds the picture where the layer lies; nothing names its file.
  auto out = dir / "out";
  auto png = ImageEncoding::decode(*fs::readFile(out / "Home.png"));
  ASSERT_TRUE(png);
  ASSERT_GE(png->width, 60);
  ASSERT_GE(png->height, 60);
  EXPECT_TRUE(isRed(png->pixel(40, 45)));
  EXPECT_TRUE(isRed(png->pixel(22, 32)));
  EXPECT_TRUE(isRed(png->pixel(57, 57)));
  EXPECT_FALSE(isRed(png->pixel(10, 45)));

  std::string images;
  ASSERT_EQ(testenv::run("pdfimages -list '" + (out / "Home.pdf").string() + "'", &images), 0);
  EXPECT_NE(images.find(" image "), std::string::npos) << images;
  std::string text;
  ASSERT_EQ(testenv::run("pdftotext '" + (out / "Home.pdf").string() + "' -", &text), 0);
  EXPECT_EQ(text.find(stored), std::string::npos) << text;

  for (const char* name : {"Home.svg", "Home.html"}) {
    std::string written = readFile(out / name);
    EXPECT_NE(written.find("data:image/png;base64," + crypto::base64Encode(redPicture())), std::string::npos) << name;
    EXPECT_EQ(written.find(stored), std::string::npos) << name;
  }
  EXPECT_NE(readFile(out / "Home.svg").find("<image "), std::string::npos);
}

// The pages' engine draws no TIFF: one inserted is stored as its picture in PNG, which the canvas
// draws and every export carries.
TEST_F(Pictures, AnInsertedTIFFIsDrawnByTheEditorAndTheExports) {
  auto document = openProject(false);
  ASSERT_TRUE(document);
  Data tiff = ImageEncoding::tiff(testenv::solidBitmap(40, 30, 255, 0, 0));
  ASSERT_TRUE(dropOnPage(*document, tiff, "image/tiff", "red.tiff", 20, 30));
  auto layer = imageLayer(*document);
  ASSERT_TRUE(layer);
  EXPECT_TRUE(waitFor([&] {
    return evaluate(*document, "Array.prototype.some.call(document.querySelectorAll('#canvas img'), "
                               "function (i) { return i.complete && i.naturalWidth === 40 && i.naturalHeight === 30; })") ==
           nlohmann::json(true);
  })) << "the canvas draws the picture";

  ASSERT_TRUE(evaluate(*document, "OstrelStandIn.selected = null; !!OstrelStandIn.exportSelection(['png', 'svg'])"));
  ASSERT_TRUE(waitFor([&] { return evaluate(*document, "!!OstrelStandIn.exportOutcome") == nlohmann::json(true); }, 120));
  ASSERT_EQ(evaluate(*document, "OstrelStandIn.exportOutcome.written"), nlohmann::json(2))
      << evaluate(*document, "JSON.stringify(OstrelStandIn.exportOutcome)").value_or(nullptr).dump();
  auto png = ImageEncoding::decode(*fs::readFile(dir / "out" / "Home.png"));
  ASSERT_TRUE(png);
  EXPECT_TRUE(isRed(png->pixel(40, 45)));
  EXPECT_TRUE(isRed(png->pixel(57, 57)));
  EXPECT_FALSE(isRed(png->pixel(10, 45)));
  std::string svg = readFile(dir / "out" / "Home.svg");
  EXPECT_NE(svg.find("data:image/png;base64,"), std::string::npos);
  EXPECT_EQ(svg.find("application/octet-stream"), std::string::npos);
}

// Every kind of TIFF a person may insert, through the page as a drop does: each is announced at
// its drawn size (turned where its file says so) and reaches the PNG export drawn as its file
// says, corner by corner.
TEST_F(Pictures, EveryKindOfTIFFInsertedIsExportedDrawnAsItsFileSays) {
  auto document = openProject(false);
  ASSERT_TRUE(document);
  auto kinds = testenv::tiffKinds(testenv::freshFolder("tiff-kinds"));
  auto place = [](std::size_t i) { return std::pair<int, int>{10 + int(i % 6) * 60, 40 + int(i / 6) * 60}; };
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    ASSERT_FALSE(kinds[i].bytes.empty()) << kinds[i].name;
    auto [x, y] = place(i);
    ASSERT_TRUE(dropOnPage(*document, kinds[i].bytes, "image/tiff", "kind-" + std::to_string(i) + ".tiff", x, y));
  }
  nlohmann::json layers = imageLayers(*document, kinds.size());
  ASSERT_EQ(layers.size(), kinds.size());

  // Two files go to a folder, which the test chooses.
  ASSERT_TRUE(evaluate(*document, "OstrelStandIn.selected = null; !!OstrelStandIn.exportSelection(['png', 'svg'])"));
  ASSERT_TRUE(waitFor([&] { return evaluate(*document, "!!OstrelStandIn.exportOutcome") == nlohmann::json(true); }, 120))
      << evaluate(*document, "JSON.stringify([OstrelStandIn.exportProgress, document.body.innerText.slice(0, 400)])")
             .value_or(nullptr)
             .dump();
  ASSERT_EQ(evaluate(*document, "OstrelStandIn.exportOutcome.written"), nlohmann::json(2));
  keepShot("tiff-kinds-export.png", *fs::readFile(dir / "out" / "Home.png"));
  auto png = ImageEncoding::decode(*fs::readFile(dir / "out" / "Home.png"));
  ASSERT_TRUE(png);
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    const auto& kind = kinds[i];
    SCOPED_TRACE(kind.name);
    auto layer = std::find_if(layers.begin(), layers.end(), [&](const nlohmann::json& l) {
      return l.value("name", "") == "kind-" + std::to_string(i) + ".tiff";
    });
    ASSERT_NE(layer, layers.end());
    EXPECT_EQ((*layer)["width"], kind.width);
    EXPECT_EQ((*layer)["height"], kind.height);
    auto [x, y] = place(i);
    const std::pair<int, int> corners[4] = {{x + 3, y + 3}, {x + kind.width - 4, y + 3}, {x + 3, y + kind.height - 4},
                                            {x + kind.width - 4, y + kind.height - 4}};
    for (int c = 0; c < 4; ++c) {
      ASSERT_LT(corners[c].first, png->width);
      ASSERT_LT(corners[c].second, png->height);
      const std::uint8_t* p = png->pixel(corners[c].first, corners[c].second);
      EXPECT_TRUE(testenv::looksLike(p, kind.corners[std::size_t(c)]))
          << "corner " << c << ": " << int(p[0]) << "," << int(p[1]) << "," << int(p[2]);
    }
  }
}

// Earlier versions stored a TIFF as it came, named without an extension, and other readers of
// the document rely on that file: it stays as it is, and the editor and every export draw it,
// turned as its file says.
TEST_F(Pictures, ATIFFStoredAsItCameIsDrawnByTheEditorAndEveryExport) {
  testenv::TiffLayout layout;
  layout.orientation = 6;
  const Data tiff = testenv::tiffcp(testenv::freshFolder("stored-tiff"), "-c lzw", {testenv::writtenTiff(layout)});
  ASSERT_FALSE(tiff.empty());
  const std::string name = "XoTq2cJ1a8hUu9Rk0Vb3fWsPnLd";
  auto document = openProject(Stored{name, tiff, 30, 40});
  ASSERT_TRUE(document);
  const auto corners = testenv::drawnCorners(6);
  // The editor: the picture as the person sees it, read back from the view.
  GtkWidget* view = document->ostrelViewController().webViewController().webView().widget();
  gtk_window_resize(document->windowForSheet(), 900, 700);
  std::string seen;
  EXPECT_TRUE(waitFor([&] {
    auto box = evaluate(*document, "(function () { var i = document.querySelector('#canvas img');"
                                   " if (!i || !i.complete || i.naturalWidth !== 30 || i.naturalHeight !== 40) return null;"
                                   " var r = i.getBoundingClientRect(); return JSON.stringify([r.x, r.y, r.width, r.height]); })()");
    if (!box || !box->is_string()) return false;
    auto rect = nlohmann::json::parse(box->get<std::string>());
    auto shot = snapshot(view);
    if (!shot) return false;
    double x = rect[0].get<double>(), y = rect[1].get<double>(), w = rect[2].get<double>(), h = rect[3].get<double>();
    const std::pair<double, double> at[4] = {{x + 3, y + 3}, {x + w - 4, y + 3}, {x + 3, y + h - 4}, {x + w - 4, y + h - 4}};
    seen.clear();
    keepShot("stored-tiff-editor.png", *shot);
    bool all = true;
    for (int c = 0; c < 4; ++c) {
      auto p = shot->pixel(int(at[c].first), int(at[c].second));
      seen += std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]) + " ";
      all = all && testenv::looksLike(p.data(), corners[std::size_t(c)]);
    }
    return all;
  }, 60)) << "the editor draws the stored picture: " << seen;
  // The host draws the pictures of the folder only: a name that leads out of it, or a link
  // inside it to a picture elsewhere, gives nothing.
  ASSERT_TRUE(fs::writeInside(dir, "elsewhere.png", redPicture()));
  fsys::create_symlink(dir / "elsewhere.png", document->projectPath().value() / "design" / "images" / "link.png");
  ASSERT_TRUE(fs::writeInside(document->projectPath().value(), "design/outside.png", redPicture()));
  for (const char* name : {"..%2Foutside.png", "link.png", "nothing.png"}) {
    std::string id = std::string("probe-") + std::to_string(std::hash<std::string>()(name));
    ASSERT_TRUE(evaluate(*document, "var p = new Image(); p.id = '" + id + "'; document.body.appendChild(p);"
                                    " fetch('korvel-picture:" + std::string(name) + "').then(function (r) {"
                                    " p.dataset.outcome = r.ok ? 'drawn' : 'refused'; })"
                                    ".catch(function () { p.dataset.outcome = 'refused'; }); true"));
    std::optional<nlohmann::json> outcome;
    ASSERT_TRUE(waitFor([&] {
      outcome = evaluate(*document, "document.getElementById('" + id + "').dataset.outcome || null");
      return outcome && outcome->is_string();
    }));
    EXPECT_EQ(*outcome, "refused") << name;
  }
  // The preview draws it too, at its drawn size.
  document->showPreviewWindow();
  ASSERT_TRUE(document->previewWindowController());
  auto& preview = document->previewWindowController()->korvelViewController()->webViewController();
  ASSERT_TRUE(waitFor([&] { return preview.isDocumentReady(); }));
  EXPECT_TRUE(waitFor([&] {
    return guitest::evaluate(preview.webView(), "(function () { var i = document.querySelector('[data-id=\"image-1\"] img');"
                                                " return !!i && i.complete && i.naturalWidth === 30 && i.naturalHeight === 40; })()") ==
           nlohmann::json(true);
  }, 60)) << "the preview draws the stored picture";

  ASSERT_TRUE(exportInEveryKind(*document));
  auto out = dir / "out";
  // The layer lies at (20, 30), 30 × 40.
  auto expectDrawn = [&](const Bitmap& picture, const std::string& what, int slack) {
    const std::pair<int, int> at[4] = {{23, 33}, {46, 33}, {23, 66}, {46, 66}};
    for (int c = 0; c < 4; ++c) {
      const std::uint8_t* p = picture.pixel(at[c].first, at[c].second);
      EXPECT_TRUE(testenv::looksLike(p, corners[std::size_t(c)], slack))
          << what << " corner " << c << ": " << int(p[0]) << "," << int(p[1]) << "," << int(p[2]);
    }
    EXPECT_FALSE(testenv::looksLike(picture.pixel(10, 45), testenv::Mark::green, slack)) << what;
  };
  for (const char* name : {"Home.png", "Home.jpg", "Home.webp"}) {
    auto bytes = fs::readFile(out / name);
    ASSERT_TRUE(bytes) << name;
    keepShot(std::string("stored-tiff-export-") + name, *bytes);
    auto picture = ImageEncoding::decode(*bytes);
    ASSERT_TRUE(picture) << name;
    ASSERT_GE(picture->width, 50);
    ASSERT_GE(picture->height, 70);
    expectDrawn(*picture, name, 60);
  }
  // The PDF page drawn at 72 per inch.
  ASSERT_EQ(testenv::run("pdftoppm -png -r 72 -singlefile '" + (out / "Home.pdf").string() + "' '" +
                         (out / "page").string() + "'"), 0);
  auto page = ImageEncoding::decode(*fs::readFile(out / "page.png"));
  ASSERT_TRUE(page);
  expectDrawn(*page, "Home.pdf", 60);
  // The text exports carry the picture in PNG.
  for (const char* file : {"Home.svg", "Home.html"}) {
    std::string written = readFile(out / file);
    const std::string prefix = "data:image/png;base64,";
    auto at = written.find(prefix);
    ASSERT_NE(at, std::string::npos) << file;
    EXPECT_EQ(written.find("octet-stream"), std::string::npos) << file;
    auto end = written.find('"', at);
    auto png = crypto::base64Decode(written.substr(at + prefix.size(), end - at - prefix.size()));
    ASSERT_TRUE(png) << file;
    auto picture = ImageEncoding::decode(*png);
    ASSERT_TRUE(picture) << file;
    EXPECT_EQ(picture->width, 30) << file;
    EXPECT_EQ(picture->height, 40) << file;
  }
  // The stored file is as it was.
  EXPECT_EQ(*fs::readFile(document->projectPath().value() / "design" / "images" / name), tiff);
}

TEST_F(Pictures, ThePreviewDrawsTheDesignsPictures) {
  auto document = openProject(true);
  ASSERT_TRUE(document);
  document->showPreviewWindow();
  auto* preview = document->previewWindowController();
  ASSERT_TRUE(preview);
  auto& page = preview->korvelViewController()->webViewController();
  ASSERT_TRUE(waitFor([&] { return page.isDocumentReady(); }));
  ASSERT_TRUE(waitFor([&] {
    auto drawn = guitest::evaluate(page.webView(),
                                   "(function () { var i = document.querySelector('[data-id=\"image-1\"] img');"
                                   " return !!i && i.complete && i.naturalWidth === 40 && i.naturalHeight === 30; })()");
    return drawn == nlohmann::json(true);
  }, 60)) << guitest::evaluate(page.webView(), "document.body.innerHTML").value_or(nullptr).dump();
}

// Working copies on a volume other than the system's: the editor reaches their pictures through
// the project server, which asks its key of every load.
TEST_F(Pictures, TheEditorDrawsThePicturesOfAWorkingCopyOnAVolumeOfItsOwn) {
  auto copies = KXDocumentContainer::baseDirectory();
  fsys::create_directories(copies);
  if (::mount("tmpfs", copies.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64m,mode=0700") != 0)
    GTEST_SKIP() << "no volume of our own can be mounted here";
  volume = copies;
  auto document = openProject(true);
  ASSERT_TRUE(document);
  auto base = evaluate(*document, "OstrelStandIn.addresses.imageBaseURL");
  ASSERT_TRUE(base && base->is_string());
  EXPECT_EQ(base->get<std::string>().rfind("http://127.0.0.1:", 0), 0u) << *base;
  EXPECT_TRUE(waitFor([&] {
    return evaluate(*document, "Array.prototype.some.call(document.querySelectorAll('#canvas img'), "
                               "function (i) { return i.complete && i.naturalWidth === 40; })") == nlohmann::json(true);
  }, 60));
}

// The same road for a TIFF stored as it came: fetched from the server, drawn through the host.
TEST_F(Pictures, ATIFFStoredAsItCameIsDrawnFromAWorkingCopyOnAVolumeOfItsOwn) {
  auto copies = KXDocumentContainer::baseDirectory();
  fsys::create_directories(copies);
  if (::mount("tmpfs", copies.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64m,mode=0700") != 0)
    GTEST_SKIP() << "no volume of our own can be mounted here";
  volume = copies;
  testenv::TiffLayout layout;
  layout.orientation = 8;
  auto document = openProject(Stored{"Yk3Vb", testenv::writtenTiff(layout), 30, 40});
  ASSERT_TRUE(document);
  auto base = evaluate(*document, "OstrelStandIn.addresses.imageBaseURL");
  ASSERT_TRUE(base && base->is_string());
  EXPECT_EQ(base->get<std::string>().rfind("http://127.0.0.1:", 0), 0u) << *base;
  EXPECT_TRUE(waitFor([&] {
    return evaluate(*document, "Array.prototype.some.call(document.querySelectorAll('#canvas img'), "
                               "function (i) { return i.complete && i.naturalWidth === 30 && i.naturalHeight === 40; })") ==
           nlohmann::json(true);
  }, 60));
}

TEST_F(Pictures, APictureDraggedFromAnotherProgramOntoTheCanvasIsInserted) {
  if (!desktop) GTEST_SKIP() << "needs Xvfb and openbox";
  auto document = openProject(false);
  ASSERT_TRUE(document);
  auto picture = dir / "Red Square.png";
  ASSERT_TRUE(fs::writeInside(dir, "Red Square.png", redPicture()));
  auto box = dragOntoCanvas(*document, {picture}, "picture-drop.png");
  ASSERT_TRUE(box);

  auto layer = imageLayer(*document);
  ASSERT_TRUE(layer) << "nothing inserted";
  EXPECT_EQ((*layer)["name"], "Red Square.png");
  EXPECT_EQ((*layer)["width"], 40);
  // Where the pointer let go, on the canvas.
  EXPECT_NEAR((*layer)["x"].get<double>(), (*box)["width"].get<double>() / 2, 8);
  auto stored = document->projectPath().value() / "design" / "images" / (*layer)["image"].get<std::string>();
  EXPECT_EQ(*fs::readFile(stored), redPicture());
}

// From another program, an animated WebP and a text file at once: the WebP inserted as it came,
// the text named in an alert that says it is not a picture.
TEST_F(Pictures, AnAnimatedWebPDraggedInIsInsertedAndATextFileBesideItIsRefusedAloud) {
  if (!desktop) GTEST_SKIP() << "needs Xvfb and openbox";
  auto document = openProject(false);
  ASSERT_TRUE(document);
  const Data moving = testenv::animatedWebP(testenv::freshFolder("dragged-webp"), 80, 60,
                                            {{255, 0, 0}, {0, 0, 255}}, 250);
  ASSERT_FALSE(moving.empty()) << "img2webp made no animation";
  ASSERT_TRUE(fs::writeInside(dir, "Moving.webp", moving));
  ASSERT_TRUE(fs::writeInside(dir, "notes.txt", dataFromString("Shopping list: bread, milk.\n")));
  person().alertAnswers.push_back(Alert::firstButtonReturn);
  ASSERT_TRUE(dragOntoCanvas(*document, {dir / "Moving.webp", dir / "notes.txt"}, "webp-and-text-drop.png"));
  auto layer = imageLayer(*document);
  ASSERT_TRUE(layer) << "nothing inserted";
  EXPECT_EQ((*layer)["name"], "Moving.webp");
  auto stored = document->projectPath().value() / "design" / "images" / (*layer)["image"].get<std::string>();
  EXPECT_EQ(fs::readFile(stored).value_or(Data()), moving);
  ASSERT_TRUE(waitFor([&] { return !person().alertsShown.empty(); }, 60)) << "no alert";
  const auto& alert = person().alertsShown.front();
  EXPECT_EQ(alert.messageText, "“notes.txt” was not added as a picture.");
  EXPECT_NE(alert.informativeText.find("not a picture"), std::string::npos) << alert.informativeText;
}

TEST_F(Pictures, ADropOfSixteenLargePicturesAddsWhatFitsItsBoundAndTellsOfTheRest) {
  if (!desktop) GTEST_SKIP() << "needs Xvfb and openbox";
  auto document = openProject(false);
  ASSERT_TRUE(document);
  // Sixteen pictures of 5 MB each (a red picture and a private chunk of padding): 80 MB in all.
  Data red = redPicture();
  Data iend(red.end() - 12, red.end());
  std::vector<fsys::path> files;
  for (int i = 1; i <= 16; ++i) {
    Data padding(std::size_t(5 << 20) - red.size() - 12, 0);
    padding[0] = static_cast<std::uint8_t>(i);  // each its own picture
    Data file(red.begin(), red.end() - 12);
    testenv::pngChunk(file, "prVt", padding);
    file.insert(file.end(), iend.begin(), iend.end());
    char name[32];
    snprintf(name, sizeof name, "Picture %02d.png", i);
    ASSERT_TRUE(fs::writeInside(dir, name, file));
    files.push_back(dir / name);
  }
  person().alertAnswers.push_back(Alert::firstButtonReturn);
  ASSERT_TRUE(dragOntoCanvas(*document, files, "sixteen-pictures-drop.png"));

  // Twelve make 60 MB; a thirteenth would pass the 64 MB a drop hands the page.
  std::vector<std::string> inserted;
  ASSERT_TRUE(waitFor([&] {
    auto names = evaluate(*document, "JSON.stringify((OstrelStandIn.documentJSON.pages[0].layers || [])"
                                     ".filter(function (l) { return l.type === 'image'; })"
                                     ".map(function (l) { return l.name; }))");
    if (!names || !names->is_string()) return false;
    inserted = nlohmann::json::parse(names->get<std::string>()).get<std::vector<std::string>>();
    return inserted.size() >= 12 && !person().alertsShown.empty();
  }, 300)) << inserted.size() << " inserted, " << person().alertsShown.size() << " alerts";
  std::sort(inserted.begin(), inserted.end());
  std::vector<std::string> expected;
  for (int i = 0; i < 12; ++i) expected.push_back(files[i].filename().string());
  EXPECT_EQ(inserted, expected);
  const auto& alert = person().alertsShown.front();
  EXPECT_EQ(alert.messageText, "4 dropped pictures were not added.");
  for (int i = 12; i < 16; ++i)
    EXPECT_NE(alert.informativeText.find(files[i].filename().string()), std::string::npos) << alert.informativeText;
}


// Every way of writing a JPEG's orientation that the header reader knows of: the size the header
// gives is the size the editor page's engine draws.
TEST_F(Pictures, AJPEGsHeaderGivesTheSizeThePagesEngineDraws) {
  auto document = openProject(false);
  ASSERT_TRUE(document);
  auto cases = testenv::exifCases();
  nlohmann::json files = nlohmann::json::array();
  for (const auto& c : cases) files.push_back("data:image/jpeg;base64," + crypto::base64Encode(c.bytes));
  ASSERT_TRUE(evaluate(*document, "window.probedSizes = []; " + files.dump() +
                                      ".forEach(function (f, n) { var i = new Image(); i.onload = function () {"
                                      " window.probedSizes[n] = [i.naturalWidth, i.naturalHeight]; }; i.src = f; }); true"));
  nlohmann::json sizes;
  ASSERT_TRUE(waitFor([&] {
    auto found = evaluate(*document, "JSON.stringify(window.probedSizes)");
    if (!found || !found->is_string()) return false;
    sizes = nlohmann::json::parse(found->get<std::string>());
    return sizes.size() == cases.size() &&
           std::none_of(sizes.begin(), sizes.end(), [](const nlohmann::json& s) { return s.is_null(); });
  }, 60)) << sizes.dump();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    auto header = ImageHeader::read(cases[i].bytes);
    ASSERT_TRUE(header) << cases[i].name;
    EXPECT_EQ(sizes[i], nlohmann::json::array({header->width, header->height})) << cases[i].name;
  }
}

// A photograph of each orientation, inserted as a drop inserts it: its layer has the size it is
// drawn at, and the canvas, the preview and every export draw it the right way round, corner by
// corner (its corners as a reference decoder, the pages' engine, draws the file).
TEST_F(Pictures, APhotoOfEveryOrientationStandsTheRightWayRoundEverywhere) {
  auto document = openProject(false);
  ASSERT_TRUE(document);
  gtk_window_resize(document->windowForSheet(), 900, 700);
  auto place = [](std::uint32_t o) { return std::pair<int, int>{10 + int((o - 1) % 4) * 60, 40 + int((o - 1) / 4) * 60}; };
  auto drawn = [](std::uint32_t o) { return o >= 5 ? std::pair<int, int>{30, 40} : std::pair<int, int>{40, 30}; };
  auto name = [](std::uint32_t o) { return "turn-" + std::to_string(o) + ".jpg"; };
  std::map<std::uint32_t, Data> photos;
  for (std::uint32_t o = 1; o <= 8; ++o) {
    photos[o] = testenv::markedJPEG(o);
    auto [x, y] = place(o);
    ASSERT_TRUE(dropOnPage(*document, photos[o], "image/jpeg", name(o), x, y));
  }
  nlohmann::json layers = imageLayers(*document, 8);
  ASSERT_EQ(layers.size(), 8u);
  for (std::uint32_t o = 1; o <= 8; ++o) {
    auto layer = std::find_if(layers.begin(), layers.end(), [&](const nlohmann::json& l) { return l.value("name", "") == name(o); });
    ASSERT_NE(layer, layers.end()) << name(o);
    EXPECT_EQ((*layer)["width"], drawn(o).first) << name(o);
    EXPECT_EQ((*layer)["height"], drawn(o).second) << name(o);
    // The document keeps the photograph as it came.
    auto stored = fs::readFile(document->projectPath().value() / "design" / "images" / (*layer)["image"].get<std::string>());
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, photos[o]) << name(o);
  }

  // Whether the four corners of the box (x, y, width, height) of a picture show orientation `o`.
  auto cornersShow = [](const auto& pixel, double x, double y, double w, double h, std::uint32_t o, std::string& seen) {
    auto corners = testenv::drawnCorners(int(o));
    double inset = std::max(2.0, std::min(w, h) * 0.1);
    const std::pair<double, double> at[4] = {{x + inset, y + inset}, {x + w - inset - 1, y + inset},
                                             {x + inset, y + h - inset - 1}, {x + w - inset - 1, y + h - inset - 1}};
    bool all = true;
    for (int c = 0; c < 4; ++c) {
      std::array<std::uint8_t, 3> p = pixel(int(at[c].first), int(at[c].second));
      seen += std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]) + " ";
      all = testenv::looksLike(p.data(), corners[std::size_t(c)], 60) && all;
    }
    return all;
  };
  // Every picture of a view, found by `boxes` (a script giving [[orientation, x, y, w, h], …]),
  // shows its orientation, as the view draws it.
  auto viewShowsEvery = [&](GtkWidget* view, const std::function<std::optional<nlohmann::json>()>& boxes,
                            const std::string& what) {
    std::string seen;
    bool shown = waitFor([&] {
      seen.clear();
      auto found = boxes();
      if (!found || !found->is_string()) return false;
      auto list = nlohmann::json::parse(found->get<std::string>());
      if (list.size() != 8) return false;
      auto shot = snapshot(view);
      if (!shot) return false;
      keepShot("photo-orientations-" + what + ".png", *shot);
      bool all = true;
      for (const auto& b : list) {
        seen += "[" + b[0].dump() + "] ";
        all = cornersShow([&](int x, int y) { return shot->pixel(x, y); }, b[1].get<double>(), b[2].get<double>(),
                          b[3].get<double>(), b[4].get<double>(), b[0].get<std::uint32_t>(), seen) && all;
      }
      return all;
    }, 60);
    EXPECT_TRUE(shown) << what << ": " << seen;
  };
  const std::string boxesOf =
      "(function (images, orientationOf) { var out = []; for (var n = 0; n < images.length; n++) { var i = images[n];"
      " if (!i.complete || !i.naturalWidth) return null; var r = i.getBoundingClientRect();"
      " out.push([orientationOf(i), r.x, r.y, r.width, r.height]); } return JSON.stringify(out); })";

  // The editor's canvas.
  GtkWidget* editor = document->ostrelViewController().webViewController().webView().widget();
  viewShowsEvery(editor, [&] {
    return evaluate(*document, boxesOf + "(document.querySelectorAll('#canvas img'),"
                                         " function (i) { return +i.alt.replace(/\\D/g, ''); })");
  }, "editor");

  // The preview, which shows the design as saved.
  std::optional<std::optional<Error>> saved;
  document->saveDocument([&](std::optional<Error> e) { saved = e; });
  ASSERT_TRUE(waitFor([&] { return saved.has_value(); }, 60));
  ASSERT_FALSE(*saved) << (*saved)->message;
  document->showPreviewWindow();
  ASSERT_TRUE(document->previewWindowController());
  auto& preview = document->previewWindowController()->korvelViewController()->webViewController();
  ASSERT_TRUE(waitFor([&] { return preview.isDocumentReady(); }));
  std::map<std::string, std::uint32_t> ids;
  for (const auto& l : layers) ids[l["id"].get<std::string>()] = std::uint32_t(std::stoi(l["name"].get<std::string>().substr(5)));
  viewShowsEvery(preview.webView().widget(), [&] {
    return guitest::evaluate(preview.webView(), boxesOf + "(document.querySelectorAll('[data-id] img'), function (i) {"
                                                          " return " + nlohmann::json(ids).dump() +
                                                          "[i.closest('[data-id]').dataset.id]; })");
  }, "preview");

  ASSERT_TRUE(exportInEveryKind(*document));
  auto out = dir / "out";
  auto expectAll = [&](const Bitmap& picture, const std::string& what) {
    for (std::uint32_t o = 1; o <= 8; ++o) {
      auto [x, y] = place(o);
      auto [w, h] = drawn(o);
      std::string seen;
      EXPECT_TRUE(cornersShow([&](int px, int py) {
        const std::uint8_t* p = picture.pixel(std::min(px, picture.width - 1), std::min(py, picture.height - 1));
        return std::array<std::uint8_t, 3>{p[0], p[1], p[2]};
      }, x, y, w, h, o, seen)) << what << ", " << name(o) << ": " << seen;
    }
  };
  for (const char* file : {"Home.png", "Home.jpg", "Home.webp"}) {
    auto bytes = fs::readFile(out / file);
    ASSERT_TRUE(bytes) << file;
    keepShot(std::string("photo-orientations-export-") + file, *bytes);
    auto picture = ImageEncoding::decode(*bytes);
    ASSERT_TRUE(picture) << file;
    expectAll(*picture, file);
  }
  ASSERT_EQ(testenv::run("pdftoppm -png -r 72 -singlefile '" + (out / "Home.pdf").string() + "' '" +
                         (out / "page").string() + "'"), 0);
  auto page = ImageEncoding::decode(*fs::readFile(out / "page.png"));
  ASSERT_TRUE(page);
  expectAll(*page, "Home.pdf");
  // The text exports carry each photograph as it came, and drawn by the engine they show it
  // the right way round.
  for (const char* file : {"Home.svg", "Home.html"}) {
    std::string written = readFile(out / file);
    for (std::uint32_t o = 1; o <= 8; ++o)
      EXPECT_NE(written.find("data:image/jpeg;base64," + crypto::base64Encode(photos[o])), std::string::npos) << file;
    GtkWidget* window = gtk_offscreen_window_new();
    GtkWidget* view = webkit_web_view_new();
    gtk_widget_set_size_request(view, 400, 200);
    gtk_container_add(GTK_CONTAINER(window), view);
    gtk_widget_show_all(window);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), ("file://" + (out / file).string()).c_str());
    std::string seen;
    EXPECT_TRUE(waitFor([&] {
      auto shot = snapshot(view);
      if (!shot) return false;
      keepShot(std::string("photo-orientations-export-") + file + ".png", *shot);
      seen.clear();
      bool all = true;
      for (std::uint32_t o = 1; o <= 8; ++o) {
        auto [x, y] = place(o);
        auto [w, h] = drawn(o);
        all = cornersShow([&](int px, int py) { return shot->pixel(px, py); }, x, y, w, h, o, seen) && all;
      }
      return all;
    }, 60)) << file << ": " << seen;
    gtk_widget_destroy(window);
  }
}

}  // namespace

namespace {

// What a flood may add to the process: one picture file read whole (255 MB) or one picture at
// the pixel bound decoded (256 MB), and little else. Under AddressSanitizer freed blocks stay
// resident in its quarantine (256 MB) and every block has its shadow and red zones, so the bound
// there is twice as large; either is a small part of the gigabytes an unbounded flood takes.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t floodBound = std::size_t(900) << 20;
#else
constexpr std::size_t floodBound = std::size_t(450) << 20;
#endif

// Serves the page of a frame of another origin on the loopback.
class FramePageServer {
 public:
  explicit FramePageServer(std::string page) : page_(std::move(page)), server_(soup_server_new(nullptr, nullptr)) {
    soup_server_add_handler(
        server_, nullptr,
        [](SoupServer*, SoupServerMessage* message, const char*, GHashTable*, gpointer data) {
          const std::string& page = static_cast<FramePageServer*>(data)->page_;
          soup_server_message_set_response(message, "text/html", SOUP_MEMORY_COPY, page.data(), page.size());
          soup_server_message_set_status(message, 200, nullptr);
        },
        this, nullptr);
    if (soup_server_listen_local(server_, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, nullptr)) {
      GSList* uris = soup_server_get_uris(server_);
      if (uris) port_ = g_uri_get_port(static_cast<GUri*>(uris->data));
      g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    }
  }
  ~FramePageServer() {
    soup_server_disconnect(server_);
    g_object_unref(server_);
  }
  std::string address() const { return "http://127.0.0.1:" + std::to_string(port_) + "/frame"; }
  bool listening() const { return port_ > 0; }

 private:
  std::string page_;
  SoupServer* server_;
  int port_ = 0;
};

}  // namespace

// measure(blob): the size of the picture a blob holds, as the page's engine decodes it.
const std::string measureScript =
    " function measure(blob) { return new Promise(function (done, failed) {"
    "  var p = new Image(), url = URL.createObjectURL(blob);"
    "  p.onload = function () { URL.revokeObjectURL(url); done(p.naturalWidth + 'x' + p.naturalHeight); };"
    "  p.onerror = function () { URL.revokeObjectURL(url); failed(); }; p.src = url; }); }";

// ask(address): fetches a picture and counts in window.tally how the page's engine decoded the
// answer: by its size ("WxH"), or as "refused".
const std::string tallyScript =
    measureScript +
    " window.tally = {}; function ask(address) { return fetch(address).then(function (r) {"
    "  if (!r.ok) throw new Error(r.status); return r.blob(); }).then(measure)"
    "  .catch(function () { return 'refused'; })"
    "  .then(function (s) { tally[s] = (tally[s] || 0) + 1; }); }";

// The page's tally once `count` answers are counted, waited for up to `timeout`.
nlohmann::json waitForTally(KXDocument& document, int count, double timeout) {
  nlohmann::json tally;
  EXPECT_TRUE(waitFor([&] {
    auto text = evaluate(document, "JSON.stringify(tally)");
    if (!text || !text->is_string()) return false;
    tally = nlohmann::json::parse(text->get<std::string>());
    int counted = 0;
    for (const auto& [outcome, n] : tally.items()) counted += n.get<int>();
    return counted == count;
  }, timeout)) << tally.dump();
  return tally;
}

// A page that asks for one picture over and over, with a new address each time, costs one read
// and one decode of it, within a bound, and every request ends: a 1 × 1 PNG padded with zeros to
// 255 MB, and a TIFF of a few kilobytes that decodes to 8192 × 8192.
TEST_F(Pictures, AFloodOfRequestsForOnePictureStaysWithinItsBoundAndEveryRequestEnds) {
  auto document = openProject(true);
  ASSERT_TRUE(document);
  auto images = document->projectPath().value() / "design" / "images";
  ASSERT_TRUE(fs::writeInside(images, "padded.png", ImageEncoding::png(testenv::solidBitmap(1, 1, 0, 0, 255))));
  fsys::resize_file(images / "padded.png", std::uintmax_t(255) << 20);
  ASSERT_TRUE(fs::writeInside(images, "large.tiff", testenv::tiffPicture(8192, 8192)));
  struct Flood {
    const char* name;
    int requests;
    int width, height;
  } floods[] = {{"padded.png", 100, 1, 1}, {"large.tiff", 200, 8192, 8192}};
  for (const auto& flood : floods) {
    SCOPED_TRACE(flood.name);
    testenv::ResidentPeak sampler(std::size_t(3) << 30);
    // Each answer as the page's engine decodes it: its size as a picture.
    ASSERT_TRUE(evaluate(*document, tallyScript + " for (var i = 0; i < " + std::to_string(flood.requests) +
                                        "; ++i) ask('korvel-picture:" + flood.name + "?' + i); true"));
    // Every one drawn at the picture's size: nothing here is beyond a picture's bounds.
    std::string size = std::to_string(flood.width) + "x" + std::to_string(flood.height);
    EXPECT_EQ(waitForTally(*document, flood.requests, 300), nlohmann::json({{size, flood.requests}}));
    EXPECT_LT(sampler.growth(), floodBound) << flood.name << ": grew by " << (sampler.growth() >> 20) << " MB";
  }
}

// Pictures that wait for the page count too: four 4096 × 4096 PNGs, each padded to 255 MB (and
// so made again, as no honest file is that much larger than its pixels), asked for at once by the
// page, are each drawn, one at a time, not four held at once. The engine passes an answer on to the page in messages of its own, which hold
// it about twice again in this process while the page reads them (one such answer alone costs
// about 650 MB here), and the next file is read beside it: that, and not four, is the bound.
// Six of 30 MB are more than may wait beside the ones the page has yet to take: those beyond
// wait without their bytes, and are each drawn in their turn.
TEST_F(Pictures, LargePicturesAskedAtOnceWaitForThePageWithinTheBound) {
  auto document = openProject(true);
  ASSERT_TRUE(document);
  auto images = document->projectPath().value() / "design" / "images";
  struct Case {
    const char* name;
    int side;
    std::uintmax_t padded;
    int count;
  } cases[] = {{"padded", 4096, std::uintmax_t(255) << 20, 4}, {"middling", 1400, std::uintmax_t(30) << 20, 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      const Data picture = ImageEncoding::png(testenv::solidBitmap(c.side, c.side, 0, 0, 255));
      for (int i = 0; i < c.count; ++i) {
        std::string name = c.name + std::to_string(i) + ".png";
        ASSERT_TRUE(fs::writeInside(images, name, picture));
        fsys::resize_file(images / name, c.padded);
      }
    }
    testenv::ResidentPeak sampler(std::size_t(3) << 30);
    ASSERT_TRUE(evaluate(*document, tallyScript + " for (var i = 0; i < " + std::to_string(c.count) +
                                        "; ++i) ask('korvel-picture:" + c.name + "' + i + '.png'); true"));
    std::string size = std::to_string(c.side) + "x" + std::to_string(c.side);
    EXPECT_EQ(waitForTally(*document, c.count, 300), nlohmann::json({{size, c.count}}));
    EXPECT_LT(sampler.growth(), std::size_t(1152) << 20) << "grew by " << (sampler.growth() >> 20) << " MB";
  }
}

// Only the document's own page gets its pictures: a frame of another origin inside it gets none,
// however it asks.
TEST_F(Pictures, AFrameOfAnotherOriginGetsNoPictureWhileTheViewsOwnPageDoes) {
  auto document = openProject(true);
  ASSERT_TRUE(document);
  const std::string askAll =
      "function ask(report) {"
      " var a = new Image(); a.crossOrigin = 'anonymous';"
      " a.onload = function () { report('image across origins', 'drawn'); };"
      " a.onerror = function () { report('image across origins', 'refused'); };"
      " a.src = 'korvel-picture:q81Vb.png';"
      " var b = new Image(); b.onload = function () { report('plain image', 'drawn'); };"
      " b.onerror = function () { report('plain image', 'refused'); }; b.src = 'korvel-picture:q81Vb.png?plain';"
      " fetch('korvel-picture:q81Vb.png?fetch').then(function (r) { return r.blob(); })"
      "  .then(function (b) { report('fetch', b.size > 0 ? 'drawn' : 'refused'); })"
      "  .catch(function () { report('fetch', 'refused'); }); }";
  FramePageServer server("<!doctype html><script>" + askAll +
                         " ask(function (how, outcome) { parent.postMessage({how: how, outcome: outcome}, '*'); });</script>");
  ASSERT_TRUE(server.listening());
  ASSERT_TRUE(evaluate(*document, askAll + "; window.own = {}; window.framed = {};"
                                  " window.addEventListener('message', function (e) { framed[e.data.how] = e.data.outcome; });"
                                  " ask(function (how, outcome) { own[how] = outcome; });"
                                  " var f = document.createElement('iframe'); f.src = '" + server.address() + "';"
                                  " document.body.appendChild(f); true"));
  std::optional<nlohmann::json> seen;
  ASSERT_TRUE(waitFor([&] {
    seen = evaluate(*document, "JSON.stringify({own: own, framed: framed})");
    if (!seen || !seen->is_string()) return false;
    auto both = nlohmann::json::parse(seen->get<std::string>());
    return both["own"].size() == 3 && both["framed"].size() == 3;
  }, 60)) << seen.value_or(nullptr).dump();
  auto both = nlohmann::json::parse(seen->get<std::string>());
  EXPECT_EQ(both["framed"], nlohmann::json({{"image across origins", "refused"}, {"plain image", "refused"}, {"fetch", "refused"}}));
  // The page's own fetch is answered; its image loads, which do not say which page asks, are not.
  EXPECT_EQ(both["own"], nlohmann::json({{"image across origins", "refused"}, {"plain image", "refused"}, {"fetch", "drawn"}}));
}

namespace {

// A picture of a frame: its file, its layer's size, the greys of its left and right halves as
// drawn, and whether it may be refused as damaged instead.
struct FramePicture {
  std::string name;
  Data bytes;
  int side;
  int left, right;
  bool mayBeRefused = false;
};

// The layers' boxes on a page, in the order of `selector`'s images, once each is drawn (or, where
// it may be, refused).
std::optional<nlohmann::json> drawnBoxes(const std::function<std::optional<nlohmann::json>(const std::string&)>& run,
                                         const std::string& selector, const std::vector<FramePicture>& pictures) {
  nlohmann::json refusable = nlohmann::json::array();
  for (const auto& p : pictures) refusable.push_back(p.mayBeRefused);
  std::optional<nlohmann::json> boxes;
  bool drawn = waitFor([&] {
    auto found = run("(function (refusable) { var imgs = document.querySelectorAll('" + selector + "');"
                     " if (imgs.length !== refusable.length) return null; var boxes = [];"
                     " for (var k = 0; k < imgs.length; ++k) { var i = imgs[k];"
                     "  var refused = refusable[k] && i.dataset.refused === 'refused';"
                     "  if (!i.complete || !(i.naturalWidth > 0 || refused)) return null;"
                     "  var r = i.getBoundingClientRect();"
                     "  boxes.push({x: r.x, y: r.y, width: r.width, height: r.height, natural: i.naturalWidth,"
                     "   refused: refused}); }"
                     " return JSON.stringify(boxes); })(" + refusable.dump() + ")");
    if (!found || !found->is_string()) return false;
    boxes = nlohmann::json::parse(found->get<std::string>());
    return true;
  }, 120);
  return drawn ? boxes : std::nullopt;
}

// Whether `at(x, y)` shows each picture's two halves in its box.
std::string wrongHalves(const std::function<std::array<std::uint8_t, 3>(int, int)>& at, const nlohmann::json& boxes,
                        const std::vector<FramePicture>& pictures) {
  std::string wrong;
  for (std::size_t k = 0; k < pictures.size(); ++k) {
    const auto& box = boxes[k];
    if (box.value("refused", false)) continue;
    int y = int(box["y"].get<double>() + box["height"].get<double>() / 2);
    for (auto [x, grey] : {std::pair{box["x"].get<double>() + box["width"].get<double>() / 4, pictures[k].left},
                           std::pair{box["x"].get<double>() + 3 * box["width"].get<double>() / 4, pictures[k].right}}) {
      auto p = at(int(x), y);
      bool ok = pictures[k].mayBeRefused ? p[0] < 0x60 || p[0] > 0xF0 : std::abs(int(p[0]) - grey) <= 40;
      if (!ok || std::abs(int(p[0]) - int(p[1])) > 24) wrong += pictures[k].name + " at " + std::to_string(int(x)) +
                                                                 "," + std::to_string(y) + ": " + std::to_string(p[0]) + " ";
    }
  }
  return wrong;
}

}  // namespace

// What a frame of large pictures costs, summed over korvel and every process it started, as
// against the same frame of small ones: opened in the editor, shown in the preview and exported
// in all six kinds, each step within 1 GB of the small frame's, every picture drawn right. Three
// TIFFs drawn 80 × 80 (a JPEG-in-TIFF of a few hundred bytes claiming 8000 × 8000, an 8192 × 8192
// LZW TIFF in one strip, an 8000 × 8000 LZW TIFF), and two 8000 × 8000 JPEGs drawn 200 × 200.
TEST_F(Pictures, AFrameOfLargePicturesCostsAboutWhatItsPicturesAreDrawnAt) {
  auto made = dir / "made";
  fsys::create_directories(made);
  auto tiffs = [&](std::uint32_t lyingSide, std::uint32_t stripSide, std::uint32_t side) {
    return std::vector<FramePicture>{
        {"lying", testenv::lyingJpegTiff(lyingSide), 80, 0, 0, true},
        {"strip", testenv::twoToneTiff(made, stripSide, stripSide, "-c lzw -r " + std::to_string(stripSide)), 80, 0x30, 0xD0},
        {"large", testenv::twoToneTiff(made, side, side, "-c lzw"), 80, 0x30, 0xD0}};
  };
  auto jpegs = [&](std::uint32_t side) {
    return std::vector<FramePicture>{{"first", testenv::jpegPicture(side, side), 200, 128, 128},
                                     {"second", testenv::jpegPicture(side, side), 200, 128, 128}};
  };
  struct Frame {
    const char* what;
    std::vector<FramePicture> small, large;
  } frames[] = {{"three TIFFs", tiffs(80, 80, 80), tiffs(8000, 8192, 8000)}, {"two JPEGs", jpegs(200), jpegs(8000)}};
  for (const auto& frame : frames)
    for (const auto* pictures : {&frame.small, &frame.large})
      for (const auto& p : *pictures) ASSERT_FALSE(p.bytes.empty()) << p.name;

  struct Costs {
    std::size_t open = 0, preview = 0, exported = 0;
    double exportSeconds = 0;
  };
  int opened = 0;
  auto measure = [&](const std::vector<FramePicture>& pictures, const std::string& what) -> Costs {
    Costs costs;
    auto folder = dir / ("frame-" + std::to_string(++opened));
    writeProject(folder, "Home");
    nlohmann::json layers = nlohmann::json::array();
    int x = 0;
    for (const auto& p : pictures) {
      EXPECT_TRUE(fs::writeInside(folder, "design/images/" + p.name, p.bytes));
      layers.push_back({{"id", p.name}, {"type", "image"}, {"image", p.name}, {"name", p.name},
                        {"x", x}, {"y", 0}, {"width", p.side}, {"height", p.side}});
      x += p.side + 10;
    }
    nlohmann::json json = {{"version", 1}, {"pages", {{{"id", "page-1"}, {"name", "Home"}, {"layers", layers}}}}};
    std::ofstream(folder / "design" / "document.json") << json.dump();
    makeZip(folder, dir / ("Frame " + std::to_string(opened) + ".korvelx"));

    // Opened, its pictures drawn in the editor.
    auto peak = std::make_unique<testenv::PeakPss>();
    auto document = openWith(*controller, dir / ("Frame " + std::to_string(opened) + ".korvelx"));
    if (!document || !waitForEditor(*document)) {
      ADD_FAILURE() << what << ": not opened";
      return costs;
    }
    // What of the pictures a view shows wrong, as a person sees it, once it shows them right.
    auto shownWrong = [&](GtkWidget* shown, const std::optional<nlohmann::json>& at, const std::string& where) {
      std::string wrong = "no picture of the " + where;
      waitFor([&] {
        auto shot = at ? snapshot(shown) : std::nullopt;
        if (!shot) return false;
        keepShot("frame-" + std::to_string(opened) + "-" + where + ".png", *shot);
        wrong = wrongHalves([&](int px, int py) { return shot->pixel(px, py); }, *at, pictures);
        return wrong.empty();
      }, 60);
      return wrong;
    };
    GtkWidget* view = document->ostrelViewController().webViewController().webView().widget();
    gtk_window_resize(document->windowForSheet(), 900, 700);
    auto inEditor = [&](const std::string& script) { return evaluate(*document, script); };
    auto boxes = drawnBoxes(inEditor, "#canvas img", pictures);
    EXPECT_TRUE(boxes) << what << ": the editor did not draw its pictures";
    EXPECT_EQ(shownWrong(view, boxes, "editor"), "") << what << ": the editor";
    costs.open = peak->stop();

    // Shown in the preview too.
    peak = std::make_unique<testenv::PeakPss>();
    document->showPreviewWindow();
    auto* controllerOfPreview = document->previewWindowController();
    if (!controllerOfPreview) {
      ADD_FAILURE() << what << ": no preview";
      return costs;
    }
    auto& preview = controllerOfPreview->korvelViewController()->webViewController();
    EXPECT_TRUE(waitFor([&] { return preview.isDocumentReady(); }));
    auto inPreview = [&](const std::string& script) { return guitest::evaluate(preview.webView(), script); };
    auto previewBoxes = drawnBoxes(inPreview, "[data-frame] img", pictures);
    EXPECT_TRUE(previewBoxes) << what << ": the preview did not draw its pictures";
    EXPECT_EQ(shownWrong(preview.webView().widget(), previewBoxes, "preview"), "") << what << ": the preview";
    costs.preview = peak->stop();
    // Each picture handed to the pages at about its drawn size: none at more than twice its pixels.
    for (const auto* drawn : {&boxes, &previewBoxes})
      for (std::size_t k = 0; drawn->has_value() && k < pictures.size(); ++k)
        EXPECT_LE((**drawn)[k]["natural"].get<int>(), 2 * pictures[k].side) << what << ": " << pictures[k].name;

    // Exported in every kind; the PNG shows each picture where its layer is.
    peak = std::make_unique<testenv::PeakPss>();
    auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(exportInEveryKind(*document)) << what;
    costs.exportSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    costs.exported = peak->stop();
    auto png = fs::readFile(dir / "out" / "Home.png");
    auto picture = png ? ImageEncoding::decode(*png) : std::nullopt;
    EXPECT_TRUE(picture) << what << ": no PNG";
    if (picture) {
      keepShot("frame-" + std::to_string(opened) + "-export.png", *png);
      nlohmann::json layout = nlohmann::json::array();
      int left = 0;
      for (const auto& p : pictures) {
        layout.push_back({{"x", left}, {"y", 0}, {"width", p.side}, {"height", p.side}});
        left += p.side + 10;
      }
      EXPECT_EQ(wrongHalves([&](int px, int py) {
                  const std::uint8_t* q = picture->pixel(std::clamp(px, 0, picture->width - 1),
                                                         std::clamp(py, 0, picture->height - 1));
                  return std::array<std::uint8_t, 3>{q[0], q[1], q[2]};
                }, layout, pictures), "") << what << ": the PNG";
    }
    document->close();
    return costs;
  };

  // The small frames first: what a later frame leaves behind counts against the large ones.
  std::vector<Costs> small, large;
  for (const auto& frame : frames) small.push_back(measure(frame.small, std::string(frame.what) + ", small"));
  for (const auto& frame : frames) large.push_back(measure(frame.large, std::string(frame.what) + ", large"));
  constexpr std::size_t allowed = std::size_t(1) << 30;
  for (std::size_t f = 0; f < std::size(frames); ++f) {
    const Costs &s = small[f], &l = large[f];
    printf("%s: opened %zu MB (small %zu MB), previewed %zu MB (%zu MB), exported %zu MB (%zu MB) in %.1f s\n",
           frames[f].what, l.open >> 20, s.open >> 20, l.preview >> 20, s.preview >> 20, l.exported >> 20,
           s.exported >> 20, l.exportSeconds);
    EXPECT_LT(l.open, s.open + allowed) << frames[f].what << ": opened";
    EXPECT_LT(l.preview, s.preview + allowed) << frames[f].what << ": previewed";
    EXPECT_LT(l.exported, s.exported + allowed) << frames[f].what << ": exported";
    // Only an export that never ends fails: a loaded machine slows the sanitizer build many times.
    EXPECT_LT(l.exportSeconds, 300.0) << frames[f].what << ": exported";
  }
}

// A page is handed a picture at about the size it draws it, each side rounded up to a power of
// two: a page that asks at many sizes shares one picture made for them, and one that names no
// size is handed the whole picture.
TEST_F(Pictures, APageAskingAtManySizesSharesAFewPictures) {
  auto document = openProject(false);
  ASSERT_TRUE(document);
  auto images = document->projectPath().value() / "design" / "images";
  ASSERT_TRUE(fs::writeInside(images, "large.tiff", testenv::tiffPicture(2048, 1024)));
  const std::size_t made = PictureStore::shared().made();
  ASSERT_TRUE(evaluate(*document, tallyScript + " for (var w = 65; w <= 128; ++w)"
                                                " ask('korvel-picture:large.tiff?width=' + w + '&height=' + ((w + 1) >> 1)); true"));
  // Drawn at up to 128 × 64: handed at 128 × 64.
  EXPECT_EQ(waitForTally(*document, 64, 120), nlohmann::json({{"128x64", 64}}));
  EXPECT_EQ(PictureStore::shared().made(), made + 1);
  // Asked at no size, or at one it can't read: as the file is.
  ASSERT_TRUE(evaluate(*document, "window.tally = {}; ['', '?width=0&height=80', '?width=x&height=80'].forEach("
                                  "function (q) { ask('korvel-picture:large.tiff' + q); }); true"));
  EXPECT_EQ(waitForTally(*document, 3, 120), nlohmann::json({{"2048x1024", 3}}));
}

// A picture the host refuses to make (here a 9000 × 9000 JPEG of a few hundred bytes, past the
// pixels any picture may have) is not drawn in the editor or the preview: the page never turns to
// the file itself, which its engine would decode whole.
TEST_F(Pictures, APictureTheHostRefusesIsNotDrawnFromItsFile) {
  auto document = openProject(Stored{"huge.jpg", testenv::jpegPicture(9000, 9000), 80, 80});
  ASSERT_TRUE(document);
  document->showPreviewWindow();
  auto* preview = document->previewWindowController();
  ASSERT_TRUE(preview);
  auto& previewPage = preview->korvelViewController()->webViewController();
  ASSERT_TRUE(waitFor([&] { return previewPage.isDocumentReady(); }));
  const std::string state = "(function () { var i = document.querySelector('img[alt=\"red.png\"]');"
                            " return i ? JSON.stringify({refused: i.dataset.refused || '', src: i.getAttribute('src') || ''})"
                            " : null; })()";
  struct Page {
    const char* name;
    WebView& view;
  } pages[] = {{"editor", document->ostrelViewController().webViewController().webView()},
               {"preview", previewPage.webView()}};
  for (auto& page : pages) {
    nlohmann::json seen;
    EXPECT_TRUE(waitFor([&] {
      auto found = guitest::read(page.view, state);
      if (!found || !found->is_string()) return false;
      seen = nlohmann::json::parse(found->get<std::string>());
      return seen["refused"] == "refused" || !seen["src"].get<std::string>().empty();
    }, 60)) << page.name;
    EXPECT_EQ(seen["refused"], "refused") << page.name << ": " << seen.dump();
    EXPECT_EQ(seen["src"], "") << page.name << " drew the file itself";
  }
}

namespace {

// The place of the element `selector` finds on its page, once it is drawn as `drawn` (a
// script's test of `i`, the element) says; none when it isn't.
std::optional<std::array<double, 4>> boxOf(WebView& view, const std::string& selector, const std::string& drawn) {
  auto found = guitest::read(view, "(function () { var i = document.querySelector(" + nlohmann::json(selector).dump() +
                                       "); if (!i || !(" + drawn + ")) return null;"
                                       " var r = i.getBoundingClientRect(); return [r.x, r.y, r.width, r.height]; })()");
  if (!found || !found->is_array() || found->size() != 4) return std::nullopt;
  return std::array<double, 4>{(*found)[0].get<double>(), (*found)[1].get<double>(), (*found)[2].get<double>(),
                               (*found)[3].get<double>()};
}

const testenv::Colour frameRed{255, 0, 0}, frameBlue{0, 0, 255};

bool near(const std::array<std::uint8_t, 3>& p, const testenv::Colour& c, int slack = 40) {
  for (int i = 0; i < 3; ++i)
    if (std::abs(int(p[std::size_t(i)]) - int(c[std::size_t(i)])) > slack) return false;
  return true;
}

}  // namespace

namespace {

// Whether the boxes of the layers "image-1" and "image-2" of `view` (found below `where`) are each
// seen in both frames' colours, one snapshot after another, each drawn from its file as it is
// (an animation handed whole, never a still of its first frame).
void expectKeepsMoving(WebView& view, const std::string& where, const std::string& what) {
  std::map<std::string, std::set<int>> seen;
  std::string last;
  bool moving = waitFor([&] {
    auto shot = snapshot(view.widget());
    if (!shot) return false;
    bool all = true;
    for (const char* id : {"image-1", "image-2"}) {
      auto box = boxOf(view, where + "[data-id=\"" + id + "\"] img",
                       "i.complete && i.naturalWidth === 1200 && i.naturalHeight === 1200");
      if (!box) {
        all = false;
        continue;
      }
      auto p = shot->pixel(int((*box)[0] + (*box)[2] / 2), int((*box)[1] + (*box)[3] / 2));
      last = std::string(id) + " " + std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]);
      if (near(p, frameRed)) seen[id].insert(0);
      if (near(p, frameBlue)) seen[id].insert(1);
      all = all && seen[id].size() == 2;
    }
    if (all) keepShot(what + "-animated.png", *shot);
    return all;
  }, 90);
  EXPECT_TRUE(moving) << what << ": frames seen of the GIF " << seen["image-1"].size() << ", of the WebP "
                      << seen["image-2"].size() << "; last " << last;
}

}  // namespace

// An animated GIF and an animated WebP (made by the WebP tools' animation encoder) of 1200 × 1200
// drawn at 60 × 60 keep moving in the editor and the preview: the middle of each box is seen in
// both its frames' colours over a run of snapshots of the view. Their reduced copies, which
// would be stills, are never made. An export of their frame, smaller than they are, draws a
// frame of each.
TEST_F(Pictures, AnimatedPicturesDrawnSmallKeepMovingInTheEditorAndThePreview) {
  const std::vector<testenv::Colour> colours{frameRed, frameBlue};
  const Data gif = testenv::animatedGif(1200, 1200, colours, 30);
  const Data webp = testenv::animatedWebP(testenv::freshFolder("animated-webp"), 1200, 1200, colours, 300);
  ASSERT_FALSE(webp.empty()) << "img2webp made no animation";
  auto header = ImageHeader::read(webp);
  ASSERT_TRUE(header && header->frames == 2);
  ASSERT_EQ(ImageHeader::read(gif)->frames, 2u);
  Stored movingGif{"Mv7Gq", gif, 60, 60, "moving.gif", 20, 30}, movingWebP{"Pq2Wz", webp, 60, 60, "moving.webp", 120, 30};
  auto document = openProject(std::vector<Stored>{movingGif, movingWebP});
  ASSERT_TRUE(document);
  gtk_window_resize(document->windowForSheet(), 900, 700);

  expectKeepsMoving(document->ostrelViewController().webViewController().webView(), "#canvas ", "editor");
  // Once the document's reduced copies are settled, a page still gets each animation whole.
  auto copies = document->projectPath().value() / ".cache" / "images";
  ASSERT_TRUE(waitFor([&] {
    for (const char* name : {"Mv7Gq", "Pq2Wz"})
      for (const char* size : {"512", "1024", "2048"}) {
        std::error_code ec;
        auto entry = copies / size / name;
        auto target = fsys::read_symlink(entry, ec);
        if (!fsys::is_regular_file(fsys::symlink_status(entry)) && (ec || target.string().find("/./") == std::string::npos))
          return false;
      }
    return true;
  }, 120));
  ASSERT_TRUE(evaluate(*document, tallyScript + " ask('korvel-picture:Mv7Gq?width=60&height=60');"
                                                " ask('korvel-picture:Pq2Wz?width=60&height=60'); true"));
  EXPECT_EQ(waitForTally(*document, 2, 120), nlohmann::json({{"1200x1200", 2}}));

  document->showPreviewWindow();
  ASSERT_TRUE(document->previewWindowController());
  auto& preview = document->previewWindowController()->korvelViewController()->webViewController();
  ASSERT_TRUE(waitFor([&] { return preview.isDocumentReady(); }));
  expectKeepsMoving(preview.webView(), "", "preview");

  // Each raster export draws a frame of each.
  ASSERT_TRUE(exportInEveryKind(*document));
  for (const char* name : {"Home.png", "Home.jpg", "Home.webp"}) {
    auto bytes = fs::readFile(dir / "out" / name);
    ASSERT_TRUE(bytes) << name;
    keepShot(std::string("animated-export-") + name, *bytes);
    auto picture = ImageEncoding::decode(*bytes);
    ASSERT_TRUE(picture) << name;
    for (auto [x, y, what] : {std::tuple{50, 60, "GIF"}, std::tuple{150, 60, "WebP"}}) {
      const std::uint8_t* p = picture->pixel(x, y);
      std::array<std::uint8_t, 3> rgb{p[0], p[1], p[2]};
      EXPECT_TRUE(near(rgb, frameRed, 60) || near(rgb, frameBlue, 60))
          << name << ": the " << what << " drawn as " << int(p[0]) << "," << int(p[1]) << "," << int(p[2]);
    }
  }
}

// A document made elsewhere may hold reduced copies of an animation in its .cache, stills of a
// frame of another colour: drawn at 60 × 60, where such a copy would serve, the animated GIF and
// WebP of 1200 × 1200 are still handed as they are and keep moving in the editor, in a folder
// document and in a zip made by zip. Each file is looked at once, whatever count of requests.
TEST_F(Pictures, AnimationsWithStillCopiesFromElsewhereKeepMovingWhenDrawnSmall) {
  const std::vector<testenv::Colour> colours{frameRed, frameBlue};
  const Data gif = testenv::animatedGif(1200, 1200, colours, 30);
  const Data webp = testenv::animatedWebP(testenv::freshFolder("animated-webp-elsewhere"), 1200, 1200, colours, 300);
  ASSERT_FALSE(webp.empty()) << "img2webp made no animation";
  const std::vector<Stored> moving{{"Mv7Gq", gif, 60, 60, "moving.gif", 20, 30},
                                   {"Pq2Wz", webp, 60, 60, "moving.webp", 120, 30}};
  const Data still = ImageEncoding::png(testenv::solidBitmap(512, 512, 0, 200, 0));
  for (bool zipped : {false, true}) {
    std::string kind = zipped ? "zip" : "folder";
    auto source = dir / ("made-elsewhere-" + kind);
    writeDesign(source, moving);
    for (const auto& m : moving)
      for (const char* size : {"512", "1024"})
        ASSERT_TRUE(fs::writeInside(source, std::string(".cache/images/") + size + "/" + m.name, still));
    auto file = source;
    if (zipped) {
      file = dir / "Made elsewhere.korvelx";
      ASSERT_EQ(testenv::run("cd '" + source.string() + "' && zip -qr '" + file.string() + "' ."), 0);
    }
    // A folder made elsewhere is told to be under no version control.
    if (!zipped) person().alertAnswers.push_back(Alert::firstButtonReturn);
    auto looks = PictureStore::animationLooks();
    auto document = openWith(*controller, file);
    ASSERT_TRUE(document && waitForEditor(*document)) << kind;
    gtk_window_resize(document->windowForSheet(), 900, 700);
    // The copies are there to be served, as the document brought them.
    auto copies = document->projectPath().value() / ".cache" / "images" / "512";
    for (const auto& m : moving) ASSERT_EQ(fs::readFile(copies / m.name).value_or(Data()), still) << kind;
    expectKeepsMoving(document->ostrelViewController().webViewController().webView(), "#canvas ", kind);
    // Asked again, by many, the files are not looked at again.
    ASSERT_TRUE(evaluate(*document, tallyScript + " for (var i = 0; i < 20; ++i) {"
                                                  " ask('korvel-picture:Mv7Gq?width=60&height=60');"
                                                  " ask('korvel-picture:Pq2Wz?width=60&height=60'); } true"));
    EXPECT_EQ(waitForTally(*document, 40, 120), nlohmann::json({{"1200x1200", 40}})) << kind;
    EXPECT_LE(PictureStore::animationLooks() - looks, 2u) << kind;
    document->close();
    ASSERT_TRUE(waitFor([&] { return controller->documents().empty(); }, 60)) << kind;
  }
}

// Pictures korvel refuses (three damaged JPEG-in-TIFFs, a PNG whose header claims 100000 ×
// 100000, a JPEG of 9000 × 9000) each show their layer's name in their box: in the editor and the
// preview, and in the PNG, PDF and SVG exports, never an empty box or the engine's broken-picture
// sign (an SVG viewer's nothing). A name XML must escape is drawn as written.
TEST_F(Pictures, ARefusedPictureShowsItsNameInTheEditorThePreviewAndTheExports) {
  Data cut = testenv::lyingJpegTiff(8000);
  cut.resize(cut.size() - 40);
  const std::vector<Stored> refused{
      {"Rf1", testenv::tiffPicture(8000, 8000, {}, 1, {{259, 7}}), 100, 60, "Lagoon", 0, 0},
      {"Rf2", testenv::lyingJpegTiff(8000), 100, 60, "Quarry", 110, 0},
      {"Rf3", cut, 100, 60, "Meadow", 220, 0},
      {"Rf4", testenv::pngHeader(100000, 100000), 100, 60, "Ice & <Sea>", 0, 70},
      {"Rf5", testenv::jpegPicture(9000, 9000), 100, 60, "Canyon", 110, 70},
  };
  // Beside them a picture that is drawn.
  auto all = refused;
  all.push_back({"Gd6", redPicture(), 40, 30, "Harbour", 220, 70});
  auto document = openProject(all);
  ASSERT_TRUE(document);
  gtk_window_resize(document->windowForSheet(), 900, 700);
  document->showPreviewWindow();
  ASSERT_TRUE(document->previewWindowController());
  auto& preview = document->previewWindowController()->korvelViewController()->webViewController();
  ASSERT_TRUE(waitFor([&] { return preview.isDocumentReady(); }));

  // A box of the name's grey with the name's ink in it.
  auto showsName = [](const Shot& shot, const std::array<double, 4>& box) {
    int grey = 0, ink = 0, all = 0;
    for (int y = int(box[1]) + 3; y < int(box[1] + box[3]) - 3; ++y)
      for (int x = int(box[0]) + 3; x < int(box[0] + box[2]) - 3; ++x, ++all) {
        auto p = shot.pixel(x, y);
        if (near(p, {242, 242, 242}, 6)) ++grey;
        if (p[0] < 120 && p[1] < 120 && p[2] < 120) ++ink;
      }
    return all > 0 && grey * 2 > all && ink > 10;
  };
  struct Page {
    const char* name;
    WebView& view;
    std::string where;
  } pages[] = {{"editor", document->ostrelViewController().webViewController().webView(), "#canvas "},
               {"preview", preview.webView(), ""}};
  for (auto& page : pages) {
    for (std::size_t i = 0; i < refused.size(); ++i) {
      std::string layer = "[data-id=\"image-" + std::to_string(i + 1) + "\"] ";
      std::string seen;
      EXPECT_TRUE(waitFor([&] {
        auto box = boxOf(page.view, page.where + layer + ".refused-picture",
                         "i.textContent === " + nlohmann::json(refused[i].layer).dump() + " && i.offsetWidth > 50");
        auto image = guitest::read(page.view, "(function () { var i = document.querySelector('" + page.where + layer +
                                                  "img'); return i ? [i.dataset.refused || '', i.getAttribute('src') || '',"
                                                  " getComputedStyle(i).display] : null; })()");
        seen = image ? image->dump() : "no picture";
        if (!box || !image || *image != nlohmann::json({"refused", "", "none"})) return false;
        auto shot = snapshot(page.view.widget());
        if (shot && showsName(*shot, *box)) return true;
        seen += " not seen";
        if (shot) keepShot(std::string(page.name) + "-refused.png", *shot);
        return false;
      }, 60)) << page.name << " " << refused[i].layer << ": " << seen;
    }
  }

  ASSERT_TRUE(exportInEveryKind(*document));
  auto out = dir / "out";
  auto png = fs::readFile(out / "Home.png");
  ASSERT_TRUE(png);
  keepShot("refused-export.png", *png);
  auto picture = ImageEncoding::decode(*png);
  ASSERT_TRUE(picture);
  Shot exported{picture->width, picture->height, {}};
  for (int y = 0; y < picture->height; ++y)
    for (int x = 0; x < picture->width; ++x) {
      const std::uint8_t* p = picture->pixel(x, y);
      exported.rgb.insert(exported.rgb.end(), {p[0], p[1], p[2]});
    }
  for (const auto& r : refused)
    EXPECT_TRUE(showsName(exported, {double(r.x), double(r.y), double(r.width), double(r.height)}))
        << "Home.png: " << r.layer;
  // The PDF holds each name as text.
  std::string text;
  ASSERT_EQ(testenv::run("pdftotext '" + (out / "Home.pdf").string() + "' -", &text), 0);
  for (const auto& r : refused) EXPECT_NE(text.find(r.layer), std::string::npos) << "Home.pdf: " << r.layer << " in " << text;
  ASSERT_EQ(testenv::run("pdftoppm -png -r 72 -singlefile '" + (out / "Home.pdf").string() + "' '" +
                         (out / "page").string() + "'"), 0);
  auto page = ImageEncoding::decode(*fs::readFile(out / "page.png"));
  ASSERT_TRUE(page);
  Shot printed{page->width, page->height, {}};
  for (int y = 0; y < page->height; ++y)
    for (int x = 0; x < page->width; ++x) {
      const std::uint8_t* p = page->pixel(x, y);
      printed.rgb.insert(printed.rgb.end(), {p[0], p[1], p[2]});
    }
  for (const auto& r : refused)
    EXPECT_TRUE(showsName(printed, {double(r.x), double(r.y), double(r.width), double(r.height)})) << "Home.pdf: " << r.layer;

  // The SVG, read by an XML parser (which fails on SVG that is not well-formed), draws each
  // refused picture's name in its box, clipped to it, and no image there; the good picture is an
  // image of its data, with nothing beneath it.
  std::string read;
  ASSERT_EQ(testenv::run("python3 -c '"
                         "import json, sys, xml.etree.ElementTree as T\n"
                         "S = \"{http://www.w3.org/2000/svg}\"\n"
                         "root = T.parse(sys.argv[1]).getroot()\n"
                         "box = lambda e: [float(e.get(k, 0)) for k in (\"x\", \"y\", \"width\", \"height\")]\n"
                         "images = [box(e) + [e.get(\"{http://www.w3.org/1999/xlink}href\", \"\")[:40]] for e in root.iter(S + \"image\")]\n"
                         "names = [box(g.find(S + \"clipPath\").find(S + \"rect\")) + [\"\".join(g.itertext())]"
                         " for g in root.iter(S + \"g\") if g.get(\"class\") == \"refused-picture\"]\n"
                         "print(json.dumps({\"images\": images, \"names\": names}))\n"
                         "' '" + (out / "Home.svg").string() + "'", &read), 0)
      << read;
  auto svg = nlohmann::json::parse(read);
  auto boxJson = [](const Stored& s) { return nlohmann::json{double(s.x), double(s.y), double(s.width), double(s.height)}; };
  for (const auto& r : refused) {
    auto named = boxJson(r);
    named.push_back(r.layer);
    EXPECT_NE(std::find(svg["names"].begin(), svg["names"].end(), named), svg["names"].end())
        << "Home.svg: " << r.layer << " in " << svg.dump();
  }
  auto good = boxJson(all.back());
  good.push_back("data:image/png;base64,iVBORw0KGgoAAAANSU");
  EXPECT_EQ(svg["images"], nlohmann::json::array({good})) << "Home.svg";
  EXPECT_EQ(svg["names"].size(), refused.size()) << "Home.svg: " << svg.dump();
  keepShot("refused-export.svg", *fs::readFile(out / "Home.svg"));
  // As the web engine draws the file: each name in its grey box, the good picture red.
  GtkWidget* window = gtk_offscreen_window_new();
  GtkWidget* view = webkit_web_view_new();
  gtk_widget_set_size_request(view, 400, 200);
  gtk_container_add(GTK_CONTAINER(window), view);
  gtk_widget_show_all(window);
  gchar* address = g_filename_to_uri((out / "Home.svg").c_str(), nullptr, nullptr);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), address);
  g_free(address);
  std::string unseen;
  EXPECT_TRUE(waitFor([&] {
    auto shot = snapshot(view);
    if (!shot) return false;
    unseen.clear();
    for (const auto& r : refused)
      if (!showsName(*shot, {double(r.x), double(r.y), double(r.width), double(r.height)})) unseen += r.layer + " ";
    auto red = shot->pixel(all.back().x + 20, all.back().y + 15);
    if (!isRed(red.data())) unseen += "the good picture";
    keepShot("refused-export-svg.png", *shot);
    return unseen.empty();
  }, 60)) << "Home.svg drawn: not seen " << unseen;
  gtk_widget_destroy(window);
}

// A 4000 × 3000 photograph filling its frame of 400 × 300 is held in the PDF at 300 pixels to
// the inch: the page is 400 × 300 points, the picture 1667 × 1251 pixels (each side rounded up,
// so that it covers both ways). Exported as a document
// just opened is, before its reduced copies are made (a copy made covers at least as many).
TEST_F(Pictures, APhotoFillingItsFrameIsHeldInThePDFAt300PerInch) {
  auto document = openProject(Stored{"photo.jpg", testenv::jpegPicture(4000, 3000), 400, 300, "photo", 0, 0});
  ASSERT_TRUE(document);
  // The copies are made beside the opening: once they are, they go again.
  auto copies = document->projectPath().value() / ".cache" / "images";
  const int sizes[] = {512, 1024, 2048};
  ASSERT_TRUE(waitFor([&] {
    return std::all_of(std::begin(sizes), std::end(sizes), [&](int size) {
      return fsys::is_regular_file(fsys::symlink_status(copies / std::to_string(size) / "photo.jpg"));
    });
  }, 120));
  for (int size : sizes) fsys::remove(copies / std::to_string(size) / "photo.jpg");
  ASSERT_TRUE(exportInEveryKind(*document));
  std::string listed;
  ASSERT_EQ(testenv::run("pdfimages -list '" + (dir / "out" / "Home.pdf").string() + "'", &listed), 0);
  // page num type width height color comp bpc enc interp object ID x-ppi y-ppi size ratio
  std::istringstream lines(listed);
  std::string line;
  std::vector<std::vector<std::string>> images;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::vector<std::string> row{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
    if (row.size() >= 14 && row[2] == "image") images.push_back(row);
  }
  ASSERT_EQ(images.size(), 1u) << listed;
  EXPECT_EQ(images[0][3], "1667") << listed;
  EXPECT_EQ(images[0][4], "1251") << listed;
  EXPECT_NEAR(std::stod(images[0][12]), 300, 1) << listed;
  EXPECT_NEAR(std::stod(images[0][13]), 300, 1) << listed;
}
