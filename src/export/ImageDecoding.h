#pragma once
// Turns the bytes of an image file that reaches a design into what the document stores and the
// size the page is told. WebP goes to the WebP decoder, by a name ending in ".webp" or by its
// "RIFF…WEBP" bytes, and is stored as PNG, so it works where the general decoder has no WebP;
// PDF and PostScript are stored as their picture in PNG; other bitmaps are stored as they came;
// anything else is refused. Display-free; any thread.

#include <optional>
#include <string>

#include "export/ImageInfo.h"
#include "platform/Data.h"

struct DecodedImage {
  ImageSize::Facts image;
  Data bytesToStore;
};

namespace ImageDecoding {
// A name selects the WebP decoder only by its exact lower-case ending: "photo.WEBP" is judged by
// its bytes.
bool namesWebP(const std::optional<std::string>& originalFilename);
std::optional<DecodedImage> imageFromData(const Data& data, const std::optional<std::string>& originalFilename);
}  // namespace ImageDecoding
