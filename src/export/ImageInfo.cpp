#include "export/ImageInfo.h"

#include <array>

#include <nlohmann/json.hpp>

#include "platform/Crypto.h"
#include "platform/JsonCoder.h"

namespace {
constexpr const char* ErrorDomain = "com.korvel.imageinfo";

Result<double> number(const nlohmann::json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number()) return fail(ErrorDomain, 1, std::string("Missing or bad number \"") + key + "\"");
  return it->get<double>();
}
}  // namespace

ImageSize ImageSize::measure(const Facts& image, std::optional<double> screenScale) {
  ImageSize size{image.pointWidth, image.pointHeight, image.pointWidth, image.pointHeight};
  if (!screenScale || !image.pixels) return size;
  double scale = *screenScale;
  auto [pw, ph] = *image.pixels;
  if (scale > 1.0) {
    double w = double(pw) / scale, h = double(ph) / scale;
    if ((w != image.pointWidth || h != image.pointHeight) && !(w == 0 && h == 0)) {
      size.width = w;
      size.height = h;
    }
  }
  size.pixelWidth = double(pw);
  size.pixelHeight = double(ph);
  return size;
}

void to_json(nlohmann::json& j, const ImageSize& s) {
  j = {{"width", s.width}, {"height", s.height}, {"pixelWidth", s.pixelWidth}, {"pixelHeight", s.pixelHeight}};
}

void to_json(nlohmann::json& j, const ImageInfo& i) {
  j = {{"imageName", i.imageName}, {"originalImageName", i.originalImageName}, {"imageSize", i.imageSize}};
}

Result<ImageSize> decodeImageSize(const nlohmann::json& j) {
  if (!j.is_object()) return fail(ErrorDomain, 1, "An image size is an object");
  ImageSize s;
  std::array<std::pair<const char*, double*>, 4> fields{
      {{"width", &s.width}, {"height", &s.height}, {"pixelWidth", &s.pixelWidth}, {"pixelHeight", &s.pixelHeight}}};
  for (auto& [key, field] : fields) {
    auto value = number(j, key);
    if (!value) return tl::unexpected(value.error());
    *field = *value;
  }
  return s;
}

Result<ImageInfo> decodeImageInfo(const nlohmann::json& j) {
  if (!j.is_object()) return fail(ErrorDomain, 1, "An image info is an object");
  ImageInfo info;
  for (auto [key, field] : {std::pair{"imageName", &info.imageName}, std::pair{"originalImageName", &info.originalImageName}}) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return fail(ErrorDomain, 1, std::string("Missing or bad string \"") + key + "\"");
    *field = it->get<std::string>();
  }
  auto it = j.find("imageSize");
  if (it == j.end()) return fail(ErrorDomain, 1, "Missing \"imageSize\"");
  auto size = decodeImageSize(*it);
  if (!size) return tl::unexpected(size.error());
  info.imageSize = *size;
  return info;
}

std::optional<Data> strictBase64Decode(std::string_view text) {
  // Whole groups of the standard alphabet, padding only at the end, nothing between the symbols.
  if (text.size() % 4 != 0 || text.find_first_of(" \t\r\n") != std::string_view::npos) return std::nullopt;
  auto pad = text.find('=');
  if (pad != std::string_view::npos && pad + 2 < text.size()) return std::nullopt;
  return crypto::base64Decode(text);
}

std::optional<ImageFileData> imageFileData(const std::optional<std::string>& encodedFile) {
  if (!encodedFile) return std::nullopt;
  auto comma = encodedFile->find(',');
  if (comma == std::string::npos) return std::nullopt;
  auto bytes = strictBase64Decode(std::string_view(*encodedFile).substr(comma + 1));
  if (!bytes) return std::nullopt;
  return ImageFileData{encodedFile->starts_with("data:image/svg+xml"), std::move(*bytes)};
}

std::optional<std::string> jsonEncodedImageInfo(const ImageSize::Facts& image, std::optional<double> screenScale,
                                                const std::string& imagePath) {
  if (imagePath.empty()) return std::nullopt;
  ImageInfo info{imagePath, "", ImageSize::measure(image, screenScale)};
  return JsonCoder::dump(nlohmann::json(info));
}
