#include "export/ImageDecoding.h"

#include "export/Bitmap.h"
#include "export/WebP.h"
#include "platform/ImageData.h"

namespace ImageDecoding {

namespace {

ImageSize::Facts factsOf(int width, int height) {
  return ImageSize::Facts{double(width), double(height), std::pair<long, long>{width, height}};
}

std::optional<DecodedImage> fromWebP(const Data& data) {
  auto size = ImageData::bitmapSize(data);
  if (!size || double(size->width) * double(size->height) > ImageData::maximumPixels) return std::nullopt;
  auto bitmap = WebP::decode(data);
  if (!bitmap) return std::nullopt;
  Data png = ImageEncoding::png(*bitmap);
  // Should the PNG encoding fail, the image counts as undecodable.
  if (png.empty()) return std::nullopt;
  return DecodedImage{factsOf(bitmap->width, bitmap->height), std::move(png)};
}

}  // namespace

bool namesWebP(const std::optional<std::string>& originalFilename) {
  return originalFilename && originalFilename->ends_with(".webp");
}

std::optional<DecodedImage> imageFromData(const Data& data, const std::optional<std::string>& originalFilename) {
  if (namesWebP(originalFilename) || ImageData::isWebP(data)) return fromWebP(data);
  Data bytes = data;
  if (ImageData::isPDF(data) || ImageData::isPostScript(data)) {
    auto png = ImageData::storableImage(data);
    if (!png) return std::nullopt;
    bytes = std::move(*png);
  }
  auto size = ImageData::bitmapSize(bytes);
  if (!size) return std::nullopt;
  return DecodedImage{factsOf(size->width, size->height), std::move(bytes)};
}

}  // namespace ImageDecoding
