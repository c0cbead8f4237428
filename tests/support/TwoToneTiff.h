#pragma once
// Large pictures of a few hundred kilobytes that really decode, written by libtiff's own tool.

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

// An 8-bit grey TIFF whose left half is dark (0x30) and right half light (0xD0), written
// uncompressed and then again by tiffcp with `options`; empty when the tool failed.
inline Data twoToneTiff(const std::filesystem::path& folder, std::uint32_t width, std::uint32_t height, const std::string& options) {
  auto raw = folder / "two-tone.tiff", out = folder / "two-tone-written.tiff";
  {
    Data head{'I', 'I', '*', 0};
    putLittle(head, 8, 4);
    const std::uint32_t entries[][3] = {{256, 4, width}, {257, 4, height}, {258, 3, 8},      {259, 3, 1},
                                        {262, 3, 1},     {273, 4, 122},    {277, 3, 1},      {278, 4, height},
                                        {279, 4, width * height}};
    putLittle(head, std::uint32_t(std::size(entries)), 2);
    for (const auto& e : entries) {
      putLittle(head, e[0], 2);
      putLittle(head, e[1], 2);
      putLittle(head, 1, 4);
      putLittle(head, e[2], 4);
    }
    putLittle(head, 0, 4);
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

}  // namespace testenv
