#include "platform/ImageData.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <webp/decode.h>

#include <algorithm>
#include <cstring>

#include "platform/GObjectPtr.h"

namespace ImageData {

namespace {

bool startsWith(const Data& d, std::string_view magic) {
  return d.size() >= magic.size() && std::memcmp(d.data(), magic.data(), magic.size()) == 0;
}

}  // namespace

bool isWebP(const Data& bytes) {
  return bytes.size() >= 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0 && std::memcmp(bytes.data() + 8, "WEBP", 4) == 0;
}

bool isPDF(const Data& bytes) { return startsWith(bytes, "%PDF-"); }

bool isPostScript(const Data& bytes) { return startsWith(bytes, "%!PS") || startsWith(bytes, "\xC5\xD0\xD3\xC6"); }

std::optional<PixelSize> bitmapSize(const Data& bytes) {
  if (bytes.empty()) return std::nullopt;
  if (isWebP(bytes)) {
    int width = 0, height = 0;
    if (!WebPGetInfo(bytes.data(), bytes.size(), &width, &height) || width <= 0 || height <= 0) return std::nullopt;
    return PixelSize{width, height};
  }
  GObjectPtr<GdkPixbufLoader> loader(gdk_pixbuf_loader_new());
  std::optional<PixelSize> size;
  auto prepared = +[](GdkPixbufLoader*, int w, int h, gpointer data) {
    *static_cast<std::optional<PixelSize>*>(data) = PixelSize{w, h};
  };
  g_signal_connect(loader.get(), "size-prepared", G_CALLBACK(prepared), &size);
  // The header is enough: feed the bytes until the decoder knows the size, then stop.
  constexpr std::size_t chunk = 64 * 1024;
  for (std::size_t at = 0; at < bytes.size() && !size; at += chunk) {
    std::size_t length = std::min(chunk, bytes.size() - at);
    if (!gdk_pixbuf_loader_write(loader.get(), bytes.data() + at, length, nullptr)) break;
  }
  gdk_pixbuf_loader_close(loader.get(), nullptr);  // a decode stopped early ends in an error
  if (size && (size->width <= 0 || size->height <= 0)) return std::nullopt;
  return size;
}

Result<Data> storableImage(const Data& bytes) {
  if (isPDF(bytes)) return rasterisePDF(bytes);
  if (isPostScript(bytes)) return rasterisePostScript(bytes);
  if (!bitmapSize(bytes)) return fail(ErrorDomain, notAnImage, "The data is not an image");
  return bytes;
}

}  // namespace ImageData
