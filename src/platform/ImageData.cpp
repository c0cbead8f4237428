#include "platform/ImageData.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <webp/decode.h>

#include <algorithm>
#include <climits>
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
  auto header = ImageHeader::read(bytes);
  if (!header || header->width > INT_MAX || header->height > INT_MAX) return std::nullopt;
  return PixelSize{int(header->width), int(header->height)};
}

Result<ImageHeader::Facts> checkedBitmap(const Data& bytes) {
  auto header = ImageHeader::read(bytes);
  if (!header) return fail(ErrorDomain, notAnImage, "The data is not a picture that can be read");
  if (header->decodedPixels() > maximumPixels) {
    std::string size = std::to_string(header->width) + " × " + std::to_string(header->height) + " pixels";
    if (header->frames > 1) size = std::to_string(header->frames) + " frames of " + size;
    return fail(ErrorDomain, tooLarge,
                "The picture is too large: " + size + ", more than the " +
                    std::to_string(static_cast<long long>(maximumPixels) / (1024 * 1024)) + " megapixels a picture may have");
  }
  return *header;
}

Result<GObjectPtr<GdkPixbuf>> decodeBitmap(const Data& bytes) {
  auto header = checkedBitmap(bytes);
  if (!header) return tl::unexpected(header.error());
  auto undecodable = [] { return fail(ErrorDomain, notAnImage, "The picture's data does not decode"); };
  if (header->format == ImageHeader::Format::webp) {
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(bytes.data(), bytes.size(), &features) != VP8_STATUS_OK || features.has_animation ||
        features.width <= 0 || features.height <= 0 || double(features.width) * features.height > maximumPixels)
      return undecodable();
    bool alpha = features.has_alpha;
    GObjectPtr<GdkPixbuf> pixbuf(gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, features.width, features.height));
    if (!pixbuf) return undecodable();
    auto into = alpha ? WebPDecodeRGBAInto : WebPDecodeRGBInto;
    if (!into(bytes.data(), bytes.size(), gdk_pixbuf_get_pixels(pixbuf.get()), gdk_pixbuf_get_byte_length(pixbuf.get()),
              gdk_pixbuf_get_rowstride(pixbuf.get())))
      return undecodable();
    return pixbuf;
  }
  // The decoder of the format the header names, never one guessed from the bytes: an SVG or
  // another drawing never reaches a rasteriser this way.
  GObjectPtr<GdkPixbufLoader> loader(gdk_pixbuf_loader_new_with_type(ImageHeader::loaderName(header->format), nullptr));
  if (!loader) return undecodable();
  bool ok = gdk_pixbuf_loader_write(loader.get(), bytes.data(), bytes.size(), nullptr);
  ok = gdk_pixbuf_loader_close(loader.get(), nullptr) && ok;
  GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader.get()) : nullptr;
  if (!pixbuf) return undecodable();
  return GObjectPtr<GdkPixbuf>::retain(pixbuf);
}

Result<Data> bitmapAsPNG(const Data& bytes) {
  auto pixbuf = decodeBitmap(bytes);
  if (!pixbuf) return tl::unexpected(pixbuf.error());
  gchar* buffer = nullptr;
  gsize length = 0;
  if (!gdk_pixbuf_save_to_buffer(pixbuf->get(), &buffer, &length, "png", nullptr, nullptr))
    return fail(ErrorDomain, notAnImage, "The picture could not be written as PNG");
  Data png(reinterpret_cast<const std::uint8_t*>(buffer), reinterpret_cast<const std::uint8_t*>(buffer) + length);
  g_free(buffer);
  return png;
}

Result<Data> storableImage(const Data& bytes) {
  if (isPDF(bytes)) return rasterisePDF(bytes);
  if (isPostScript(bytes)) return rasterisePostScript(bytes);
  if (auto header = checkedBitmap(bytes); !header) return tl::unexpected(header.error());
  return bytes;
}

}  // namespace ImageData
