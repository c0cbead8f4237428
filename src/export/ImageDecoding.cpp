#include "export/ImageDecoding.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <span>

#include "export/SVGInsertion.h"
#include "platform/ImageData.h"

namespace ImageDecoding {

namespace {

// The largest side a design holds, in points, as for an SVG.
constexpr double maximumPointSide = SVGInsertion::maximumSide;

DecodedImage decoded(const ImageHeader::Facts& header, std::uint32_t width, std::uint32_t height, Data bytes) {
  // A picture made for another density than 72 per inch has another size in points; one whose
  // density would make it larger than a design keeps its size in pixels.
  ImageHeader::Facts measured = header;
  measured.width = width;
  measured.height = height;
  double pointWidth = measured.pointWidth(), pointHeight = measured.pointHeight();
  if (pointWidth > maximumPointSide || pointHeight > maximumPointSide) {
    pointWidth = width;
    pointHeight = height;
  }
  return DecodedImage{ImageSize::Facts{pointWidth, pointHeight, std::pair<long, long>{long(width), long(height)}},
                      std::move(bytes)};
}

}  // namespace

bool namesWebP(const std::optional<std::string>& originalFilename) {
  return originalFilename && originalFilename->ends_with(".webp");
}

Result<DecodedImage> decodeAsPNG(const Data& data) {
  auto header = ImageData::checkedBitmap(data);
  if (!header) return tl::unexpected(header.error());
  auto picture = ImageData::decodeBitmap(data, *header);
  if (!picture) return tl::unexpected(picture.error());
  auto png = ImageData::pngOf(picture->get());
  if (!png) return tl::unexpected(png.error());
  // The density is what the stored PNG says, read from its header without decoding it again.
  auto stored = ImageData::checkedBitmap(*png);
  if (!stored) return tl::unexpected(stored.error());
  auto width = std::uint32_t(gdk_pixbuf_get_width(picture->get())), height = std::uint32_t(gdk_pixbuf_get_height(picture->get()));
  return decoded(*stored, width, height, std::move(*png));
}

namespace {

// A PNG that holds only chunks that draw it is stored as it is.
bool drawsWhole(const Data& png) {
  std::size_t pieces = 0;
  bool whole = false;
  ImageHeader::forEachPngDrawingPiece(png, [&](std::span<const std::uint8_t> piece) {
    whole = ++pieces == 1 && piece.size() == png.size();
    return pieces == 1;
  });
  return whole;
}

// `owned`, when given, holds the same bytes as `data` and may be taken for the store.
Result<DecodedImage> decodeStoring(const Data& data, Data* owned, const std::optional<std::string>& originalFilename) {
  if (namesWebP(originalFilename) || ImageData::isWebP(data)) {
    auto header = ImageData::checkedBitmap(data);
    if (!header) return tl::unexpected(header.error());
    if (header->format != ImageHeader::Format::webp)
      return fail(ImageData::ErrorDomain, ImageData::notAnImage, "The data is not a WebP picture");
    // An animation is stored as it came, so that it keeps moving; its first frame must decode.
    if (header->frames > 1) {
      auto first = ImageData::decodeBitmap(data, *header);
      if (!first) return tl::unexpected(first.error());
      auto width = std::uint32_t(gdk_pixbuf_get_width(first->get())),
           height = std::uint32_t(gdk_pixbuf_get_height(first->get()));
      *first = GObjectPtr<GdkPixbuf>();
      return decoded(*header, width, height, owned ? std::move(*owned) : data);
    }
    return decodeAsPNG(data);
  }
  // A drawing is decoded as the PNG it is drawn to; any other file as it came, without a copy.
  std::optional<Data> drawn;
  if (ImageData::isPDF(data) || ImageData::isPostScript(data)) {
    auto png = ImageData::storableImage(data);
    if (!png) return tl::unexpected(png.error());
    drawn = std::move(*png);
  }
  const Data& bytes = drawn ? *drawn : data;
  auto header = ImageData::checkedBitmap(bytes);
  if (!header) return tl::unexpected(header.error());
  // Decoded once in full, here off the main loop: what does not decode is never stored, and the
  // size announced is the decoder's (a TIFF's or a JPEG's as its orientation turns it, as the
  // pages' engine draws it).
  auto picture = ImageData::decodeBitmap(bytes, *header);
  if (!picture) return tl::unexpected(picture.error());
  auto width = std::uint32_t(gdk_pixbuf_get_width(picture->get())), height = std::uint32_t(gdk_pixbuf_get_height(picture->get()));
  // The pages' engine draws no TIFF: it is stored as its picture, at the density it states.
  Data stored;
  if (header->format == ImageHeader::Format::tiff) {
    auto png = ImageData::pngOf(picture->get());
    if (!png) return tl::unexpected(png.error());
    stored = std::move(*png);
  } else {
    // The picture has told what it had to: it goes before the file's one copy is made (the
    // decoder read the same chunks of a PNG in place).
    *picture = GObjectPtr<GdkPixbuf>();
    bool asItCame = header->format != ImageHeader::Format::png || drawsWhole(bytes);
    if (asItCame && drawn) stored = std::move(*drawn);
    else if (asItCame && owned) stored = std::move(*owned);
    else if (asItCame) stored = data;
    else stored = ImageHeader::pngForDrawing(bytes);
  }
  return decoded(*header, width, height, std::move(stored));
}

}  // namespace

Result<DecodedImage> decode(const Data& data, const std::optional<std::string>& originalFilename) {
  return decodeStoring(data, nullptr, originalFilename);
}

Result<DecodedImage> decode(Data&& data, const std::optional<std::string>& originalFilename) {
  return decodeStoring(data, &data, originalFilename);
}

std::optional<DecodedImage> imageFromData(const Data& data, const std::optional<std::string>& originalFilename) {
  auto image = decode(data, originalFilename);
  if (!image) return std::nullopt;
  return std::move(*image);
}

bool mayBeImage(const Data& data) {
  return ImageData::isPDF(data) || ImageData::isPostScript(data) || ImageData::checkedBitmap(data).has_value();
}

}  // namespace ImageDecoding
