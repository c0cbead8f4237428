#pragma once
// TIFF files of every kind a person may bring, all of one marked picture: 40 × 30 as stored,
// red in its stored top-left corner, blue in its stored top-right corner, green elsewhere, so
// that how it is drawn (mirrored, turned) shows in its corners. Some are written here field by
// field, others by libtiff's own tools (tiffcp) from those.

#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/Data.h"
#include "support/HostilePictures.h"
#include "support/TestEnvironment.h"

namespace testenv {

enum class Mark { red, blue, green, yellow };

inline std::array<std::uint8_t, 3> markColour(Mark mark) {
  switch (mark) {
    case Mark::red: return {255, 0, 0};
    case Mark::blue: return {0, 0, 255};
    case Mark::green: return {0, 200, 0};
    case Mark::yellow: return {255, 255, 0};
  }
  return {};
}

inline bool looksLike(const std::uint8_t* p, Mark mark, int slack = 40) {
  auto want = markColour(mark);
  for (int c = 0; c < 3; ++c)
    if (std::abs(int(p[c]) - int(want[c])) > slack) return false;
  return true;
}

// The marked picture's colour at a stored place.
inline Mark storedMark(int x, int y, int width) {
  if (y < 10 && x < 10) return Mark::red;
  if (y < 10 && x >= width - 10) return Mark::blue;
  return Mark::green;
}

struct TiffLayout {
  int width = 40, height = 30;
  int bits = 8;               // 8, 16, or 32 (floating point)
  bool cmyk = false;          // four inks instead of red, green and blue
  bool separatePlanes = false;
  int orientation = 0;        // 0: no orientation tag
  bool yellow = false;        // all yellow instead of marked
  std::optional<std::pair<std::uint32_t, std::uint32_t>> density;  // per inch, across and down the stored rows
};

// A little-endian TIFF, uncompressed, one strip (of each plane), written field by field.
inline Data writtenTiff(const TiffLayout& layout) {
  const int samples = layout.cmyk ? 4 : 3, sampleBytes = layout.bits / 8;
  const int planes = layout.separatePlanes ? samples : 1;
  auto sample = [&](int x, int y, int s) -> std::uint32_t {
    auto rgb = markColour(layout.yellow ? Mark::yellow : storedMark(x, y, layout.width));
    std::uint32_t v;
    if (!layout.cmyk) {
      v = rgb[std::size_t(s)];
    } else {
      // No black ink: each colour ink takes away its own light.
      v = s == 3 ? 0 : 255 - rgb[std::size_t(s)];
    }
    return layout.bits == 16 ? v * 257 : v;
  };
  Data pixels;
  for (int plane = 0; plane < planes; ++plane)
    for (int y = 0; y < layout.height; ++y)
      for (int x = 0; x < layout.width; ++x)
        for (int s = 0; s < samples; ++s)
          if (!layout.separatePlanes || s == plane) putLittle(pixels, sample(x, y, s), sampleBytes);
  const std::uint32_t planeBytes = std::uint32_t(pixels.size()) / std::uint32_t(planes);

  struct Entry {
    std::uint32_t tag, type, count;
    std::vector<std::uint32_t> values;
  };
  std::vector<Entry> entries{{256, 4, 1, {std::uint32_t(layout.width)}},
                             {257, 4, 1, {std::uint32_t(layout.height)}},
                             {258, 3, std::uint32_t(samples), std::vector<std::uint32_t>(std::size_t(samples), std::uint32_t(layout.bits))},
                             {259, 3, 1, {1}},
                             {262, 3, 1, {layout.cmyk ? 5u : 2u}},
                             {273, 4, std::uint32_t(planes), {}},
                             {277, 3, 1, {std::uint32_t(samples)}},
                             {278, 4, 1, {std::uint32_t(layout.height)}},
                             {279, 4, std::uint32_t(planes), std::vector<std::uint32_t>(std::size_t(planes), planeBytes)},
                             {284, 3, 1, {layout.separatePlanes ? 2u : 1u}}};
  if (layout.orientation) entries.insert(entries.begin() + 6, Entry{274, 3, 1, {std::uint32_t(layout.orientation)}});
  if (layout.density) {
    auto before = [&](std::uint32_t tag) {
      return std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.tag > tag; });
    };
    entries.insert(before(282), Entry{282, 5, 1, {layout.density->first, 1}});
    entries.insert(before(283), Entry{283, 5, 1, {layout.density->second, 1}});
    entries.insert(before(296), Entry{296, 3, 1, {2}});
  }
  if (layout.cmyk) entries.push_back({332, 3, 1, {1}});
  if (layout.bits == 32) entries.push_back({339, 3, 1, {3}});
  // Values that do not fit in an entry follow the directory, then the pixels.
  std::uint32_t at = 8 + 2 + std::uint32_t(entries.size()) * 12 + 4;
  std::vector<std::uint32_t> outside(entries.size(), 0);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::uint32_t size = entries[i].count * (entries[i].type == 3 ? 2 : entries[i].type == 5 ? 8 : 4);
    if (size > 4) outside[i] = at, at += size;
  }
  const std::uint32_t pixelsAt = at;
  for (auto& e : entries)
    if (e.tag == 273)
      for (int p = 0; p < planes; ++p) e.values.push_back(pixelsAt + std::uint32_t(p) * planeBytes);
  Data d{'I', 'I', '*', 0};
  putLittle(d, 8, 4);
  putLittle(d, std::uint32_t(entries.size()), 2);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& e = entries[i];
    putLittle(d, e.tag, 2);
    putLittle(d, e.type, 2);
    putLittle(d, e.count, 4);
    if (outside[i]) {
      putLittle(d, outside[i], 4);
    } else {
      Data value;
      for (auto v : e.values) putLittle(value, v, e.type == 3 ? 2 : 4);
      value.resize(4, 0);
      d.insert(d.end(), value.begin(), value.end());
    }
  }
  putLittle(d, 0, 4);
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (outside[i])
      for (auto v : entries[i].values) putLittle(d, v, entries[i].type == 3 ? 2 : 4);
  d.insert(d.end(), pixels.begin(), pixels.end());
  return d;
}

inline Data readBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return Data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::filesystem::path& file, const Data& bytes) {
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The marked picture written again by tiffcp with `options`, from the files given; empty when
// the tool failed.
inline Data tiffcp(const std::filesystem::path& folder, const std::string& options, const std::vector<Data>& inputs) {
  std::string command = "tiffcp " + options;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    auto in = folder / ("in-" + std::to_string(i) + ".tiff");
    writeBytes(in, inputs[i]);
    command += " '" + in.string() + "'";
  }
  auto out = folder / "out.tiff";
  std::filesystem::remove(out);
  if (run(command + " '" + out.string() + "' 2>&1") != 0) return {};
  return readBytes(out);
}

struct TiffKind {
  std::string name;
  Data bytes;
  int width, height;  // as drawn
  // The colours of the drawn picture's corners: top left, top right, bottom left, bottom right.
  std::array<Mark, 4> corners;
};

// Where the stored corners land for each orientation, 1 to 8 (as the file's tag counts them).
inline std::array<Mark, 4> drawnCorners(int orientation) {
  using enum Mark;
  switch (orientation) {
    case 2: return {blue, red, green, green};
    case 3: return {green, green, blue, red};
    case 4: return {green, green, red, blue};
    case 5: return {red, green, blue, green};
    case 6: return {green, red, green, blue};
    case 7: return {green, blue, green, red};
    case 8: return {blue, green, red, green};
    default: return {red, blue, green, green};
  }
}

// Every kind, made in `folder` (tiffcp's files go there).
inline std::vector<TiffKind> tiffKinds(const std::filesystem::path& folder) {
  std::vector<TiffKind> kinds;
  const Data plain = writtenTiff({});
  for (int orientation = 1; orientation <= 8; ++orientation) {
    TiffLayout layout;
    layout.orientation = orientation;
    bool turned = orientation >= 5;
    kinds.push_back({"orientation " + std::to_string(orientation), writtenTiff(layout), turned ? 30 : 40,
                     turned ? 40 : 30, drawnCorners(orientation)});
  }
  auto marked = drawnCorners(1);
  kinds.push_back({"BigTIFF", tiffcp(folder, "-8", {plain}), 40, 30, marked});
  kinds.push_back({"BigTIFF, big-endian, in LZW tiles", tiffcp(folder, "-8 -B -t -w 16 -l 16 -c lzw", {plain}), 40, 30, marked});
  kinds.push_back({"tiles of 16 × 16, uncompressed", tiffcp(folder, "-t -w 16 -l 16 -c none", {plain}), 40, 30, marked});
  kinds.push_back({"tiles of 16 × 16, LZW", tiffcp(folder, "-t -w 16 -l 16 -c lzw", {plain}), 40, 30, marked});
  TiffLayout deep;
  deep.bits = 16;
  kinds.push_back({"16 bits to a sample", writtenTiff(deep), 40, 30, marked});
  TiffLayout inks;
  inks.cmyk = true;
  kinds.push_back({"CMYK", writtenTiff(inks), 40, 30, marked});
  TiffLayout planar;
  planar.separatePlanes = true;
  kinds.push_back({"separate planes", writtenTiff(planar), 40, 30, marked});
  TiffLayout second;
  second.yellow = true;
  second.width = 60;
  second.height = 50;
  kinds.push_back({"two pages, the first drawn", tiffcp(folder, "", {plain, writtenTiff(second)}), 40, 30, marked});
  TiffLayout turnedInTiles;
  turnedInTiles.orientation = 6;
  kinds.push_back({"BigTIFF in tiles, orientation 6", tiffcp(folder, "-8 -t -w 16 -l 16", {writtenTiff(turnedInTiles)}),
                   30, 40, drawnCorners(6)});
  return kinds;
}

}  // namespace testenv
