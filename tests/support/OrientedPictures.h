#pragma once
// Photographs that say how they are to be drawn: the marked picture of TiffKinds.h (40 × 30 as
// stored, red and blue in its stored top corners) as JPEG, PNG and WebP, each carrying an EXIF
// orientation the way cameras and tools write it. Encoded by gdk-pixbuf and libwebp; the EXIF
// block is written here, byte by byte.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <webp/encode.h>

#include <cstring>
#include <optional>
#include <string>

#include "support/HostilePictures.h"
#include "support/TiffKinds.h"

namespace testenv {

// How the orientation is written: byte order, the entry's type and count, and other entries
// before it.
struct ExifLayout {
  bool bigEndian = true;
  std::uint32_t type = 3;  // SHORT
  std::uint32_t count = 1;
  int entriesBefore = 0;   // descriptions (ASCII, kept outside the directory) before the orientation
};

// The TIFF body of an EXIF block whose first directory holds the orientation.
inline Data exifBody(std::uint32_t orientation, const ExifLayout& layout = {}) {
  Data d;
  auto put = [&](std::uint32_t v, int bytes) { layout.bigEndian ? putBig(d, v, bytes) : putLittle(d, v, bytes); };
  if (layout.bigEndian) d.insert(d.end(), {'M', 'M', 0, 42});
  else d.insert(d.end(), {'I', 'I', 42, 0});
  put(8, 4);
  const std::uint32_t entries = std::uint32_t(layout.entriesBefore) + 1;
  put(entries, 2);
  const std::uint32_t textAt = 8 + 2 + entries * 12 + 4;
  for (int i = 0; i < layout.entriesBefore; ++i) {
    put(0x010E, 2);  // image description
    put(2, 2);
    put(8, 4);
    put(textAt, 4);
  }
  put(0x0112, 2);
  put(layout.type, 2);
  put(layout.count, 4);
  if (layout.type == 4) {
    put(orientation, 4);
  } else {
    put(orientation, 2);
    put(0, 2);
  }
  put(0, 4);
  if (layout.entriesBefore) d.insert(d.end(), {'a', ' ', 'p', 'h', 'o', 't', 'o', 0});
  return d;
}

inline GdkPixbuf* markedPixbuf() {
  GdkPixbuf* picture = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 40, 30);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) {
      auto rgb = markColour(storedMark(x, y, 40));
      std::memcpy(gdk_pixbuf_get_pixels(picture) + y * gdk_pixbuf_get_rowstride(picture) + x * 3, rgb.data(), 3);
    }
  return picture;
}

inline Data encodedMarked(const char* type) {
  GdkPixbuf* picture = markedPixbuf();
  gchar* buffer = nullptr;
  gsize length = 0;
  bool saved = std::string(type) == "jpeg"
                   ? gdk_pixbuf_save_to_buffer(picture, &buffer, &length, type, nullptr, "quality", "100", nullptr)
                   : gdk_pixbuf_save_to_buffer(picture, &buffer, &length, type, nullptr, nullptr);
  g_object_unref(picture);
  if (!saved) return {};
  Data bytes(reinterpret_cast<std::uint8_t*>(buffer), reinterpret_cast<std::uint8_t*>(buffer) + length);
  g_free(buffer);
  return bytes;
}

// An APP1 segment "Exif\0\0" + body.
inline Data exifSegment(const Data& body) {
  Data segment{0xFF, 0xE1};
  putBig(segment, std::uint32_t(body.size() + 8), 2);
  segment.insert(segment.end(), {'E', 'x', 'i', 'f', 0, 0});
  segment.insert(segment.end(), body.begin(), body.end());
  return segment;
}

// Any JPEG with `segments` right after its start.
inline Data jpegWith(const Data& jpeg, const std::vector<Data>& segments) {
  if (jpeg.size() < 2) return {};
  Data out(jpeg.begin(), jpeg.begin() + 2);
  for (const auto& s : segments) out.insert(out.end(), s.begin(), s.end());
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

// Where in a JPEG segments go: right after its start, after its frame header, or after its scan.
enum class JPEGPlace { start, afterFrame, afterScan };

// The marked JPEG with `segments` put in at `place`.
inline Data markedJPEG(const std::vector<Data>& segments, JPEGPlace place = JPEGPlace::start) {
  Data jpeg = encodedMarked("jpeg");
  if (jpeg.size() < 4) return {};
  std::size_t at = 2;
  if (place == JPEGPlace::afterScan) {
    at = jpeg.size() - 2;  // before the end marker
  } else if (place == JPEGPlace::afterFrame) {
    // The segments before the scan, by their lengths, up to the one after the frame header.
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
      std::uint8_t marker = jpeg[at + 1];
      at += 2 + (std::size_t(jpeg[at + 2]) << 8 | jpeg[at + 3]);
      if (marker == 0xC0) break;
    }
  }
  Data out(jpeg.begin(), jpeg.begin() + long(at));
  for (const auto& s : segments) out.insert(out.end(), s.begin(), s.end());
  out.insert(out.end(), jpeg.begin() + long(at), jpeg.end());
  return out;
}
inline Data markedJPEG(std::uint32_t orientation, const ExifLayout& layout = {}) {
  return markedJPEG({exifSegment(exifBody(orientation, layout))});
}

// A way of writing a JPEG's orientation, and how the pages' engine draws that JPEG (measured with
// it): its orientation, 1 to 8.
struct ExifCase {
  std::string name;
  Data bytes;
  std::uint32_t drawn;
};

inline std::vector<ExifCase> exifCases() {
  std::vector<ExifCase> cases;
  for (std::uint32_t o = 1; o <= 8; ++o) cases.push_back({"orientation " + std::to_string(o), markedJPEG(o), o});
  ExifLayout little;
  little.bigEndian = false;
  cases.push_back({"little-endian", markedJPEG(6, little), 6});
  ExifLayout asLong;
  asLong.type = 4;
  cases.push_back({"a LONG, not a SHORT", markedJPEG(6, asLong), 1});
  ExifLayout two;
  two.count = 2;
  cases.push_back({"two values", markedJPEG(6, two), 1});
  ExifLayout described;
  described.entriesBefore = 2;
  cases.push_back({"after other entries", markedJPEG(6, described), 6});
  cases.push_back({"0, unknown", markedJPEG(0), 1});
  cases.push_back({"9, unknown", markedJPEG(9), 1});
  const Data emptyDirectory{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0};
  const Data turned = exifSegment(exifBody(6));
  cases.push_back({"a block without one, then 6", markedJPEG({exifSegment(emptyDirectory), turned}), 6});
  cases.push_back({"5, then 6", markedJPEG({exifSegment(exifBody(5)), turned}), 5});
  cases.push_back({"1, then 6", markedJPEG({exifSegment(exifBody(1)), turned}), 1});
  cases.push_back({"9, then 6", markedJPEG({exifSegment(exifBody(9)), turned}), 1});
  Data filled = turned;
  filled[9] = 'X';  // the byte after "Exif\0"
  cases.push_back({"any byte after Exif", markedJPEG({filled}), 6});
  Data far = exifBody(6);
  far[7] = 0xF0;  // the directory's offset, beyond the block
  cases.push_back({"a directory beyond the block, then 6", markedJPEG({exifSegment(far), turned}), 6});
  Data cut = exifBody(6);
  cut.resize(8 + 2 + 11);  // the entry one byte short
  cases.push_back({"an entry cut short, then 5", markedJPEG({exifSegment(cut), exifSegment(exifBody(5))}), 5});
  Data notTiff = exifBody(6);
  notTiff[3] = 43;
  cases.push_back({"no TIFF header, then 7", markedJPEG({exifSegment(notTiff), exifSegment(exifBody(7))}), 7});
  cases.push_back({"after the frame header", markedJPEG({turned}, JPEGPlace::afterFrame), 6});
  cases.push_back({"after the scan", markedJPEG({turned}, JPEGPlace::afterScan), 1});
  return cases;
}

// The marked PNG with an eXIf chunk before its image data.
inline Data markedPNG(std::uint32_t orientation, const ExifLayout& layout = {}) {
  Data png = encodedMarked("png");
  // Signature and IHDR: 8 + 25 bytes.
  if (png.size() < 33) return {};
  Data out(png.begin(), png.begin() + 33);
  pngChunk(out, "eXIf", exifBody(orientation, layout));
  out.insert(out.end(), png.begin() + 33, png.end());
  return out;
}

// The marked WebP (lossless) in the extended layout, with an EXIF chunk after its pixels.
inline Data markedWebP(std::uint32_t orientation, const ExifLayout& layout = {}) {
  GdkPixbuf* picture = markedPixbuf();
  std::uint8_t* encoded = nullptr;
  std::size_t size = WebPEncodeLosslessRGB(gdk_pixbuf_get_pixels(picture), 40, 30, gdk_pixbuf_get_rowstride(picture), &encoded);
  g_object_unref(picture);
  if (size < 20) return {};
  Data simple(encoded, encoded + size);
  WebPFree(encoded);
  Data body{'W', 'E', 'B', 'P', 'V', 'P', '8', 'X'};
  putLittle(body, 10, 4);
  body.insert(body.end(), {0x08, 0, 0, 0});  // EXIF present
  putLittle(body, 39, 3);
  putLittle(body, 29, 3);
  body.insert(body.end(), simple.begin() + 12, simple.end());  // the image chunk
  Data exif = exifBody(orientation, layout);
  body.insert(body.end(), {'E', 'X', 'I', 'F'});
  putLittle(body, std::uint32_t(exif.size()), 4);
  body.insert(body.end(), exif.begin(), exif.end());
  if (exif.size() & 1) body.push_back(0);
  Data out{'R', 'I', 'F', 'F'};
  putLittle(out, std::uint32_t(body.size()), 4);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

}  // namespace testenv
