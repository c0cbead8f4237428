#include "platform/QuickPng.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/ImageData.h"

namespace QuickPng {

namespace {

void putBig(Data& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(std::uint8_t(value >> shift));
}

// Appends a chunk of `type` holding `body` (and `more` after it).
void chunk(Data& out, const char* type, const std::uint8_t* body, std::size_t size, const Data& more = {}) {
  putBig(out, std::uint32_t(size + more.size()));
  std::size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  if (size) out.insert(out.end(), body, body + size);
  out.insert(out.end(), more.begin(), more.end());
  uLong crc = crc32(0, out.data() + start, uInt(out.size() - start));
  putBig(out, std::uint32_t(crc));
}

// One band of rows deflated: its bytes, ending on a byte boundary (the last band ends the stream),
// and the checksum of the rows it holds.
struct Band {
  std::vector<Data> deflated;  // in pieces, each written as a chunk of its own
  uLong adler = 1;
  std::size_t length = 0;
  bool ok = false;
  bool tooLarge = false;
};

// Whether every pixel of rows `first` to `end` is a grey (red, green and blue alike, opaque).
bool greyRows(const guchar* pixels, std::size_t stride, int width, int channels, int first, int end) {
  for (int y = first; y < end; ++y) {
    const guchar* p = pixels + std::size_t(y) * stride;
    for (int x = 0; x < width; ++x, p += channels)
      if (p[0] != p[1] || p[0] != p[2] || (channels == 4 && p[3] != 255)) return false;
  }
  return true;
}

// The samples of each pixel of `line` as written: all of them, or the first alone for a grey.
void rowOf(const guchar* line, int width, int channels, bool grey, std::uint8_t* out) {
  if (!grey) {
    std::memcpy(out, line, std::size_t(width) * std::size_t(channels));
    return;
  }
  for (int x = 0; x < width; ++x) out[x] = line[std::size_t(x) * std::size_t(channels)];
}

// `written` counts what every band has deflated so far: past `largest`, each stops.
void deflateBand(const guchar* pixels, std::size_t stride, int width, int channels, bool grey, int first, int end,
                 bool last, int level, std::atomic<std::size_t>& written, std::size_t largest, Band& band) {
  const std::size_t rowBytes = std::size_t(width) * std::size_t(grey ? 1 : channels);
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return;
  std::vector<std::uint8_t> row(rowBytes + 1), current(rowBytes), above(rowBytes);
  if (first > 0) rowOf(pixels + std::size_t(first - 1) * stride, width, channels, grey, above.data());
  // Deflated into pieces as it is made: room for the whole band would be the picture's size
  // again, touched whole, where most pictures compress.
  constexpr std::size_t piece = 1 << 20;
  auto room = [&] {
    if (z.avail_out > 0) return;
    band.deflated.emplace_back(piece);
    z.next_out = band.deflated.back().data();
    z.avail_out = uInt(piece);
  };
  // Takes in what z holds with `flush`, and at the end puts out all of it.
  auto pour = [&](int flush) {
    for (;;) {
      room();
      const int status = deflate(&z, flush);
      if (status == Z_STREAM_END) return true;
      if (status != Z_OK && status != Z_BUF_ERROR) return false;
      // Anything held back is put out once deflate leaves room unused.
      if (z.avail_in == 0 && (flush == Z_NO_FLUSH || z.avail_out > 0)) return flush != Z_FINISH;
    }
  };
  bool ok = true;
  for (int y = first; y < end && ok; ++y) {
    rowOf(pixels + std::size_t(y) * stride, width, channels, grey, current.data());
    // Up, but for the first row, which has none above.
    if (y == 0) {
      row[0] = 0;
      std::memcpy(row.data() + 1, current.data(), rowBytes);
    } else {
      row[0] = 2;
      for (std::size_t i = 0; i < rowBytes; ++i) row[i + 1] = std::uint8_t(current[i] - above[i]);
    }
    current.swap(above);
    band.adler = adler32(band.adler, row.data(), uInt(row.size()));
    band.length += row.size();
    z.next_in = row.data();
    z.avail_in = uInt(row.size());
    const uLong before = z.total_out;
    ok = pour(Z_NO_FLUSH);
    if (written.fetch_add(z.total_out - before) + (z.total_out - before) > largest) {
      band.tooLarge = true;
      ok = false;
    }
  }
  if (ok) ok = pour(last ? Z_FINISH : Z_SYNC_FLUSH);
  if (!band.deflated.empty()) band.deflated.back().resize(piece - z.avail_out);
  deflateEnd(&z);
  band.ok = ok;
}

}  // namespace

Result<Data> encode(GObjectPtr<GdkPixbuf> picture, std::size_t largest, int level) {
  GdkPixbuf* p = picture.get();
  const int width = gdk_pixbuf_get_width(p), height = gdk_pixbuf_get_height(p);
  const int channels = gdk_pixbuf_get_n_channels(p);
  if (gdk_pixbuf_get_bits_per_sample(p) != 8 || (channels != 3 && channels != 4) || width <= 0 || height <= 0)
    return fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture could not be written as PNG");
  const std::size_t stride = std::size_t(gdk_pixbuf_get_rowstride(p));
  const guchar* pixels = gdk_pixbuf_read_pixels(p);
  // Bands of at least 64 rows, as many as there are cores (the stream of each costs its start).
  int bands = int(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
  bands = std::max(1, std::min(bands, height / 64));
  auto first = [&](int b) { return int(std::int64_t(height) * b / bands); };
  // A picture all of greys (a scan, a grey TIFF) is written as one, a third of the bytes.
  std::vector<char> greys(static_cast<std::size_t>(bands), 0);
  {
    std::vector<std::thread> workers;
    for (int b = 0; b < bands; ++b)
      workers.emplace_back([&, b] { greys[std::size_t(b)] = greyRows(pixels, stride, width, channels, first(b), first(b + 1)); });
    for (auto& worker : workers) worker.join();
  }
  const bool grey = std::all_of(greys.begin(), greys.end(), [](char g) { return g != 0; });
  std::vector<Band> made(static_cast<std::size_t>(bands));
  std::atomic<std::size_t> written{0};
  {
    std::vector<std::thread> workers;
    for (int b = 0; b < bands; ++b)
      workers.emplace_back(deflateBand, pixels, stride, width, channels, grey, first(b), first(b + 1), b == bands - 1,
                           std::clamp(level, 1, 9), std::ref(written), largest, std::ref(made[std::size_t(b)]));
    for (auto& worker : workers) worker.join();
  }
  if (std::any_of(made.begin(), made.end(), [](const Band& band) { return band.tooLarge; }))
    return fail(ImageData::ErrorDomain, ImageData::tooLarge, "The picture is too large to draw at this size");
  const std::uint8_t colourType = grey ? 0 : channels == 4 ? 6 : 2;
  picture.reset();
  std::size_t total = 128;
  uLong adler = 1;
  for (const Band& band : made) {
    if (!band.ok) return fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture could not be written as PNG");
    for (const Data& piece : band.deflated) total += piece.size() + 12;
    adler = adler32_combine(adler, band.adler, z_off_t(band.length));
  }
  if (total > largest) return fail(ImageData::ErrorDomain, ImageData::tooLarge, "The picture is too large to draw at this size");
  Data png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  png.reserve(total);
  Data header;
  putBig(header, std::uint32_t(width));
  putBig(header, std::uint32_t(height));
  header.insert(header.end(), {8, colourType, 0, 0, 0});
  chunk(png, "IHDR", header.data(), header.size());
  // The stream's header, each piece of each band in a chunk of its own, and the checksum after
  // the last.
  chunk(png, "IDAT", nullptr, 0, Data{0x78, 0x01});
  for (Band& band : made)
    for (Data& piece : band.deflated) {
      if (!piece.empty()) chunk(png, "IDAT", piece.data(), piece.size());
      Data().swap(piece);
    }
  Data after;
  putBig(after, std::uint32_t(adler));
  chunk(png, "IDAT", nullptr, 0, after);
  chunk(png, "IEND", nullptr, 0);
  return png;
}

}  // namespace QuickPng
