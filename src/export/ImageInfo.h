#pragma once
// The size records the editor page receives for an inserted image, and the decoding of the data
// URLs in which it hands image files over. Pure; main thread by convention.

#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json_fwd.hpp>

#include "platform/Data.h"
#include "platform/Error.h"

struct ImageSize {
  double width = 0;   // points
  double height = 0;  // points
  double pixelWidth = 0;
  double pixelHeight = 0;

  // What measuring needs of an image: its nominal size in points and, when it has one, the pixel
  // size of its best bitmap; `screenScale` is the main display's scale, none without a display.
  struct Facts {
    double pointWidth = 0;
    double pointHeight = 0;
    std::optional<std::pair<long, long>> pixels;
  };
  static ImageSize measure(const Facts& image, std::optional<double> screenScale);

  bool operator==(const ImageSize&) const = default;
};

struct ImageInfo {
  std::string imageName;
  std::string originalImageName;
  ImageSize imageSize;

  bool operator==(const ImageInfo&) const = default;
};

void to_json(nlohmann::json& j, const ImageSize& size);
void to_json(nlohmann::json& j, const ImageInfo& info);
// Every key is required with a value of its type.
Result<ImageSize> decodeImageSize(const nlohmann::json& j);
Result<ImageInfo> decodeImageInfo(const nlohmann::json& j);

// Standard Base64 with padding, nothing else: white space and line breaks make it fail.
std::optional<Data> strictBase64Decode(std::string_view text);

struct ImageFileData {
  bool isSVG = false;
  Data data;
};
// The Base64 payload after the first comma of a data URL; isSVG when it starts
// "data:image/svg+xml" exactly.
std::optional<ImageFileData> imageFileData(const std::optional<std::string>& encodedFile);

// Compact JSON of an ImageInfo named `imagePath`; none for an empty path.
std::optional<std::string> jsonEncodedImageInfo(const ImageSize::Facts& image, std::optional<double> screenScale,
                                                const std::string& imagePath);
