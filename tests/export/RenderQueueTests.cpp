// Real HTML rendered off screen by WebKitGTK and written as files, checked by decoding them.

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "export/HTMLRenderQueue.h"
#include "export/KorvelViewSnapshotter.h"
#include "export/OstrelExporter.h"
#include "export/WebP.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/RunLoop.h"
#include "platform/Url.h"
#include "support/SolidBitmap.h"
#include "support/TestEnvironment.h"

namespace stdfs = std::filesystem;

namespace {

struct Display : ::testing::Environment {
  void SetUp() override { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)); }
};
const auto* display = ::testing::AddGlobalTestEnvironment(new Display);

const char* page =
    "<html><body style=\"margin:0;background:#ff0000\"><div style=\"position:absolute;left:60px;top:0;width:60px;"
    "height:80px;background:#0000ff\"></div><p style=\"position:absolute;top:20px;left:4px;margin:0;font-size:10px;"
    "color:#ff0000\">Hello export</p></body></html>";

struct Folder : OstrelExporterDelegate {
  stdfs::path folder = testenv::freshFolder("out");
  std::vector<ExportProgress> reports;
  void selectExportURL(const std::string&, ExportQualityOptions, std::function<void(std::optional<stdfs::path>)> d) override { d(std::nullopt); }
  void selectExportFolder(ExportQualityOptions, std::function<void(std::optional<stdfs::path>)> d) override { d(folder); }
  void decideOverwrite(int, std::function<void(bool)> d) override { d(true); }
  void report(ExportProgress p) override { reports.push_back(p); }
};

bool near(const std::uint8_t* p, int r, int g, int b, int tolerance = 12) {
  return std::abs(p[0] - r) <= tolerance && std::abs(p[1] - g) <= tolerance && std::abs(p[2] - b) <= tolerance;
}

std::optional<Bitmap> render(std::shared_ptr<HTMLRenderer::Work> work) {
  std::optional<Bitmap> result;
  bool called = false;
  HTMLRenderQueue::shared().addWork(work, HTMLRenderer::BitmapCallback([&](std::optional<Bitmap> b) {
    result = std::move(b);
    called = true;
  }));
  EXPECT_TRUE(RunLoop::runUntil([&] { return called; }, 60));
  return result;
}

std::shared_ptr<HTMLRenderer::Work> work(const std::string& html, double w, double h) {
  auto work = std::make_shared<HTMLRenderer::Work>();
  work->string = HTMLRenderer::Source{html, {}};
  work->size = HTMLRenderer::Size{w, h};
  return work;
}

TEST(RenderQueue, EveryFormatIsWrittenFromRealHTML) {
  nlohmann::json request = {
      {"inputs", {{"1x", {{{"html", page}, {"svg", "<svg>as sent</svg>"}, {"width", 120}, {"height", 80}}}}}},
      {"images", nlohmann::json::array()},
      {"fonts", nlohmann::json::array()},
      {"outputs", nlohmann::json::array()}};
  for (auto type : {"png", "jpg", "webp", "pdf", "svg", "html"})
    request["outputs"].push_back({{"name", std::string("frame.") + type}, {"type", type}, {"keyPath", {{"scale", "1x"}, {"index", 0}}}});
  auto person = std::make_shared<Folder>();
  bool complete = false;
  OstrelExporter::create(testenv::freshFolder(), HTMLRenderQueue::shared())
      ->exportDescriptor(*OstrelExportsDescriptor::decode(request), person, [&](bool ok) { complete = ok; });
  ASSERT_TRUE(RunLoop::runUntil([&] { return complete; }, 90));
  EXPECT_EQ(person->reports.back(), (OstrelExporterDelegate::ExportProgress{7, 7}));

  const auto& out = person->folder;
  for (auto name : {"frame.png", "frame.jpg", "frame.webp"}) {
    auto file = fs::readFile(out / name);
    ASSERT_TRUE(file) << name;
    auto bitmap = std::string(name) == "frame.webp" ? WebP::decode(*file) : ImageEncoding::decode(*file);
    ASSERT_TRUE(bitmap) << name;
    EXPECT_EQ(bitmap->width, 120) << name;
    EXPECT_EQ(bitmap->height, 80) << name;
    EXPECT_TRUE(near(bitmap->pixel(10, 70), 255, 0, 0)) << name;
    EXPECT_TRUE(near(bitmap->pixel(100, 40), 0, 0, 255)) << name;
  }
  EXPECT_EQ(*fs::readText(out / "frame.svg"), "<svg>as sent</svg>");
  EXPECT_EQ(*fs::readText(out / "frame.html"), page);

  std::string info, text;
  ASSERT_EQ(testenv::run("pdfinfo '" + (out / "frame.pdf").string() + "'", &info), 0);
  EXPECT_NE(info.find("120 x 80 pts"), std::string::npos) << info;
  EXPECT_NE(info.find("Pages:           1"), std::string::npos) << info;
  ASSERT_EQ(testenv::run("pdftotext '" + (out / "frame.pdf").string() + "' -", &text), 0);
  EXPECT_NE(text.find("Hello export"), std::string::npos) << text;
}

std::optional<Data> renderPDF(std::shared_ptr<HTMLRenderer::Work> work) {
  std::optional<Data> result;
  bool called = false;
  HTMLRenderQueue::shared().addWork(work, HTMLRenderer::PDFCallback([&](std::optional<Data> pdf) {
    result = std::move(pdf);
    called = true;
  }));
  EXPECT_TRUE(RunLoop::runUntil([&] { return called; }, 60));
  return result;
}

// A PDF page is the frame's size in points, one point per pixel, and the frame lays out at its
// own width and fills the page: read back at 72 dpi, the page is the frame's picture.
TEST(RenderQueue, APDFPageIsTheFramesSizeInPoints) {
  const char* frame =
      "<html><body style=\"margin:0\"><div style=\"display:flex;width:300px;height:200px\">"
      "<div style=\"flex:1;background:#ff0000\"></div><div style=\"flex:1;background:#0000ff\"></div></div>"
      "<div style=\"position:absolute;left:0;right:0;top:0;height:10px;background:#00ff00\"></div>"
      "<div style=\"position:absolute;left:0;top:150px;width:60px;height:50px;background:#00ff00\"></div></body></html>";
  auto folder = testenv::freshFolder("pdf");
  auto pdf = folder / "frame.pdf";
  std::optional<bool> written;
  OstrelExporter::create(testenv::freshFolder(), HTMLRenderQueue::shared())
      ->exportFile(ExportFileDescriptor{frame, std::nullopt, 300, 200, ExportFileDescriptor::Type::pdf, "frame.pdf"}, pdf,
                   [&](bool ok) { written = ok; });
  ASSERT_TRUE(RunLoop::runUntil([&] { return written.has_value(); }, 90));
  ASSERT_TRUE(*written);
  std::string info;
  ASSERT_EQ(testenv::run("pdfinfo '" + pdf.string() + "'", &info), 0);
  EXPECT_NE(info.find("300 x 200 pts"), std::string::npos) << info;
  EXPECT_NE(info.find("Pages:           1\n"), std::string::npos) << info;

  auto picture = folder / "page";
  ASSERT_EQ(testenv::run("pdftoppm -r 72 -singlefile -png '" + pdf.string() + "' '" + picture.string() + "'"), 0);
  auto file = fs::readFile(picture.string() + ".png");
  ASSERT_TRUE(file);
  auto bitmap = ImageEncoding::decode(*file);
  ASSERT_TRUE(bitmap);
  ASSERT_EQ(bitmap->width, 300);
  ASSERT_EQ(bitmap->height, 200);
  struct Spot {
    int x, y, r, g, b;
  } spots[] = {{5, 5, 0, 255, 0},      {295, 5, 0, 255, 0},     {145, 100, 255, 0, 0}, {155, 100, 0, 0, 255},
               {295, 195, 0, 0, 255}, {30, 175, 0, 255, 0},  {55, 195, 0, 255, 0},  {65, 175, 255, 0, 0}};
  for (const auto& s : spots) EXPECT_TRUE(near(bitmap->pixel(s.x, s.y), s.r, s.g, s.b)) << s.x << "," << s.y;
}

// What a poppler tool says about a file, its complaints included.
std::string poppler(const std::string& command, const stdfs::path& file, const std::string& after = "") {
  std::string output;
  EXPECT_EQ(testenv::run(command + " '" + file.string() + "' " + after + " 2>&1", &output), 0) << command << "\n" << output;
  return output;
}

// A picture of four coloured quarters, as a data address.
std::string quartersPNG(int side) {
  auto bitmap = *Bitmap::make(side, side);
  const std::uint8_t colours[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) {
      const std::uint8_t* c = colours[(y < side / 2 ? 0 : 2) + (x < side / 2 ? 0 : 1)];
      std::uint8_t* p = &bitmap.rgba[(static_cast<std::size_t>(y) * side + x) * 4];
      p[0] = c[0], p[1] = c[1], p[2] = c[2], p[3] = 255;
    }
  return "data:image/png;base64," + crypto::base64Encode(ImageEncoding::png(bitmap));
}

// A PDF page is the picture the PNG export shows, whatever the page does outside the frame:
// content below and beside it, lines, pictures and positioned boxes across its lower edge, sizes
// in viewport units, boxes held to the view's bottom, the body's background on the canvas,
// gradients and repeated pictures, which the printer draws as patterns. One page of the frame's
// size, read back at 72 dpi, against the PNG of the same work.
TEST(RenderQueue, APDFPageIsWhatThePNGShows) {
  const std::string picture = "data:image/svg+xml,%3Csvg xmlns='http://www.w3.org/2000/svg' width='10' height='10'%3E"
                              "%3Crect width='10' height='10' fill='%23ff00ff'/%3E%3C/svg%3E";
  const std::string box = "<div style=\"position:absolute;";
  struct Case {
    const char* name;
    int width, height;
    std::string html;
  } cases[] = {
      {"content below and beside the frame", 300, 200,
       "<html><body style=\"margin:0;background:#ffffff\"><div style=\"height:150px;background:#ff0000\"></div>"
       "<img style=\"display:block\" width=\"100\" height=\"100\" src=\"" + picture + "\">"
       "<div style=\"font:40px/40px sans-serif;background:#00ff00\">Hg Hg</div>"
       "<div style=\"width:600px;height:500px;background:#0000ff\"></div>"
       "<p style=\"position:absolute;left:150px;top:170px;margin:0;font:40px/40px sans-serif\">Hg</p>"
       "<div style=\"position:absolute;left:250px;top:100px;width:50px;height:400px;background:#ffff00\"></div></body></html>"},
      {"sizes in viewport units, at a size of odd pixels", 301, 203,
       "<!DOCTYPE html><html><body style=\"margin:0;height:100%;background:#ffff00\">"
       "<div style=\"width:50vw;height:50vh;background:#ff0000\"></div><div style=\"width:100vw;height:20vh;"
       "background:#0000ff\"></div><div style=\"position:absolute;right:0;bottom:0;width:10vw;height:50%;"
       "background:#00ff00\"></div><div style=\"position:fixed;left:0;bottom:0;width:20vw;height:10vh;"
       "background:#00ffff\"></div></body></html>"},
      {"gradients and a repeated picture", 300, 200,
       "<html><body style=\"margin:0;background:#ffffff\">" + box +
           "left:0;top:0;width:300px;height:60px;background:linear-gradient(90deg,#ff0000 50%,#0000ff 50%)\"></div>" + box +
           "left:0;top:60px;width:200px;height:60px;background:linear-gradient(90deg,#ff0000 0,#ff0000 100px,#00ff00 100px,"
           "#0000ff)\"></div>" + box +
           "left:200px;top:60px;width:100px;height:140px;background:radial-gradient(circle at 50px 70px,#ff00ff 0,#ff00ff 30px,"
           "#00ffff 30px,#000000 60px)\"></div>" + box +
           "left:0;top:120px;width:200px;height:80px;background:url('" + quartersPNG(20) + "') repeat 5px 3px\"></div>"
           "</body></html>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto png = render(work(c.html, c.width, c.height));
    ASSERT_TRUE(png);
    auto pdf = renderPDF(work(c.html, c.width, c.height));
    ASSERT_TRUE(pdf);
    auto folder = testenv::freshFolder("pdf");
    ASSERT_TRUE(fs::writeAtomically(folder / "frame.pdf", *pdf));
    std::string info = poppler("pdfinfo", folder / "frame.pdf");
    EXPECT_NE(info.find("Pages:           1\n"), std::string::npos) << info;
    std::string size = std::to_string(c.width) + " x " + std::to_string(c.height) + " pts";
    EXPECT_NE(info.find("Page size:       " + size), std::string::npos) << info;
    EXPECT_EQ(poppler("pdftoppm -r 72 -singlefile -png", folder / "frame.pdf", "'" + (folder / "page").string() + "'"), "");
    auto file = fs::readFile(folder / "page.png");
    ASSERT_TRUE(file);
    auto page = ImageEncoding::decode(*file);
    ASSERT_TRUE(page);
    ASSERT_EQ(page->width, c.width);
    ASSERT_EQ(page->height, c.height);
    // The picture's pixels, over the white paper, against the page's. Edges may fall a pixel
    // apart or blend the colours either side of them: a page's pixel differs when one of its
    // channels lies outside those of the picture's pixels around it.
    auto over = [&](int x, int y, int channel) {
      const std::uint8_t* p = png->pixel(std::clamp(x, 0, c.width - 1), std::clamp(y, 0, c.height - 1));
      return (p[channel] * p[3] + 255 * (255 - p[3])) / 255;
    };
    int differ = 0;
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < c.width; ++x) {
        bool inside = true;
        for (int channel = 0; channel < 3; ++channel) {
          int low = 255, high = 0;
          for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
              low = std::min(low, over(x + dx, y + dy, channel));
              high = std::max(high, over(x + dx, y + dy, channel));
            }
          int v = page->pixel(x, y)[channel];
          inside = inside && v >= low - 64 && v <= high + 64;
        }
        if (!inside) ++differ;
      }
    EXPECT_LT(differ, c.width) << "pixels that differ of " << c.width * c.height;
  }
}

// The printer would embed the page's font whole; exported frames carry only the glyphs they draw,
// as text, with gradients kept as gradients.
TEST(RenderQueue, PDFExportsEmbedFontSubsetsAndKeepTextAndGradients) {
  const stdfs::path fontFile = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  auto font = fs::readFile(fontFile);
  ASSERT_TRUE(font) << fontFile;  // the baseline: the face the frames are set in
  auto folder = testenv::freshFolder("frames");
  Bitmap picture = *Bitmap::make(240, 160);
  for (int y = 0; y < picture.height; ++y)
    for (int x = 0; x < picture.width; ++x) {
      auto* p = &picture.rgba[(static_cast<std::size_t>(y) * picture.width + x) * 4];
      p[0] = static_cast<std::uint8_t>(x), p[1] = static_cast<std::uint8_t>(y), p[2] = 128, p[3] = 255;
    }
  ASSERT_TRUE(fs::writeAtomically(folder / "picture.png", ImageEncoding::png(picture)));
  struct Case {
    const char* name;
    const char* body;
    const char* text;  // what pdftotext must find
    bool images;  // whether the frame may hold images at all
  } cases[] = {
      {"text", "<h1>Quarterly numbers</h1><p>Revenue grew in every region but one.</p>",
       "Revenue grew in every region but one.", false},
      {"gradient", "<div style=\"width:400px;height:200px;background:linear-gradient(90deg,#f00,#00f)\">Sunset band</div>",
       "Sunset band", false},
      {"shadow", "<div style=\"margin:30px;width:200px;height:120px;border-radius:12px;box-shadow:0 6px 18px #0006\">"
                 "Raised card</div>", "Raised card", true},
      {"image", "<img src=\"picture.png\" width=\"240\" height=\"160\"><p>Picture caption</p>", "Picture caption", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto page = work(std::string("<html><body style=\"margin:0;font:16px 'DejaVu Sans'\">") + c.body + "</body></html>",
                     640, 480);
    page->string->folder = folder;
    auto pdf = renderPDF(page);
    ASSERT_TRUE(pdf);
    EXPECT_LT(pdf->size(), font->size() / 8) << pdf->size() << " bytes";
    auto file = folder / (std::string(c.name) + ".pdf");
    ASSERT_TRUE(fs::writeAtomically(file, *pdf));
    std::string fonts = poppler("pdffonts", file);
    EXPECT_NE(fonts.find("DejaVuSans"), std::string::npos) << fonts;
    EXPECT_NE(fonts.find("yes yes"), std::string::npos) << "embedded as a subset\n" << fonts;
    std::string text = poppler("pdftotext", file, "-");
    EXPECT_NE(text.find(c.text), std::string::npos) << text;
    std::string images = poppler("pdfimages -list", file);
    if (!c.images) {
      EXPECT_EQ(std::count(images.begin(), images.end(), '\n'), 2) << "no picture of it\n" << images;
    }
    EXPECT_EQ(poppler("pdftoppm -r 20 -png", file, "'" + (folder / c.name).string() + "'"), "") << "read without complaint";
  }
}

TEST(RenderQueue, LargePagesAreCapturedInTiles) {
  auto bitmap = render(work("<body style=\"margin:0\"><div style=\"width:4200px;height:30px;background:#00ff00\"></div>"
                            "<div style=\"position:absolute;left:4200px;top:0;width:800px;height:30px;background:#0000ff\">"
                            "</div></body>",
                            5000, 30));
  ASSERT_TRUE(bitmap);
  EXPECT_EQ(bitmap->width, 5000);
  EXPECT_EQ(bitmap->height, 30);
  for (int x : {0, 2000, 4095, 4096, 4199}) EXPECT_TRUE(near(bitmap->pixel(x, 15), 0, 255, 0)) << x;
  for (int x : {4200, 4600, 4999}) EXPECT_TRUE(near(bitmap->pixel(x, 15), 0, 0, 255)) << x;
}

// A page wider than any one tile lays out once, at its size: the halves split at the middle and
// the right edge is painted, not repeated or left transparent. A page large enough that its web
// process ends before its pixels are taken (2100 × 2100) keeps them, and the pages after it are
// drawn by a fresh one.
TEST(RenderQueue, PagesLayOutAtTheirWholeSize) {
  struct Case {
    int width, height;
    bool row;
  } cases[] = {{2100, 2100, true}, {5000, 40, true}, {40, 5000, false}, {2100, 2100, false}, {4097, 10, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
    auto bitmap = render(work(std::string("<body style=\"margin:0;overflow:hidden\"><div style=\"display:flex;flex-direction:") +
                                  (c.row ? "row" : "column") + ";width:100vw;height:100vh\"><div style=\"flex:1;background:#ff0000\">"
                                  "</div><div style=\"flex:1;background:#0000ff\"></div></div></body>",
                              c.width, c.height));
    ASSERT_TRUE(bitmap);
    ASSERT_EQ(bitmap->width, c.width);
    ASSERT_EQ(bitmap->height, c.height);
    int length = c.row ? c.width : c.height, middle = length / 2;
    auto at = [&](int along) { return c.row ? bitmap->pixel(along, c.height / 2) : bitmap->pixel(c.width / 2, along); };
    for (int along : {0, middle - 1}) EXPECT_TRUE(near(at(along), 255, 0, 0)) << along;
    for (int along : {middle + 1, std::min(length - 1, 4096), length - 1}) {
      EXPECT_TRUE(near(at(along), 0, 0, 255)) << along;
      EXPECT_EQ(at(along)[3], 255) << along;
    }
  }
}

TEST(RenderQueue, ScriptDialogsAndPrintRequestsAreAnsweredWithoutShowingAnything) {
  struct Case {
    const char* script;
  } cases[] = {
      {"alert('hello')"},
      {"if (confirm('go on?')) throw 'confirmed'"},
      {"if (prompt('name?', 'x') !== null) throw 'answered'"},
      {"window.print()"},
      {"window.onbeforeunload = () => 'stay'; alert(1); confirm(2); print()"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    auto page = work(std::string("<body style=\"margin:0;background:#ff0000\"><script>") + c.script +
                         "; document.body.style.background = '#00ff00'</script></body>",
                     20, 20);
    page->deadline = 20;  // a dialog left open would hold the page until then, and give nothing
    auto bitmap = render(page);
    ASSERT_TRUE(bitmap);
    EXPECT_TRUE(near(bitmap->pixel(10, 10), 0, 255, 0));
  }
  // No dialog window was opened on the way.
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w; w = w->next) EXPECT_FALSE(GTK_IS_DIALOG(w->data)) << G_OBJECT_TYPE_NAME(w->data);
  g_list_free(windows);
}

void writePNG(const stdfs::path& file, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  auto bitmap = *Bitmap::make(20, 20);
  for (std::size_t i = 0; i < bitmap.rgba.size(); i += 4) {
    bitmap.rgba[i] = r;
    bitmap.rgba[i + 1] = g;
    bitmap.rgba[i + 2] = b;
    bitmap.rgba[i + 3] = 255;
  }
  ASSERT_TRUE(fs::createDirectories(file.parent_path()));
  ASSERT_TRUE(fs::writeAtomically(file, ImageEncoding::png(bitmap)));
}

// Project folders whose names need escaping in an address, pages that reach for files
// elsewhere: only the project's own files appear.
TEST(RenderQueue, PagesReadOnlyTheirProjectsFiles) {
  auto outside = testenv::freshFolder("outside");
  writePNG(outside / "red.png", 255, 0, 0);
  for (const char* name : {"proj #1", "pct%41", "plain"}) {
    SCOPED_TRACE(name);
    auto project = testenv::freshFolder() / name;
    writePNG(project / "images/design/green.png", 0, 255, 0);
    stdfs::create_symlink(outside / "red.png", project / "images/design/link.png");
    std::string own = Url::fileURL(project / "images/design/green.png")->absoluteString();
    std::string stranger = Url::fileURL(outside / "red.png")->absoluteString();
    std::string cell = "style=\"position:absolute;top:0;width:20px;height:20px;left:";
    auto page = std::make_shared<HTMLRenderer::Work>();
    page->string = HTMLRenderer::Source{
        "<body style=\"margin:0\">"
        "<img " + cell + "0\" src=\"images/design/green.png\">"
        "<img " + cell + "20px\" src=\"" + own + "\">"
        "<img " + cell + "40px\" src=\"" + stranger + "\">"
        "<img " + cell + "60px\" src=\"images/design/link.png\">"
        "<div " + cell + "80px;background:url('" + stranger + "')\"></div>"
        "<img " + cell + "100px\" src=\"../../" + outside.filename().string() + "/red.png\">"
        "</body>",
        project};
    page->size = HTMLRenderer::Size{120, 20};
    auto bitmap = render(page);
    ASSERT_TRUE(bitmap);
    EXPECT_TRUE(near(bitmap->pixel(10, 10), 0, 255, 0)) << "relative reference";
    EXPECT_TRUE(near(bitmap->pixel(30, 10), 0, 255, 0)) << "the project's own file address";
    // What is refused shows as a missing image, never as the file's red.
    for (int x : {50, 70, 90, 110})
      for (int y : {5, 10, 15}) EXPECT_FALSE(near(bitmap->pixel(x, y), 255, 0, 0, 60)) << "a file outside the project at " << x;
  }
}

// A page's pictures are served beside it, each to that page only: two pages rendered together
// name the same address and each draws its own; a page named no picture gets none.
TEST(RenderQueue, APagesPicturesAreServedToItAlone) {
  auto picture = [](int r, int g, int b) {
    return std::make_shared<const PictureStore::Picture>(
        PictureStore::Picture{ImageEncoding::png(testenv::solidBitmap(8, 8, r, g, b)), "image/png", {}, false});
  };
  const std::string html = "<body style=\"margin:0\"><img style=\"display:block;width:20px;height:20px\" src=\"" +
                           HTMLRenderer::servedAddress(0) + "\"></body>";
  struct Case {
    const char* what;
    std::vector<std::shared_ptr<const PictureStore::Picture>> pictures;
    std::optional<std::array<int, 3>> drawn;
  } cases[] = {
      {"green", {picture(0, 255, 0)}, std::array<int, 3>{0, 255, 0}},
      {"blue", {picture(0, 0, 255)}, std::array<int, 3>{0, 0, 255}},
      {"none", {}, std::nullopt},
  };
  std::vector<std::optional<Bitmap>> results(std::size(cases));
  int called = 0;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    auto page = work(html, 20, 20);
    page->string->pictures = cases[i].pictures;
    HTMLRenderQueue::shared().addWork(page, HTMLRenderer::BitmapCallback([&, i](std::optional<Bitmap> b) {
      results[i] = std::move(b);
      ++called;
    }));
  }
  ASSERT_TRUE(RunLoop::runUntil([&] { return called == int(std::size(cases)); }, 60));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].what);
    ASSERT_TRUE(results[i]);
    const std::uint8_t* p = results[i]->pixel(10, 10);
    if (cases[i].drawn) EXPECT_TRUE(near(p, (*cases[i].drawn)[0], (*cases[i].drawn)[1], (*cases[i].drawn)[2]) && p[3] == 255);
    else EXPECT_FALSE(p[3] == 255 && (near(p, 0, 255, 0) || near(p, 0, 0, 255)));
  }
}

TEST(RenderQueue, ExportsOfProjectsWithEscapedNamesKeepTheirImages) {
  auto project = testenv::freshFolder() / "proj #1 100%";
  writePNG(project / "images/design/green.png", 0, 255, 0);
  nlohmann::json request = {
      {"inputs", {{"1x", {{{"html", "<body style=\"margin:0\"><img src=\"images/design/green.png\"></body>"},
                           {"width", 20}, {"height", 20}}}}}},
      {"images", nlohmann::json::array()},
      {"fonts", nlohmann::json::array()},
      {"outputs", {{{"name", "frames/frame.png"}, {"type", "png"}, {"keyPath", {{"scale", "1x"}, {"index", 0}}}}}}};
  auto person = std::make_shared<Folder>();
  bool complete = false;
  OstrelExporter::create(project, HTMLRenderQueue::shared())
      ->exportDescriptor(*OstrelExportsDescriptor::decode(request), person, [&](bool ok) { complete = ok; });
  ASSERT_TRUE(RunLoop::runUntil([&] { return complete; }, 90));
  auto file = fs::readFile(person->folder / "frames/frame.png");
  ASSERT_TRUE(file);
  auto bitmap = ImageEncoding::decode(*file);
  ASSERT_TRUE(bitmap);
  EXPECT_TRUE(near(bitmap->pixel(10, 10), 0, 255, 0));
}

TEST(RenderQueue, DesignHTMLCannotTakeTheWorkerElsewhere) {
  auto bitmap = render(work("<body style=\"background:#00ff00\"><script>location.href = 'data:text/html,"
                            "<body style=background:red>'; window.open('about:blank')</script></body>",
                            40, 40));
  ASSERT_TRUE(bitmap);
  EXPECT_TRUE(near(bitmap->pixel(20, 20), 0, 255, 0));
}

TEST(RenderQueue, RefusedSizesAndHungPagesCallBackWithNothing) {
  for (auto size : std::vector<std::pair<double, double>>{{0, 10}, {10, -3}, {100000, 100000}, {40000, 10}, {10, 40000}})
    EXPECT_FALSE(render(work("<p>x</p>", size.first, size.second))) << size.first;

  // A server that takes the connection and never answers keeps the page loading.
  int server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(server, 8), 0);
  socklen_t length = sizeof address;
  getsockname(server, reinterpret_cast<sockaddr*>(&address), &length);
  auto hung = work("<img src=\"http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/never\">", 20, 20);
  hung->deadline = 2;
  EXPECT_FALSE(render(hung));
  close(server);
  // The worker serves the next page.
  auto next = render(work("<body style=\"background:#0000ff\"></body>", 20, 20));
  ASSERT_TRUE(next);
  EXPECT_TRUE(near(next->pixel(10, 10), 0, 0, 255));
}

// The blank page empties a worker between works; asked for, it is a page like any other.
TEST(RenderQueue, TheBlankPageAskedForIsRendered) {
  for (int i = 0; i < 3; ++i) {
    auto blank = std::make_shared<HTMLRenderer::Work>();
    blank->url = "about:blank";
    blank->size = HTMLRenderer::Size{10, 10};
    blank->deadline = 10;  // past it the work would end with nothing
    auto bitmap = render(blank);
    ASSERT_TRUE(bitmap) << i;
    EXPECT_EQ(bitmap->width, 10);
  }
}

TEST(RenderQueue, AtMostFiveWorkersAndTheRestWaitInOrder) {
  std::vector<int> order;
  for (int i = 0; i < 7; ++i)
    HTMLRenderQueue::shared().addWork(work("<p>" + std::to_string(i) + "</p>", 10, 10),
                                      HTMLRenderer::BitmapCallback([&order, i](std::optional<Bitmap> b) {
                                        order.push_back(b ? i : -1);
                                      }));
  EXPECT_EQ(HTMLRenderQueue::shared().workers(), 5);
  EXPECT_EQ(HTMLRenderQueue::shared().waiting(), 2u);
  ASSERT_TRUE(RunLoop::runUntil([&] { return order.size() == 7; }, 90));
  EXPECT_EQ(std::count(order.begin(), order.end(), -1), 0);
}

// The pages rendered at once hold their pictures within one bound: a page whose pictures take
// more renders alone, and work after one that does not fit waits its turn, workers free or not.
TEST(RenderQueue, PagesRenderTogetherWithinOneBoundOfPictures) {
  const std::size_t bound = HTMLRenderQueue::maximumRenderBytes;
  const std::size_t bytes[] = {bound / 2 + 1, bound / 2 + 1, bound + 1, 1};
  std::vector<int> order;
  for (int i = 0; i < 4; ++i) {
    auto page = work("<p>" + std::to_string(i) + "</p>", 10, 10);
    page->pictureBytes = bytes[i];
    HTMLRenderQueue::shared().addWork(page, HTMLRenderer::BitmapCallback([&order, i](std::optional<Bitmap> b) {
                                        order.push_back(b ? i : -1);
                                      }));
  }
  EXPECT_EQ(HTMLRenderQueue::shared().waiting(), 3u);
  ASSERT_TRUE(RunLoop::runUntil([&] { return order.size() == 4; }, 90));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(HTMLRenderQueue::shared().waiting(), 0u);
}

// What a render handed on and is still being worked with (a bitmap being encoded) counts against
// the same bound until its hold is let go: work that would pass the bound waits for it.
TEST(RenderQueue, AHoldCountsAgainstTheBoundUntilLetGo) {
  const std::size_t bound = HTMLRenderQueue::maximumRenderBytes;
  struct Case {
    std::size_t held, pictures;
    bool waits;
  } cases[] = {{bound, 1, true}, {bound / 2, bound / 2 + 1, true}, {std::size_t(1) << 20, 1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.held) + " held, " + std::to_string(c.pictures) + " asked");
    auto held = HTMLRenderQueue::shared().hold(c.held);
    auto page = work("<p>page</p>", 10, 10);
    page->pictureBytes = c.pictures;
    bool called = false, drawn = false;
    HTMLRenderQueue::shared().addWork(page, HTMLRenderer::BitmapCallback([&](std::optional<Bitmap> b) {
      called = true;
      drawn = b.has_value();
    }));
    EXPECT_EQ(HTMLRenderQueue::shared().waiting(), c.waits ? 1u : 0u);
    held.reset();
    ASSERT_TRUE(RunLoop::runUntil([&] { return called; }, 60));
    EXPECT_TRUE(drawn);
  }
  EXPECT_EQ(HTMLRenderQueue::shared().waiting(), 0u);
}

TEST(KorvelViewSnapshotter, RunsItsScriptBeforeTheCallersAndRefusesNonURLs) {
  for (const char* bad : {"", "not a url"}) {
    bool called = false;
    KorvelViewSnapshotter::takeSnapshot(bad, {10, 10}, std::nullopt, [&](std::optional<Bitmap> b) {
      EXPECT_FALSE(b);
      called = true;
    }, HTMLRenderQueue::shared());
    EXPECT_TRUE(called) << bad;  // at once
  }
  // The caller's script paints the page only if the fixed script ran without throwing first.
  auto folder = testenv::freshFolder();
  ASSERT_TRUE(fs::writeAtomically(folder / "page.html", std::string_view(
      "<script>window.Korvel = {Extras: {Preloader: {setLogo() {}, disable() { document.title = 'quiet' }}}}</script>"
      "<body style='margin:0;background:#ff0000'></body>")));
  std::optional<Bitmap> result;
  bool called = false;
  KorvelViewSnapshotter::takeSnapshot(Url::fileURL(folder / "page.html")->absoluteString(), {30, 20},
                                      "if (document.title === 'quiet' && KorvelStudioInfo) document.body.style.background = '#0000ff';",
                                      [&](std::optional<Bitmap> b) {
                                        result = std::move(b);
                                        called = true;
                                      }, HTMLRenderQueue::shared());
  ASSERT_TRUE(RunLoop::runUntil([&] { return called; }, 60));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->width, 30);
  EXPECT_TRUE(near(result->pixel(15, 10), 0, 0, 255));
}

}  // namespace
