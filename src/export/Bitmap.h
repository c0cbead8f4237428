#pragma once
// A rendered picture: 8-bit straight (not premultiplied) RGBA, rows packed at 4 × width bytes.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/Data.h"

struct Bitmap {
  int width = 0;
  int height = 0;
  Data rgba;

  // Pixel counts go through size_t: width × height × 4 overflows an int well before memory ends.
  static std::size_t byteCount(int width, int height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
  }
  // Transparent black of that size; none for a size that is not positive.
  static std::optional<Bitmap> make(int width, int height);
  // From premultiplied 32-bit pixels in native-endian ARGB words (cairo's ARGB32), any stride.
  static std::optional<Bitmap> fromPremultipliedARGB(const std::uint8_t* pixels, int width, int height, int stride);

  const std::uint8_t* pixel(int x, int y) const { return rgba.data() + (static_cast<std::size_t>(y) * width + x) * 4; }
};

namespace ImageEncoding {
Data png(const Bitmap& bitmap);
// `quality` 0…100; none for the encoder's default.
Data jpeg(const Bitmap& bitmap, std::optional<int> quality);
Data tiff(const Bitmap& bitmap);
// A bitmap file decoded into a bitmap (tests, pasted pictures and the raster PDF); none for a
// picture beyond the pixel bound, which is not decoded.
std::optional<Bitmap> decode(const Data& file);
}  // namespace ImageEncoding
