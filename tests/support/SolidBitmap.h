#pragma once
// An opaque picture of one colour, for tests that need real image bytes.

#include <cstdint>

#include "export/Bitmap.h"

namespace testenv {
inline Bitmap solidBitmap(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  auto bitmap = *Bitmap::make(width, height);
  for (std::size_t i = 0; i < bitmap.rgba.size(); i += 4) {
    bitmap.rgba[i] = r;
    bitmap.rgba[i + 1] = g;
    bitmap.rgba[i + 2] = b;
    bitmap.rgba[i + 3] = 255;
  }
  return bitmap;
}
}  // namespace testenv
