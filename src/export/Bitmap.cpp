#include "export/Bitmap.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/GObjectPtr.h"
#include "platform/ImageData.h"
#include "platform/QuickPng.h"

std::optional<Bitmap> Bitmap::make(int width, int height) {
  if (width <= 0 || height <= 0) return std::nullopt;
  Bitmap b;
  b.width = width;
  b.height = height;
  b.rgba.assign(byteCount(width, height), 0);
  return b;
}

std::optional<Bitmap> Bitmap::fromPremultipliedARGB(const std::uint8_t* pixels, int width, int height, int stride) {
  if (!pixels || stride < width * 4) return std::nullopt;
  auto b = make(width, height);
  if (!b) return std::nullopt;
  for (int y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(pixels + static_cast<std::size_t>(y) * stride);
    std::uint8_t* out = b->rgba.data() + static_cast<std::size_t>(y) * width * 4;
    for (int x = 0; x < width; ++x) {
      std::uint32_t argb = row[x];
      unsigned a = argb >> 24, r = (argb >> 16) & 0xFF, g = (argb >> 8) & 0xFF, bl = argb & 0xFF;
      if (a != 0 && a != 255) {
        r = (r * 255 + a / 2) / a;
        g = (g * 255 + a / 2) / a;
        bl = (bl * 255 + a / 2) / a;
      }
      out[x * 4 + 0] = static_cast<std::uint8_t>(r > 255 ? 255 : r);
      out[x * 4 + 1] = static_cast<std::uint8_t>(g > 255 ? 255 : g);
      out[x * 4 + 2] = static_cast<std::uint8_t>(bl > 255 ? 255 : bl);
      out[x * 4 + 3] = static_cast<std::uint8_t>(a);
    }
  }
  return b;
}

namespace {

struct PixbufHolder {
  GdkPixbuf* p = nullptr;
  ~PixbufHolder() {
    if (p) g_object_unref(p);
  }
};

Data save(const Bitmap& bitmap, const char* type, const char* key, const char* value) {
  if (bitmap.width <= 0 || bitmap.height <= 0 || bitmap.rgba.size() != Bitmap::byteCount(bitmap.width, bitmap.height))
    return {};
  PixbufHolder pixbuf{gdk_pixbuf_new_from_data(bitmap.rgba.data(), GDK_COLORSPACE_RGB, TRUE, 8, bitmap.width,
                                               bitmap.height, bitmap.width * 4, nullptr, nullptr)};
  PixbufHolder flat;
  GdkPixbuf* source = pixbuf.p;
  if (std::strcmp(type, "jpeg") == 0) {
    // JPEG has no alpha: composite onto white like a page background.
    flat.p = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, bitmap.width, bitmap.height);
    if (!flat.p) return {};
    gdk_pixbuf_fill(flat.p, 0xFFFFFFFF);
    gdk_pixbuf_composite(pixbuf.p, flat.p, 0, 0, bitmap.width, bitmap.height, 0, 0, 1, 1, GDK_INTERP_NEAREST, 255);
    source = flat.p;
  }
  gchar* buffer = nullptr;
  gsize size = 0;
  GError* error = nullptr;
  gboolean ok = key ? gdk_pixbuf_save_to_buffer(source, &buffer, &size, type, &error, key, value, nullptr)
                    : gdk_pixbuf_save_to_buffer(source, &buffer, &size, type, &error, nullptr);
  if (error) g_error_free(error);
  if (!ok) return {};
  Data out(reinterpret_cast<std::uint8_t*>(buffer), reinterpret_cast<std::uint8_t*>(buffer) + size);
  g_free(buffer);
  return out;
}

}  // namespace

namespace ImageEncoding {

Data png(const Bitmap& bitmap) {
  // A large picture (a page of a large frame) is deflated on every core, at the usual level.
  if (double(bitmap.width) * bitmap.height >= QuickPng::worthwhilePixels &&
      bitmap.rgba.size() == Bitmap::byteCount(bitmap.width, bitmap.height)) {
    GObjectPtr<GdkPixbuf> wrapped(gdk_pixbuf_new_from_data(bitmap.rgba.data(), GDK_COLORSPACE_RGB, TRUE, 8, bitmap.width,
                                                           bitmap.height, bitmap.width * 4, nullptr, nullptr));
    if (!wrapped) return {};
    auto made = QuickPng::encode(std::move(wrapped), SIZE_MAX, 6);
    return made ? std::move(*made) : Data();
  }
  return save(bitmap, "png", nullptr, nullptr);
}

Data jpeg(const Bitmap& bitmap, std::optional<int> quality) {
  if (!quality) return save(bitmap, "jpeg", nullptr, nullptr);
  int q = *quality < 0 ? 0 : *quality > 100 ? 100 : *quality;
  return save(bitmap, "jpeg", "quality", std::to_string(q).c_str());
}

Data tiff(const Bitmap& bitmap) { return save(bitmap, "tiff", nullptr, nullptr); }

std::optional<Bitmap> decode(const Data& file) {
  // Bounded by the header before a pixel is decoded.
  auto decoded = ImageData::decodeBitmap(file);
  GdkPixbuf* pixbuf = decoded ? decoded->get() : nullptr;
  std::optional<Bitmap> out;
  if (pixbuf && gdk_pixbuf_get_bits_per_sample(pixbuf) == 8) {
    int w = gdk_pixbuf_get_width(pixbuf), h = gdk_pixbuf_get_height(pixbuf);
    int channels = gdk_pixbuf_get_n_channels(pixbuf), stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guint8* pixels = gdk_pixbuf_read_pixels(pixbuf);
    out = Bitmap::make(w, h);
    if (out) {
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const guint8* p = pixels + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * channels;
          std::uint8_t* o = out->rgba.data() + (static_cast<std::size_t>(y) * w + x) * 4;
          o[0] = p[0];
          o[1] = p[1];
          o[2] = p[2];
          o[3] = channels == 4 ? p[3] : 255;
        }
    }
  }
  return out;
}

}  // namespace ImageEncoding
