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

// Deflates the rows of one band as they come, each filtered against the one above (the first
// against `above` when given, else as it is). `written` counts what every band has deflated so
// far: past `largest`, each stops.
class BandDeflater {
 public:
  BandDeflater(Band& band, int width, int channels, bool grey, bool last, int level, const guchar* above,
               std::atomic<std::size_t>& written, std::size_t largest)
      : band_(band), width_(width), channels_(channels), grey_(grey), last_(last), written_(written),
        largest_(largest), rowBytes_(std::size_t(width) * std::size_t(grey ? 1 : channels)), row_(rowBytes_ + 1),
        current_(rowBytes_), above_(rowBytes_) {
    ok_ = deflateInit2(&z_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    started_ = ok_;
    if (above) rowOf(above, width, channels, grey, above_.data());
    first_ = !above;
  }
  ~BandDeflater() {
    if (started_) deflateEnd(&z_);
  }
  BandDeflater(const BandDeflater&) = delete;
  BandDeflater& operator=(const BandDeflater&) = delete;

  bool add(const guchar* line) {
    if (!ok_) return false;
    rowOf(line, width_, channels_, grey_, current_.data());
    if (first_) {
      row_[0] = 0;
      std::memcpy(row_.data() + 1, current_.data(), rowBytes_);
      first_ = false;
    } else {
      row_[0] = 2;
      for (std::size_t i = 0; i < rowBytes_; ++i) row_[i + 1] = std::uint8_t(current_[i] - above_[i]);
    }
    current_.swap(above_);
    band_.adler = adler32(band_.adler, row_.data(), uInt(row_.size()));
    band_.length += row_.size();
    z_.next_in = row_.data();
    z_.avail_in = uInt(row_.size());
    const uLong before = z_.total_out;
    ok_ = pour(Z_NO_FLUSH);
    if (written_.fetch_add(z_.total_out - before) + (z_.total_out - before) > largest_) {
      band_.tooLarge = true;
      ok_ = false;
    }
    return ok_;
  }

  void end() {
    if (ok_) ok_ = pour(last_ ? Z_FINISH : Z_SYNC_FLUSH);
    if (!band_.deflated.empty()) band_.deflated.back().resize(piece - z_.avail_out);
    band_.ok = ok_;
  }

 private:
  // Deflated into pieces as it is made: room for the whole band would be the picture's size
  // again, touched whole, where most pictures compress.
  static constexpr std::size_t piece = 1 << 20;

  // Takes in what z holds with `flush`, and at the end puts out all of it.
  bool pour(int flush) {
    for (;;) {
      if (z_.avail_out == 0) {
        band_.deflated.emplace_back(piece);
        z_.next_out = band_.deflated.back().data();
        z_.avail_out = uInt(piece);
      }
      const int status = deflate(&z_, flush);
      if (status == Z_STREAM_END) return true;
      if (status != Z_OK && status != Z_BUF_ERROR) return false;
      // Anything held back is put out once deflate leaves room unused.
      if (z_.avail_in == 0 && (flush == Z_NO_FLUSH || z_.avail_out > 0)) return flush != Z_FINISH;
    }
  }

  Band& band_;
  const int width_, channels_;
  const bool grey_, last_;
  std::atomic<std::size_t>& written_;
  const std::size_t largest_, rowBytes_;
  std::vector<std::uint8_t> row_, current_, above_;
  z_stream z_{};
  bool ok_ = false, started_ = false, first_ = true;
};

void deflateBand(const guchar* pixels, std::size_t stride, int width, int channels, bool grey, int first, int end,
                 bool last, int level, std::atomic<std::size_t>& written, std::size_t largest, Band& band) {
  BandDeflater deflater(band, width, channels, grey, last, level,
                        first > 0 ? pixels + std::size_t(first - 1) * stride : nullptr, written, largest);
  for (int y = first; y < end; ++y)
    if (!deflater.add(pixels + std::size_t(y) * stride)) break;
  deflater.end();
}

// The PNG of `made`, the bands of a picture top to bottom.
Result<Data> assemble(std::vector<Band>& made, int width, int height, std::uint8_t colourType, std::size_t largest) {
  if (std::any_of(made.begin(), made.end(), [](const Band& band) { return band.tooLarge; }))
    return fail(ImageData::ErrorDomain, ImageData::tooLarge, "The picture is too large to draw at this size");
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

std::uint8_t colourTypeOf(bool grey, int channels) { return grey ? 0 : channels == 4 ? 6 : 2; }

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
  picture.reset();
  return assemble(made, width, height, colourTypeOf(grey, channels), largest);
}

struct Stream::State {
  int width, height, channels;
  bool grey;
  std::size_t largest;
  std::atomic<std::size_t> written{0};
  std::vector<Band> made;
  std::vector<std::unique_ptr<BandDeflater>> deflaters;
};

Stream::Stream(int width, int height, int channels, bool grey,
               const std::vector<std::pair<std::uint32_t, std::uint32_t>>& bands, std::size_t largest, int level)
    : state_(std::make_unique<State>()) {
  auto& s = *state_;
  s.width = width, s.height = height, s.channels = channels, s.grey = grey, s.largest = largest;
  // A picture that can't be written takes no rows, and finish() says so.
  if (width <= 0 || height <= 0 || (channels != 3 && channels != 4)) return;
  s.made.resize(bands.size());
  for (std::size_t b = 0; b < bands.size(); ++b)
    s.deflaters.push_back(std::make_unique<BandDeflater>(s.made[b], width, channels, grey, b + 1 == bands.size(),
                                                         std::clamp(level, 1, 9), nullptr, s.written, largest));
}

Stream::~Stream() = default;

bool Stream::row(std::size_t band, const std::uint8_t* pixels) {
  return band < state_->deflaters.size() && state_->deflaters[band]->add(pixels);
}

Result<Data> Stream::finish() {
  auto& s = *state_;
  if (s.made.empty()) return fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture could not be written as PNG");
  for (auto& deflater : s.deflaters) deflater->end();
  s.deflaters.clear();
  return assemble(s.made, s.width, s.height, colourTypeOf(s.grey, s.channels), s.largest);
}

}  // namespace QuickPng
