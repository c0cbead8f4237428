#pragma once
// WebP files over libwebp: decoding inserted images, encoding rendered bitmaps. Stateless; any
// thread.

#include <optional>

#include "export/Bitmap.h"
#include "platform/Data.h"

namespace WebP {
// None for data that is not a WebP still image, or whose pixels do not decode.
std::optional<Bitmap> decode(const Data& file);
// `qualityFactor` 1.0 is lossless (at effort 70); below it lossy at 100 × factor. Empty data
// when libwebp refuses (a factor outside 0…1, no pixels).
Data encode(const Bitmap& bitmap, float qualityFactor);
}  // namespace WebP
