// Pictures hidden under opaque ones are left unpainted in a render, and the capture is the very
// one the whole pile paints.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "export/HTMLRenderQueue.h"
#include "platform/ImageData.h"
#include "platform/RunLoop.h"

namespace {

struct Display : ::testing::Environment {
  void SetUp() override { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)); }
};
const auto* display = ::testing::AddGlobalTestEnvironment(new Display);

// `missing`: an opaque picture at an address the page is served nothing at; `cutJpeg`: a JPEG
// handed as its file is, cut short, whose lower half the engine leaves undrawn.
enum class Kind { opaquePng, opaqueJpeg, halfClear, missing, cutJpeg };

Data saved(GdkPixbuf* pixbuf, const char* type) {
  gchar* buffer = nullptr;
  gsize length = 0;
  EXPECT_TRUE(gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &length, type, nullptr, nullptr));
  Data bytes(buffer, buffer + length);
  g_free(buffer);
  return bytes;
}

// A small picture of noise as the store makes it: opaque PNG or JPEG, or with every other pixel
// half clear. `marked` false gives the same pixels as a PNG with an alpha channel, which no
// header calls opaque.
std::shared_ptr<const PictureStore::Picture> noise(Kind kind, unsigned seed, bool marked) {
  bool alpha = kind == Kind::halfClear;
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, 16, 12);
  std::mt19937 random(seed);
  int channels = alpha ? 4 : 3;
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 16; ++x) {
      guchar* p = gdk_pixbuf_get_pixels(pixbuf) + y * gdk_pixbuf_get_rowstride(pixbuf) + x * channels;
      for (int c = 0; c < 3; ++c) p[c] = guchar(random());
      if (alpha) p[3] = (x + y) % 2 ? 128 : 255;
    }
  bool jpeg = kind == Kind::opaqueJpeg || kind == Kind::cutJpeg;
  Data bytes = saved(pixbuf, jpeg ? "jpeg" : "png");
  g_object_unref(pixbuf);
  if (kind == Kind::cutJpeg) {
    bytes.resize(bytes.size() - 60);
    return std::make_shared<const PictureStore::Picture>(PictureStore::Picture{std::move(bytes), "image/jpeg", {}, false});
  }
  if (marked) return std::make_shared<const PictureStore::Picture>(
      PictureStore::Picture{std::move(bytes), jpeg ? "image/jpeg" : "image/png", {}, true});
  auto decoded = ImageData::decodeBitmap(bytes);
  EXPECT_TRUE(decoded);
  GdkPixbuf* withAlpha = gdk_pixbuf_add_alpha(decoded->get(), FALSE, 0, 0, 0);
  bytes = saved(withAlpha, "png");
  g_object_unref(withAlpha);
  return std::make_shared<const PictureStore::Picture>(PictureStore::Picture{std::move(bytes), "image/png", {}, false});
}

struct Layer {
  Kind kind;
  double left, top, width, height;
  std::string style = "";
};

// The page's pictures, and the count the render left unpainted in whole or part in its
// bottom-right pixel (put there after, by the caller's script).
struct Rendered {
  std::optional<Bitmap> bitmap;
  int culled = -1;
};

Rendered render(const std::vector<Layer>& layers, bool marked) {
  constexpr int width = 400, height = 300;
  std::string html = "<!DOCTYPE html><html><body style=\"margin:0\"><div style=\"position:relative;width:400px;"
                     "height:300px;overflow:hidden;background:#fff\">";
  auto work = std::make_shared<HTMLRenderer::Work>();
  work->string = HTMLRenderer::Source{};
  for (std::size_t i = 0; i < layers.size(); ++i) {
    const auto& l = layers[i];
    work->string->pictures.push_back(noise(l.kind, unsigned(i + 1), marked));
    html += "<img alt=\"\" style=\"position:absolute;display:block;left:" + std::to_string(l.left) +
            "px;top:" + std::to_string(l.top) + "px;width:" + std::to_string(l.width) +
            "px;height:" + std::to_string(l.height) + "px;" + l.style + "\" src=\"" +
            HTMLRenderer::servedAddress(l.kind == Kind::missing ? layers.size() : i) + "\">";
  }
  work->string->html = html + "</div></body></html>";
  work->size = HTMLRenderer::Size{width, height};
  work->userScript =
      "(() => { const n = Array.from(document.images).filter(i => i.style.getPropertyValue('visibility') === 'hidden'"
      " || i.style.getPropertyValue('clip-path')).length; const d = document.createElement('div');"
      " d.style.cssText = 'position:absolute;left:399px;top:299px;width:1px;height:1px;background:rgb(' + n + ',0,0)';"
      " document.body.appendChild(d); })()";
  Rendered out;
  bool called = false;
  HTMLRenderQueue::shared().addWork(work, HTMLRenderer::BitmapCallback([&](std::optional<Bitmap> b) {
    out.bitmap = std::move(b);
    called = true;
  }));
  EXPECT_TRUE(RunLoop::runUntil([&] { return called; }, 60));
  if (out.bitmap) out.culled = out.bitmap->pixel(width - 1, height - 1)[0];
  return out;
}

// The pixels that differ between two captures, but for the count's.
int differing(const Bitmap& a, const Bitmap& b) {
  int count = 0;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x)
      if ((x != a.width - 1 || y != a.height - 1) && std::memcmp(a.pixel(x, y), b.pixel(x, y), 4) != 0) ++count;
  return count;
}

std::vector<Layer> grid(Kind kind, double step, const std::string& topStyle = "") {
  std::vector<Layer> layers;
  for (int i = 0; i < 6; ++i) layers.push_back({kind, step * (i % 3), step * (i / 3), 300, 220});
  layers.back().style = topStyle;
  return layers;
}

TEST(CoveredPictures, PicturesUnderOpaqueOnesAreLeftUnpaintedAndTheCaptureIsUnchanged) {
  std::vector<Layer> diagonal;
  for (int i = 0; i < 5; ++i) diagonal.push_back({Kind::opaquePng, 20.0 * i, 15.0 * i, 240, 180});
  std::vector<Layer> under = {{Kind::opaquePng, 50, 40, 100, 80}, {Kind::opaquePng, 10, 10, 300, 250}};
  struct Case {
    const char* what;
    std::vector<Layer> layers;
    bool culled;
  } cases[] = {
      {"a grid of opaque PNGs", grid(Kind::opaquePng, 30), true},
      {"a grid at fractional places", grid(Kind::opaquePng, 30.37), true},
      {"a grid of JPEGs", grid(Kind::opaqueJpeg, 30), true},
      {"a diagonal pile", diagonal, true},
      {"a small picture under a large one", under, true},
      {"half-clear pictures", grid(Kind::halfClear, 30), false},
      {"a top picture half transparent", {{Kind::opaquePng, 0, 0, 300, 220}, {Kind::opaquePng, 0, 0, 300, 220, "opacity:0.5"}}, false},
      {"a top picture turned", {{Kind::opaquePng, 0, 0, 300, 220}, {Kind::opaquePng, 0, 0, 300, 220, "transform:rotate(3deg)"}}, false},
      {"a top picture rounded", {{Kind::opaquePng, 0, 0, 300, 220}, {Kind::opaquePng, 0, 0, 300, 220, "border-radius:40px"}}, false},
      {"a top picture fitted inside its box", {{Kind::opaquePng, 0, 0, 300, 220}, {Kind::opaquePng, 0, 0, 300, 220, "object-fit:contain"}}, false},
      {"a lower picture shadowed", {{Kind::opaquePng, 20, 20, 200, 150, "box-shadow:0 0 30px 20px #f00"}, {Kind::opaquePng, 20, 20, 200, 150}}, false},
      {"a top JPEG cut short", {{Kind::opaquePng, 0, 0, 300, 220}, {Kind::cutJpeg, 0, 0, 300, 220}}, false},
      {"a top picture not served", {{Kind::opaquePng, 0, 0, 300, 220}, {Kind::missing, 0, 0, 300, 220}}, false},
      {"a lower picture placed above by its order", {{Kind::opaquePng, 20, 20, 200, 150, "z-index:2"}, {Kind::opaquePng, 0, 0, 300, 220}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto culled = render(c.layers, true);
    auto whole = render(c.layers, false);
    ASSERT_TRUE(culled.bitmap && whole.bitmap);
    EXPECT_EQ(whole.culled, 0);
    if (c.culled) EXPECT_GT(culled.culled, 0);
    else EXPECT_EQ(culled.culled, 0);
    EXPECT_EQ(differing(*culled.bitmap, *whole.bitmap), 0);
  }
}

}  // namespace
