#include "export/ImageDecoding.h"

#include "platform/ImageData.h"

namespace ImageDecoding {

namespace {

DecodedImage decoded(const ImageHeader::Facts& header, Data bytes) {
  // A picture made for another density than 72 per inch has another size in points.
  return DecodedImage{ImageSize::Facts{header.pointWidth(), header.pointHeight(),
                                       std::pair<long, long>{long(header.width), long(header.height)}},
                      std::move(bytes)};
}

}  // namespace

bool namesWebP(const std::optional<std::string>& originalFilename) {
  return originalFilename && originalFilename->ends_with(".webp");
}

Result<DecodedImage> decode(const Data& data, const std::optional<std::string>& originalFilename) {
  if (namesWebP(originalFilename) || ImageData::isWebP(data)) {
    auto header = ImageData::checkedBitmap(data);
    if (!header) return tl::unexpected(header.error());
    if (header->format != ImageHeader::Format::webp)
      return fail(ImageData::ErrorDomain, ImageData::notAnImage, "The data is not a WebP picture");
    auto png = ImageData::bitmapAsPNG(data);
    if (!png) return tl::unexpected(png.error());
    return decoded(*header, std::move(*png));
  }
  Data bytes = data;
  if (ImageData::isPDF(data) || ImageData::isPostScript(data)) {
    auto png = ImageData::storableImage(data);
    if (!png) return tl::unexpected(png.error());
    bytes = std::move(*png);
  }
  auto header = ImageData::checkedBitmap(bytes);
  if (!header) return tl::unexpected(header.error());
  return decoded(*header, std::move(bytes));
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
