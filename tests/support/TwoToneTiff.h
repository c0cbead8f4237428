#pragma once
// Large TIFF pictures of a few hundred bytes or kilobytes: some that really decode, written by
// libtiff's own tool, and one whose data does not match its header.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/Data.h"
#include "support/HostilePictures.h"
#include "support/TestEnvironment.h"
#include "support/TiffKinds.h"

namespace testenv {

// A little-endian TIFF's header and its one directory of nine single-valued entries (tag, type,
// value); the data that follows starts at byte 122.
inline Data tiffHead(const std::uint32_t (&entries)[9][3]) {
  Data d{'I', 'I', '*', 0};
  putLittle(d, 8, 4);
  putLittle(d, 9, 2);
  for (const auto& e : entries) {
    putLittle(d, e[0], 2);
    putLittle(d, e[1], 2);
    putLittle(d, 1, 4);
    putLittle(d, e[2], 4);
  }
  putLittle(d, 0, 4);
  return d;
}

// An 8-bit grey TIFF whose left half is dark (0x30) and right half light (0xD0), written
// uncompressed and then again by tiffcp with `options`; empty when the tool failed.
inline Data twoToneTiff(const std::filesystem::path& folder, std::uint32_t width, std::uint32_t height,
                        const std::string& options) {
  auto raw = folder / "two-tone.tiff", out = folder / "two-tone-written.tiff";
  {
    const Data head = tiffHead({{256, 4, width}, {257, 4, height}, {258, 3, 8}, {259, 3, 1}, {262, 3, 1},
                                {273, 4, 122}, {277, 3, 1}, {278, 4, height}, {279, 4, width * height}});
    std::ofstream file(raw, std::ios::binary);
    file.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
    std::string row(width, char(0xD0));
    std::fill(row.begin(), row.begin() + width / 2, char(0x30));
    for (std::uint32_t y = 0; y < height; ++y) file.write(row.data(), std::streamsize(row.size()));
  }
  int status = run("tiffcp " + options + " '" + raw.string() + "' '" + out.string() + "' 2>&1");
  std::filesystem::remove(raw);
  return status == 0 ? readBytes(out) : Data();
}

// A TIFF of a few hundred bytes whose header claims `side` × `side` grey pixels in one strip of
// JPEG data, while the strip holds a JPEG of 16 × 16.
inline Data lyingJpegTiff(std::uint32_t side) {
  const Data strip = jpegPicture(16, 16);
  Data d = tiffHead({{256, 4, side}, {257, 4, side}, {258, 3, 8}, {259, 3, 7}, {262, 3, 1}, {273, 4, 122},
                     {277, 3, 1}, {278, 4, side}, {279, 4, std::uint32_t(strip.size())}});
  d.insert(d.end(), strip.begin(), strip.end());
  return d;
}

}  // namespace testenv
