#include "platform/ImageData.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "platform/GObjectPtr.h"
#include "platform/ImageOrientation.h"

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
  if (header->cut) return fail(ErrorDomain, notAnImage, "The picture is cut short: its data ends before its last row");
  if (header->frames > maximumFrames)
    return fail(ErrorDomain, tooLarge,
                "The picture has too many frames: " + std::to_string(header->frames) + ", more than the " +
                    std::to_string(maximumFrames) + " an animation may have");
  if (header->scans > maximumScans)
    return fail(ErrorDomain, tooLarge,
                "The picture has too many scans: " + std::to_string(header->scans) + ", more than the " +
                    std::to_string(maximumScans) + " a picture may have");
  if (header->decoderBytes > maximumDecoderBytesPerPixel * header->decodedPixels() + decoderBytesAnyPicture)
    return fail(ErrorDomain, tooLarge,
                "The picture needs too much memory to decode: " +
                    std::to_string(static_cast<long long>(std::min(header->decoderBytes, 1e15) / (1024 * 1024))) +
                    " MB for its coded rows, for a picture of " + std::to_string(header->width) + " × " +
                    std::to_string(header->height) + " pixels");
  if (header->decodedPixels() > maximumPixels) {
    std::string size = std::to_string(header->width) + " × " + std::to_string(header->height) + " pixels";
    if (header->frames > 1) size = std::to_string(header->frames) + " frames of " + size;
    return fail(ErrorDomain, tooLarge,
                "The picture is too large: " + size + ", more than the " +
                    std::to_string(static_cast<long long>(maximumPixels) / (1024 * 1024)) + " megapixels a picture may have");
  }
  return *header;
}

namespace {

std::string sizeText(std::uint32_t width, std::uint32_t height) {
  return std::to_string(width) + " × " + std::to_string(height);
}

// What the decoder tells of its picture before it makes room for the pixels, and whether that
// is within the header it must agree with; without a header it is only heard and stopped.
struct Announcement {
  const ImageHeader::Facts* header = nullptr;
  std::optional<PixelSize> size;
  bool refused = false;

  static void heard(GdkPixbufLoader* loader, gint width, gint height, gpointer data) {
    auto* self = static_cast<Announcement*>(data);
    self->size = PixelSize{width, height};
    const ImageHeader::Facts* header = self->header;
    bool within = header && width > 0 && height > 0 && std::uint32_t(width) <= header->storedWidth() &&
                  std::uint32_t(height) <= header->storedHeight() && double(width) * double(height) <= maximumPixels;
    if (within) return;
    self->refused = true;
    // A size of nothing makes the decoder give up before it allocates.
    gdk_pixbuf_loader_set_size(loader, 0, 0);
  }
};

// Runs the decoder of the format over the first `length` bytes (of a PNG, the chunks that draw
// it), and then over a GIF trailer when `endGIF` is set.
GObjectPtr<GdkPixbufLoader> runLoader(const Data& bytes, std::size_t length, ImageHeader::Format format, bool endGIF,
                                      Announcement& announcement, bool& ok) {
  GObjectPtr<GdkPixbufLoader> loader(gdk_pixbuf_loader_new_with_type(ImageHeader::loaderName(format), nullptr));
  ok = false;
  if (!loader) return loader;
  g_signal_connect(loader.get(), "size-prepared", G_CALLBACK(&Announcement::heard), &announcement);
  if (format == ImageHeader::Format::png) {
    ok = true;
    ImageHeader::forEachPngDrawingPiece(std::span(bytes.data(), length), [&](std::span<const std::uint8_t> piece) {
      ok = gdk_pixbuf_loader_write(loader.get(), piece.data(), piece.size(), nullptr);
      return bool(ok);
    });
  } else {
    ok = gdk_pixbuf_loader_write(loader.get(), bytes.data(), length, nullptr);
  }
  static const guchar trailer = 0x3B;
  if (ok && endGIF) ok = gdk_pixbuf_loader_write(loader.get(), &trailer, 1, nullptr);
  ok = gdk_pixbuf_loader_close(loader.get(), nullptr) && ok;
  return loader;
}

// The decoder's picture as its header's orientation draws it: mirrored or half turned in place,
// turned a quarter into a picture of its own. The decoder's own reading of the orientation goes:
// the header's, which is the pages' engine's, is the one that holds.
GObjectPtr<GdkPixbuf> oriented(GObjectPtr<GdkPixbuf> stored, std::uint32_t tag) {
  GdkPixbuf* picture = stored.get();
  gdk_pixbuf_remove_option(picture, "orientation");
  if (tag < 2 || tag > 8) return stored;
  const int width = gdk_pixbuf_get_width(picture), height = gdk_pixbuf_get_height(picture);
  const std::size_t channels = std::size_t(gdk_pixbuf_get_n_channels(picture)),
                    stride = std::size_t(gdk_pixbuf_get_rowstride(picture));
  guchar* pixels = gdk_pixbuf_get_pixels(picture);
  auto at = [&](guchar* base, std::size_t rowStride, int row, int column) {
    return base + std::size_t(row) * rowStride + std::size_t(column) * channels;
  };
  const ImageOrientation orientation{tag, width, height};
  if (!orientation.turned()) {
    // Each pixel changes places with the one drawn where it is stored.
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        auto from = orientation.stored(x, y);
        if (from.row * width + from.column <= y * width + x) continue;
        std::swap_ranges(at(pixels, stride, y, x), at(pixels, stride, y, x) + channels,
                         at(pixels, stride, from.row, from.column));
      }
    return stored;
  }
  GObjectPtr<GdkPixbuf> turned(gdk_pixbuf_new(GDK_COLORSPACE_RGB, gdk_pixbuf_get_has_alpha(picture), 8,
                                              orientation.width(), orientation.height()));
  if (!turned) return GObjectPtr<GdkPixbuf>();
  guchar* out = gdk_pixbuf_get_pixels(turned.get());
  const std::size_t outStride = std::size_t(gdk_pixbuf_get_rowstride(turned.get()));
  for (int y = 0; y < orientation.height(); ++y)
    for (int x = 0; x < orientation.width(); ++x) {
      auto from = orientation.stored(x, y);
      std::memcpy(at(out, outStride, y, x), at(pixels, stride, from.row, from.column), channels);
    }
  return turned;
}

// The first frame of an animated WebP on its canvas, as the engine shows it first. The canvas
// is the size the header stated (checkedBitmap bounds it); the decoder holds two of them.
Result<GObjectPtr<GdkPixbuf>> firstWebPFrame(const Data& bytes, const ImageHeader::Facts& header) {
  auto undecodable = [] { return fail(ErrorDomain, notAnImage, "The animation's first frame does not decode"); };
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) return undecodable();
  options.color_mode = MODE_RGBA;
  options.use_threads = 0;
  const WebPData data{bytes.data(), bytes.size()};
  std::unique_ptr<WebPAnimDecoder, void (*)(WebPAnimDecoder*)> decoder(WebPAnimDecoderNew(&data, &options),
                                                                       WebPAnimDecoderDelete);
  WebPAnimInfo info;
  if (!decoder || !WebPAnimDecoderGetInfo(decoder.get(), &info) || info.canvas_width == 0 || info.canvas_height == 0)
    return undecodable();
  if (info.canvas_width > header.width || info.canvas_height > header.height)
    return fail(ErrorDomain, tooLarge,
                "The picture's decoder finds " + sizeText(info.canvas_width, info.canvas_height) +
                    " pixels where its header says " + sizeText(header.width, header.height));
  std::uint8_t* frame = nullptr;
  int timestamp = 0;
  if (!WebPAnimDecoderGetNext(decoder.get(), &frame, &timestamp) || !frame) return undecodable();
  const int width = int(info.canvas_width), height = int(info.canvas_height);
  GObjectPtr<GdkPixbuf> pixbuf(gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height));
  if (!pixbuf) return fail(ErrorDomain, tooLarge, "There is not enough memory for the picture");
  const std::size_t row = std::size_t(width) * 4, stride = std::size_t(gdk_pixbuf_get_rowstride(pixbuf.get()));
  guchar* out = gdk_pixbuf_get_pixels(pixbuf.get());
  for (int y = 0; y < height; ++y) std::memcpy(out + std::size_t(y) * stride, frame + std::size_t(y) * row, row);
  return pixbuf;
}

}  // namespace

Result<GObjectPtr<GdkPixbuf>> decodeBitmap(const Data& bytes) {
  auto header = checkedBitmap(bytes);
  if (!header) return tl::unexpected(header.error());
  return decodeBitmap(bytes, *header);
}

Result<GObjectPtr<GdkPixbuf>> decodeBitmap(const Data& bytes, const ImageHeader::Facts& header) {
  auto undecodable = [] { return fail(ErrorDomain, notAnImage, "The picture's data does not decode"); };
  auto disagrees = [&](int width, int height) {
    return fail(ErrorDomain, tooLarge,
                "The picture's decoder finds " + sizeText(std::uint32_t(width), std::uint32_t(height)) +
                    " pixels where its header says " + sizeText(header.width, header.height));
  };
  if (header.format == ImageHeader::Format::webp) {
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(bytes.data(), bytes.size(), &features) != VP8_STATUS_OK || features.width <= 0 ||
        features.height <= 0)
      return undecodable();
    if (features.has_animation) return firstWebPFrame(bytes, header);
    if (std::uint32_t(features.width) > header.width || std::uint32_t(features.height) > header.height ||
        double(features.width) * features.height > maximumPixels)
      return disagrees(features.width, features.height);
    bool alpha = features.has_alpha;
    GObjectPtr<GdkPixbuf> pixbuf(gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, features.width, features.height));
    if (!pixbuf) return undecodable();
    auto into = alpha ? WebPDecodeRGBAInto : WebPDecodeRGBInto;
    if (!into(bytes.data(), bytes.size(), gdk_pixbuf_get_pixels(pixbuf.get()), gdk_pixbuf_get_byte_length(pixbuf.get()),
              gdk_pixbuf_get_rowstride(pixbuf.get())))
      return undecodable();
    return pixbuf;
  }
  if (header.format == ImageHeader::Format::tiff) return decodeTiff(bytes, header);
  // The decoder of the format the header names, never one guessed from the bytes: an SVG or
  // another drawing never reaches a rasteriser this way.
  // Only a GIF's first frame is kept, so only that reaches the decoder: however many frames
  // follow, and however the decoder counts them, they cost nothing. A first frame cut short
  // gives no picture.
  bool gif = header.format == ImageHeader::Format::gif;
  if (gif && (header.firstFrameEnd == 0 || header.firstFrameEnd > bytes.size())) return undecodable();
  Announcement announcement;
  announcement.header = &header;
  bool ok = false;
  auto loader = runLoader(bytes, gif ? header.firstFrameEnd : bytes.size(), header.format, gif, announcement, ok);
  if (announcement.refused && announcement.size) return disagrees(announcement.size->width, announcement.size->height);
  // A decoder that made a picture without telling its size first is not believed.
  GdkPixbuf* pixbuf = ok && announcement.size ? gdk_pixbuf_loader_get_pixbuf(loader.get()) : nullptr;
  if (!pixbuf) return undecodable();
  if (std::uint32_t(gdk_pixbuf_get_width(pixbuf)) > header.storedWidth() ||
      std::uint32_t(gdk_pixbuf_get_height(pixbuf)) > header.storedHeight())
    return disagrees(gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf));
  auto retained = GObjectPtr<GdkPixbuf>::retain(pixbuf);
  loader = GObjectPtr<GdkPixbufLoader>();
  auto drawn = oriented(std::move(retained), header.orientation);
  if (!drawn) return fail(ErrorDomain, tooLarge, "There is not enough memory for the picture");
  return drawn;
}

std::optional<PixelSize> decoderSize(const Data& bytes, ImageHeader::Format format) {
  if (format == ImageHeader::Format::webp) {
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(bytes.data(), bytes.size(), &features) != VP8_STATUS_OK) return std::nullopt;
    return PixelSize{features.width, features.height};
  }
  if (format == ImageHeader::Format::tiff) return tiffSize(bytes);
  Announcement announcement;
  bool ok = false;
  (void)runLoader(bytes, bytes.size(), format, false, announcement, ok);
  // The decoder tells the size as stored; a JPEG is drawn turned as its EXIF block says.
  auto header = format == ImageHeader::Format::jpeg ? ImageHeader::read(bytes) : std::nullopt;
  if (announcement.size && header && header->turned()) std::swap(announcement.size->width, announcement.size->height);
  return announcement.size;
}

Result<Data> bitmapAsPNG(const Data& bytes) {
  auto pixbuf = decodeBitmap(bytes);
  if (!pixbuf) return tl::unexpected(pixbuf.error());
  return pngOf(pixbuf->get());
}

Result<Data> pngOf(GdkPixbuf* picture) {
  gchar* buffer = nullptr;
  gsize length = 0;
  if (!gdk_pixbuf_save_to_buffer(picture, &buffer, &length, "png", nullptr, nullptr))
    return fail(ErrorDomain, notAnImage, "The picture could not be written as PNG");
  Data png(reinterpret_cast<const std::uint8_t*>(buffer), reinterpret_cast<const std::uint8_t*>(buffer) + length);
  g_free(buffer);
  return png;
}

Result<Data> storableImage(const Data& bytes) {
  if (isPDF(bytes)) return rasterisePDF(bytes);
  if (isPostScript(bytes)) return rasterisePostScript(bytes);
  auto header = checkedBitmap(bytes);
  if (!header) return tl::unexpected(header.error());
  if (header->format == ImageHeader::Format::tiff) return bitmapAsPNG(bytes);
  if (header->format == ImageHeader::Format::png) return ImageHeader::pngForDrawing(bytes);
  return bytes;
}

}  // namespace ImageData
