#include "platform/QuickPng.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <zlib.h>

#include <algorithm>
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
  Data deflated;
  uLong adler = 1;
  std::size_t length = 0;
  bool ok = false;
};

void deflateBand(const guchar* pixels, std::size_t stride, std::size_t rowBytes, int first, int end, bool last,
                 Band& band) {
  z_stream z{};
  if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return;
  std::vector<std::uint8_t> row(rowBytes + 1);
  row[0] = first == 0 ? 0 : 2;  // Up, but for the first row, which has none above.
  band.deflated.resize(deflateBound(&z, uLong((rowBytes + 1) * std::size_t(end - first))) + 64);
  z.next_out = band.deflated.data();
  z.avail_out = uInt(band.deflated.size());
  bool ok = true;
  for (int y = first; y < end && ok; ++y) {
    const guchar* line = pixels + std::size_t(y) * stride;
    if (y == 0) {
      std::memcpy(row.data() + 1, line, rowBytes);
    } else {
      row[0] = 2;
      const guchar* above = line - stride;
      for (std::size_t i = 0; i < rowBytes; ++i) row[i + 1] = std::uint8_t(line[i] - above[i]);
    }
    band.adler = adler32(band.adler, row.data(), uInt(row.size()));
    band.length += row.size();
    z.next_in = row.data();
    z.avail_in = uInt(row.size());
    ok = deflate(&z, Z_NO_FLUSH) == Z_OK && z.avail_in == 0;
  }
  if (ok) ok = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH) == (last ? Z_STREAM_END : Z_OK);
  band.deflated.resize(std::min<std::size_t>(band.deflated.size(), std::size_t(z.total_out)));
  deflateEnd(&z);
  band.ok = ok;
}

}  // namespace

Result<Data> encode(GObjectPtr<GdkPixbuf> picture) {
  GdkPixbuf* p = picture.get();
  const int width = gdk_pixbuf_get_width(p), height = gdk_pixbuf_get_height(p);
  const int channels = gdk_pixbuf_get_n_channels(p);
  if (gdk_pixbuf_get_bits_per_sample(p) != 8 || (channels != 3 && channels != 4) || width <= 0 || height <= 0)
    return fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture could not be written as PNG");
  const std::size_t stride = std::size_t(gdk_pixbuf_get_rowstride(p)), rowBytes = std::size_t(width) * std::size_t(channels);
  const guchar* pixels = gdk_pixbuf_read_pixels(p);
  // Bands of at least 64 rows, as many as there are cores (the stream of each costs its start).
  int bands = int(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
  bands = std::max(1, std::min(bands, height / 64));
  std::vector<Band> made(static_cast<std::size_t>(bands));
  {
    std::vector<std::thread> workers;
    for (int b = 0; b < bands; ++b)
      workers.emplace_back(deflateBand, pixels, stride, rowBytes, int(std::int64_t(height) * b / bands),
                           int(std::int64_t(height) * (b + 1) / bands), b == bands - 1, std::ref(made[std::size_t(b)]));
    for (auto& worker : workers) worker.join();
  }
  const bool alpha = channels == 4;
  picture.reset();
  std::size_t total = 64;
  uLong adler = 1;
  for (const Band& band : made) {
    if (!band.ok) return fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture could not be written as PNG");
    total += band.deflated.size() + 12;
    adler = adler32_combine(adler, band.adler, z_off_t(band.length));
  }
  Data png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  png.reserve(total);
  Data header;
  putBig(header, std::uint32_t(width));
  putBig(header, std::uint32_t(height));
  header.insert(header.end(), {8, std::uint8_t(alpha ? 6 : 2), 0, 0, 0});
  chunk(png, "IHDR", header.data(), header.size());
  // The stream's header, each band in a chunk of its own, and the checksum after the last.
  Data start{0x78, 0x01};
  for (std::size_t b = 0; b < made.size(); ++b) {
    Data before = b == 0 ? start : Data{};
    Data after;
    if (b + 1 == made.size()) putBig(after, std::uint32_t(adler));
    Data body = std::move(before);
    body.insert(body.end(), made[b].deflated.begin(), made[b].deflated.end());
    Data().swap(made[b].deflated);
    chunk(png, "IDAT", body.data(), body.size(), after);
  }
  chunk(png, "IEND", nullptr, 0);
  return png;
}

}  // namespace QuickPng
