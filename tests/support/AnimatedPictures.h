#pragma once
// Animations whose frames are each one solid colour, so that a look at any pixel tells which
// frame is drawn: a GIF written here, and a WebP made by the WebP tools' animation encoder
// (img2webp) from PNG frames. Both loop for ever.

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "export/Bitmap.h"
#include "platform/Data.h"
#include "platform/FileSystem.h"
#include "support/HostilePictures.h"
#include "support/SolidBitmap.h"
#include "support/TestEnvironment.h"

namespace testenv {

using Colour = std::array<std::uint8_t, 3>;

// A GIF of `colours.size()` frames of width × height, each shown for `delay` hundredths of a
// second. Its codes are 8 bits wide, a clear code before each run of 126, so that no code grows.
inline Data animatedGif(std::uint32_t width, std::uint32_t height, const std::vector<Colour>& colours, int delay) {
  Data d{'G', 'I', 'F', '8', '9', 'a'};
  putLittle(d, width, 2);
  putLittle(d, height, 2);
  d.insert(d.end(), {0xF6, 0, 0});  // a table of 128 colours
  for (std::size_t i = 0; i < 128; ++i) {
    Colour c = i < colours.size() ? colours[i] : Colour{0, 0, 0};
    d.insert(d.end(), c.begin(), c.end());
  }
  // Loops for ever.
  d.insert(d.end(), {0x21, 0xFF, 11});
  for (char c : std::string("NETSCAPE2.0")) d.push_back(std::uint8_t(c));
  d.insert(d.end(), {3, 1, 0, 0, 0});
  for (std::size_t frame = 0; frame < colours.size(); ++frame) {
    d.insert(d.end(), {0x21, 0xF9, 4, 0x04});
    putLittle(d, std::uint32_t(delay), 2);
    d.insert(d.end(), {0, 0});
    d.push_back(0x2C);
    for (std::uint32_t v : {0u, 0u, width, height}) putLittle(d, v, 2);
    d.push_back(0);
    d.push_back(7);  // codes from 8 bits: clear 128, end 129
    Data codes;
    for (std::size_t pixels = std::size_t(width) * height, left = pixels; left > 0;) {
      codes.push_back(128);
      for (std::size_t run = std::min<std::size_t>(left, 126); run > 0; --run, --left) codes.push_back(std::uint8_t(frame));
    }
    codes.push_back(129);
    for (std::size_t at = 0; at < codes.size(); at += 255) {
      std::size_t block = std::min<std::size_t>(255, codes.size() - at);
      d.push_back(std::uint8_t(block));
      d.insert(d.end(), codes.begin() + std::ptrdiff_t(at), codes.begin() + std::ptrdiff_t(at + block));
    }
    d.push_back(0);
  }
  d.push_back(0x3B);
  return d;
}

// The same as an animated WebP, each frame shown for `delay` milliseconds, made by img2webp in
// `folder`; empty when the tool failed.
inline Data animatedWebP(const std::filesystem::path& folder, int width, int height, const std::vector<Colour>& colours,
                         int delay) {
  std::string command = "img2webp -loop 0 -lossless -d " + std::to_string(delay);
  for (std::size_t i = 0; i < colours.size(); ++i) {
    auto frame = folder / ("frame-" + std::to_string(i) + ".png");
    auto png = ImageEncoding::png(solidBitmap(width, height, colours[i][0], colours[i][1], colours[i][2]));
    if (!fs::writeInside(folder, frame.filename().string(), png)) return {};
    command += " '" + frame.string() + "'";
  }
  auto out = folder / "animated.webp";
  if (run(command + " -o '" + out.string() + "' 2>&1") != 0) return {};
  auto bytes = fs::readFile(out);
  return bytes ? *bytes : Data{};
}

}  // namespace testenv
