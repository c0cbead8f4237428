#pragma once
// Turns the bytes of an image file that reaches a design into what the document stores and the
// size the page is told. WebP goes to the WebP decoder, by a name ending in ".webp" or by its
// "RIFF…WEBP" bytes, and is stored as PNG, so it works where the general decoder has no WebP;
// PDF, PostScript and TIFF (which the pages' engine does not draw) are stored as their picture
// in PNG; other bitmaps are stored as they came, a PNG without its chunks that do not draw it;
// anything else is refused, and so is a picture whose header promises too many pixels, frames
// or scans, before any pixel is decoded, and one that does not decode or is cut short.
// Display-free; any thread, and slow: keep it off the main loop.

#include <optional>
#include <string>

#include "export/ImageInfo.h"
#include "platform/Data.h"
#include "platform/Error.h"

struct DecodedImage {
  ImageSize::Facts image;
  Data bytesToStore;
};

namespace ImageDecoding {
// A name selects the WebP decoder only by its exact lower-case ending: "photo.WEBP" is judged by
// its bytes.
bool namesWebP(const std::optional<std::string>& originalFilename);
// Fails with a message that says why the picture is refused.
Result<DecodedImage> decode(const Data& data, const std::optional<std::string>& originalFilename);
// The same, giving up the bytes to the store where they are stored as they came: no copy.
Result<DecodedImage> decode(Data&& data, const std::optional<std::string>& originalFilename);
// A bitmap decoded once and stored as PNG, with the decoder's size.
Result<DecodedImage> decodeAsPNG(const Data& data);
std::optional<DecodedImage> imageFromData(const Data& data, const std::optional<std::string>& originalFilename);
// Whether the bytes may be decoded at all, by their header alone: quick, decodes nothing.
bool mayBeImage(const Data& data);
}  // namespace ImageDecoding
