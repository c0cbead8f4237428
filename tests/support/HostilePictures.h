#pragma once
// Tiny picture files whose headers say what a test needs, pixels or not: a 60000 × 60000 PNG
// is a few dozen bytes.

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Data.h"

namespace testenv {

inline void putBig(Data& d, std::uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) d.push_back(std::uint8_t(v >> (8 * i)));
}
inline void putLittle(Data& d, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) d.push_back(std::uint8_t(v >> (8 * i)));
}

inline std::uint32_t crc32(const std::uint8_t* p, std::size_t n) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return c ^ 0xFFFFFFFFu;
}

inline void pngChunk(Data& d, std::string_view type, const Data& body) {
  putBig(d, std::uint32_t(body.size()), 4);
  std::size_t start = d.size();
  d.insert(d.end(), type.begin(), type.end());
  d.insert(d.end(), body.begin(), body.end());
  putBig(d, crc32(d.data() + start, d.size() - start), 4);
}

// The PNG signature and IHDR of an RGBA picture, and a pHYs chunk of `pixelsPerMetre` if given.
inline Data pngHeader(std::uint32_t width, std::uint32_t height, std::optional<std::uint32_t> pixelsPerMetre = {}) {
  Data d{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Data ihdr;
  putBig(ihdr, width, 4);
  putBig(ihdr, height, 4);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  pngChunk(d, "IHDR", ihdr);
  if (pixelsPerMetre) {
    Data phys;
    putBig(phys, *pixelsPerMetre, 4);
    putBig(phys, *pixelsPerMetre, 4);
    phys.push_back(1);
    pngChunk(d, "pHYs", phys);
  }
  return d;
}

// A whole PNG file with a pHYs chunk put in after its IHDR.
inline Data withDensity(const Data& png, std::uint32_t pixelsPerMetre) {
  Data d(png.begin(), png.begin() + 33);
  Data phys;
  putBig(phys, pixelsPerMetre, 4);
  putBig(phys, pixelsPerMetre, 4);
  phys.push_back(1);
  pngChunk(d, "pHYs", phys);
  d.insert(d.end(), png.begin() + 33, png.end());
  return d;
}

// SOI and a baseline frame header of three components, then the end.
inline Data jpegHeader(std::uint32_t width, std::uint32_t height) {
  Data d{0xFF, 0xD8, 0xFF, 0xC0};
  putBig(d, 17, 2);
  d.push_back(8);
  putBig(d, height, 2);
  putBig(d, width, 2);
  d.push_back(3);
  for (std::uint8_t id : {1, 2, 3}) d.insert(d.end(), {id, 0x11, 0});
  d.insert(d.end(), {0xFF, 0xD9});
  return d;
}

// A JPEG header stating a JFIF density in dots per inch and, if given, an EXIF one.
inline Data jpegWithDensity(std::uint32_t width, std::uint32_t height, std::uint32_t jfif, std::optional<std::uint32_t> exif) {
  Data d{0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 1};
  putBig(d, jfif, 2);
  putBig(d, jfif, 2);
  d.insert(d.end(), {0, 0});
  if (exif) {
    // A big-endian TIFF directory: XResolution, YResolution (rationals after it), unit inches.
    Data tiff{'M', 'M', 0, '*', 0, 0, 0, 8, 0, 3};
    for (std::uint32_t tag : {282u, 283u}) {
      putBig(tiff, tag, 2);
      putBig(tiff, 5, 2);
      putBig(tiff, 1, 4);
      putBig(tiff, tag == 282 ? 50 : 58, 4);
    }
    for (std::uint32_t v : {296u, 3u, 1u}) putBig(tiff, v, v == 1 ? 4 : 2);
    putBig(tiff, 2, 2);
    putBig(tiff, 0, 2);
    putBig(tiff, 0, 4);
    for (int i = 0; i < 2; ++i) {
      putBig(tiff, *exif, 4);
      putBig(tiff, 1, 4);
    }
    d.insert(d.end(), {0xFF, 0xE1});
    putBig(d, std::uint32_t(2 + 6 + tiff.size()), 2);
    for (char c : std::string_view("Exif\0\0", 6)) d.push_back(std::uint8_t(c));
    d.insert(d.end(), tiff.begin(), tiff.end());
  }
  Data frame = jpegHeader(width, height);
  d.insert(d.end(), frame.begin() + 2, frame.end());
  return d;
}

// A little-endian TIFF whose first directory gives only the size.
inline Data tiffHeader(std::uint32_t width, std::uint32_t height) {
  Data d{'I', 'I', '*', 0};
  putLittle(d, 8, 4);
  putLittle(d, 2, 2);
  for (auto [tag, value] : {std::pair{256u, width}, std::pair{257u, height}}) {
    putLittle(d, tag, 2);
    putLittle(d, 4, 2);  // LONG
    putLittle(d, 1, 4);
    putLittle(d, value, 4);
  }
  putLittle(d, 0, 4);
  return d;
}

// A GIF screen of the size given, holding `frames` one-pixel frames.
inline Data gifHeader(std::uint32_t width, std::uint32_t height, int frames) {
  Data d{'G', 'I', 'F', '8', '9', 'a'};
  putLittle(d, width, 2);
  putLittle(d, height, 2);
  d.insert(d.end(), {0, 0, 0});
  for (int i = 0; i < frames; ++i) {
    d.push_back(0x2C);
    for (std::uint32_t v : {0u, 0u, 1u, 1u}) putLittle(d, v, 2);
    d.insert(d.end(), {0, 2, 2, 0x4C, 0x01, 0});
  }
  d.push_back(0x3B);
  return d;
}

// A grey JPEG of any size that really decodes: one quantisation table, one-code Huffman tables
// and a single block of data, which the decoder stretches over the whole picture.
inline Data jpegFrame(std::uint32_t width, std::uint32_t height) {
  Data d{0xFF, 0xC0};
  putBig(d, 11, 2);
  d.push_back(8);
  putBig(d, height, 2);
  putBig(d, width, 2);
  d.insert(d.end(), {1, 1, 0x11, 0});
  return d;
}
inline Data jpegPictureBody(std::uint32_t width, std::uint32_t height) {
  Data d{0xFF, 0xDB, 0, 67, 0};
  d.insert(d.end(), 64, 1);
  Data frame = jpegFrame(width, height);
  d.insert(d.end(), frame.begin(), frame.end());
  for (std::uint8_t table : {0x00, 0x10}) {
    d.insert(d.end(), {0xFF, 0xC4, 0, 20, table, 1});
    d.insert(d.end(), 15, 0);
    d.push_back(0);
  }
  d.insert(d.end(), {0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 63, 0, 0x3F, 0xFF, 0xD9});
  return d;
}
inline Data jpegPicture(std::uint32_t width, std::uint32_t height) {
  Data d{0xFF, 0xD8};
  Data body = jpegPictureBody(width, height);
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

// A JPEG that decodes at width × height, with a frame header of shownWidth × shownHeight
// before it which the decoder reads as APP1 data: the APP1 comes after a stuffed FF 00 and
// two stray bytes, which a reader taking FF 00 for a marker with a length reads as one.
inline Data jpegLiar(std::uint32_t width, std::uint32_t height, std::uint32_t shownWidth, std::uint32_t shownHeight) {
  Data d{0xFF, 0xD8, 0xFF, 0x00, 0x00, 0x06, 0xFF, 0xE1};
  Data shown = jpegFrame(shownWidth, shownHeight);
  putBig(d, std::uint32_t(shown.size() + 2), 2);
  d.insert(d.end(), shown.begin(), shown.end());
  Data body = jpegPictureBody(width, height);
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

// One entry of a classic TIFF directory: the value in its four bytes.
struct TiffEntry {
  std::uint32_t tag, type, count, value;
};

// A little-endian classic TIFF up to the end of its one directory, which follows the header.
inline Data tiffDirectory(const std::vector<TiffEntry>& entries) {
  Data d{'I', 'I', '*', 0};
  putLittle(d, 8, 4);
  putLittle(d, std::uint32_t(entries.size()), 2);
  for (const TiffEntry& e : entries) {
    putLittle(d, e.tag, 2);
    putLittle(d, e.type, 2);
    putLittle(d, e.count, 4);
    putLittle(d, e.value, 4);
  }
  putLittle(d, 0, 4);
  return d;
}

// Where the bytes after a directory of `entries` entries begin.
inline std::uint32_t afterTiffDirectory(std::size_t entries) { return 8 + 2 + std::uint32_t(entries) * 12 + 4; }

// A grey TIFF that really decodes at width × height: PackBits rows of black, sixteen to a
// strip, every strip the same bytes. `second` adds later ImageWidth and ImageLength entries
// that give another size; `sizeCount` is the count the size entries state; `changed` gives
// other values (LONG) to tags of the directory, or adds them.
inline Data tiffPicture(std::uint32_t width, std::uint32_t height,
                        std::optional<std::pair<std::uint32_t, std::uint32_t>> second = {}, std::uint32_t sizeCount = 1,
                        std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> changed = {}) {
  constexpr std::uint32_t rowsPerStrip = 16;
  Data row;
  for (std::uint32_t left = width; left > 0;) {
    std::uint32_t run = left < 128 ? left : 128;
    row.push_back(std::uint8_t(257 - run));
    row.push_back(0);
    left -= run;
  }
  std::uint32_t strips = (height + rowsPerStrip - 1) / rowsPerStrip;
  std::uint32_t stripBytes = std::uint32_t(row.size()) * rowsPerStrip;
  using Entry = TiffEntry;
  std::vector<Entry> entries{{256, 4, sizeCount, width}};
  if (second) entries.push_back({256, 4, 1, second->first});
  entries.push_back({257, 4, sizeCount, height});
  if (second) entries.push_back({257, 4, 1, second->second});
  for (Entry e : std::initializer_list<Entry>{{258, 3, 1, 8}, {259, 3, 1, 32773}, {262, 3, 1, 1}, {273, 4, strips, 0},
                                              {277, 3, 1, 1}, {278, 4, 1, rowsPerStrip}, {279, 4, strips, 0}})
    entries.push_back(e);
  for (auto [tag, value] : changed) {
    auto at = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.tag >= tag; });
    if (at != entries.end() && at->tag == tag) *at = {tag, 4, 1, value};
    else entries.insert(at, {tag, 4, 1, value});
  }
  std::uint32_t offsetsAt = afterTiffDirectory(entries.size()), countsAt = offsetsAt + 4 * strips, dataAt = countsAt + 4 * strips;
  for (Entry& e : entries) {
    if (e.tag == 273) e.value = strips == 1 ? dataAt : offsetsAt;
    if (e.tag == 279) e.value = strips == 1 ? stripBytes : countsAt;
  }
  Data d = tiffDirectory(entries);
  for (std::uint32_t i = 0; i < strips; ++i) putLittle(d, dataAt, 4);
  for (std::uint32_t i = 0; i < strips; ++i) putLittle(d, stripBytes, 4);
  for (std::uint32_t i = 0; i < rowsPerStrip; ++i) d.insert(d.end(), row.begin(), row.end());
  return d;
}

// A TIFF of `width` × `height` grey noise in a few dozen kilobytes: its strips are one row each,
// and each row is another window of one pool of noise, so that the picture holds no two rows
// alike and its PNG hardly compresses. `levels` keeps the top bits of each sample: 0xC0 makes
// four grey levels, which a PNG holds in about two bits a pixel.
inline Data noiseTiff(std::uint32_t width, std::uint32_t height, std::uint32_t seed = 1, std::uint8_t levels = 0xFF) {
  const std::uint32_t pool = width + 8192, strips = height;
  const std::uint32_t offsetsAt = afterTiffDirectory(9), countsAt = offsetsAt + 4 * strips,
                      poolAt = countsAt + 4 * strips;
  Data d = tiffDirectory({{256, 4, 1, width}, {257, 4, 1, height}, {258, 3, 1, 8}, {259, 3, 1, 1}, {262, 3, 1, 1},
                          {273, 4, strips, offsetsAt}, {277, 3, 1, 1}, {278, 4, 1, 1}, {279, 4, strips, countsAt}});
  std::uint32_t state = seed * 2654435761u + 1;
  auto next = [&] { return state = state * 1664525u + 1013904223u; };
  for (std::uint32_t i = 0; i < strips; ++i) putLittle(d, poolAt + next() % (pool - width), 4);
  for (std::uint32_t i = 0; i < strips; ++i) putLittle(d, width, 4);
  for (std::uint32_t i = 0; i < pool; ++i) d.push_back(std::uint8_t(next() >> 24) & levels);
  return d;
}

// A GIF of one-pixel frames on a screen of the size given, with a colour table, that really
// decodes; `strayByte` puts a byte the decoder skips between the first two frames.
inline Data gifPicture(std::uint32_t width, std::uint32_t height, int frames, bool strayByte = false) {
  Data d{'G', 'I', 'F', '8', '9', 'a'};
  putLittle(d, width, 2);
  putLittle(d, height, 2);
  d.insert(d.end(), {0x80, 0, 0, 0, 0, 0, 255, 255, 255});
  for (int i = 0; i < frames; ++i) {
    if (strayByte && i == 1) d.push_back(0);
    d.push_back(0x2C);
    for (std::uint32_t v : {0u, 0u, 1u, 1u}) putLittle(d, v, 2);
    d.insert(d.end(), {0, 2, 2, 0x4C, 0x01, 0});
  }
  d.push_back(0x3B);
  return d;
}


// A PNG with `count` text chunks of `type` ("zTXt", "iTXt" or "tEXt") put in after its IHDR,
// each holding `textBytes` of text: compressed, a few kilobytes that a decoder inflates to
// megabytes.
inline Data withTextChunks(const Data& png, std::string_view type, int count, std::size_t textBytes) {
  Data body;
  for (char c : std::string_view("Comment\0", 8)) body.push_back(std::uint8_t(c));
  Data text(textBytes, 'a');
  if (type == "tEXt") {
    body.insert(body.end(), text.begin(), text.end());
  } else {
    // iTXt: compressed, then an empty language tag and translated keyword.
    if (type == "iTXt") body.insert(body.end(), {1, 0, 0, 0});
    else body.push_back(0);
    uLongf length = compressBound(uLong(text.size()));
    Data packed(length);
    compress2(packed.data(), &length, text.data(), uLong(text.size()), 9);
    body.insert(body.end(), packed.begin(), packed.begin() + std::ptrdiff_t(length));
  }
  Data chunk;
  pngChunk(chunk, type, body);
  Data d(png.begin(), png.begin() + 33);
  for (int i = 0; i < count; ++i) d.insert(d.end(), chunk.begin(), chunk.end());
  d.insert(d.end(), png.begin() + 33, png.end());
  return d;
}

// Bits of JPEG entropy-coded data, most significant first, with FF bytes stuffed and the last
// byte filled with ones.
struct JpegBits {
  Data bytes;
  std::uint32_t pending = 0;
  int count = 0;
  void put(std::uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      pending = (pending << 1) | ((value >> i) & 1);
      if (++count == 8) flush();
    }
  }
  void flush() {
    bytes.push_back(std::uint8_t(pending));
    if (pending == 0xFF) bytes.push_back(0);
    pending = 0;
    count = 0;
  }
  Data finish() {
    while (count) put(1, 1);
    return std::move(bytes);
  }
};

// A grey progressive JPEG of any size that really decodes, made as an ordinary encoder makes
// one: the six scans of the usual script for one component (the DC coefficients in two, the
// AC ones in two bands and two refinements), each scan's blocks all zero, the AC ones coded
// as runs of empty blocks. `extraScans` more AC scans repeat the first band, which a decoder
// takes as the picture refined again, drawing it anew each time.
inline Data jpegProgressive(std::uint32_t width, std::uint32_t height, int extraScans = 0) {
  Data d{0xFF, 0xD8, 0xFF, 0xDB, 0, 67, 0};
  d.insert(d.end(), 64, 1);
  d.insert(d.end(), {0xFF, 0xC2, 0, 11, 8});
  putBig(d, height, 2);
  putBig(d, width, 2);
  d.insert(d.end(), {1, 1, 0x11, 0});
  // One code of one bit each: a DC difference of nothing, and a run of 2^14 + 14 bits of blocks.
  for (std::uint8_t table : {0x00, 0x10}) {
    d.insert(d.end(), {0xFF, 0xC4, 0, 20, table, 1});
    d.insert(d.end(), 15, 0);
    d.push_back(table == 0 ? 0x00 : 0xE0);
  }
  const std::uint64_t blocks = std::uint64_t((width + 7) / 8) * ((height + 7) / 8);
  auto scan = [&](std::uint8_t first, std::uint8_t last, std::uint8_t approximation) {
    d.insert(d.end(), {0xFF, 0xDA, 0, 8, 1, 1, 0x00, first, last, approximation});
    JpegBits bits;
    for (std::uint64_t left = blocks; left > 0;) {
      if (first == 0) {
        bits.put(0, 1);  // a difference of nothing, or a refinement bit of nothing
        --left;
      } else {
        bits.put(0, 1);
        bits.put(0x3FFF, 14);  // 32767 empty blocks
        left -= left < 32767 ? left : 32767;
      }
    }
    Data coded = bits.finish();
    d.insert(d.end(), coded.begin(), coded.end());
  };
  scan(0, 0, 0x01);
  scan(1, 5, 0x02);
  scan(6, 63, 0x02);
  scan(1, 63, 0x21);
  scan(0, 0, 0x10);
  scan(1, 63, 0x10);
  for (int i = 0; i < extraScans; ++i) scan(1, 63, 0x00);
  d.insert(d.end(), {0xFF, 0xD9});
  return d;
}

}  // namespace testenv
