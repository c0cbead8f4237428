// TIFF through the system's TIFF library rather than the general decoder, which reads neither
// the big layout nor every tiled file, and leaves quarter turns to its caller. The file is read
// from memory, held to the header already checked before anything is allocated, and drawn the
// way its orientation says.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ImageData.h"
#include "platform/ImageOrientation.h"
#include "platform/QuickPng.h"

namespace ImageData {

namespace {

// The file's bytes as the library's stream: read-only, and mapped, so that the library checks
// every offset and count it reads against the bytes there are before it allocates for them.
struct MemoryFile {
  const Data& bytes;
  std::uint64_t at = 0;

  static MemoryFile& of(thandle_t handle) { return *static_cast<MemoryFile*>(handle); }
  static tmsize_t read(thandle_t handle, void* into, tmsize_t size) {
    auto& file = of(handle);
    if (size <= 0 || file.at >= file.bytes.size()) return 0;
    std::size_t n = std::min<std::uint64_t>(std::uint64_t(size), file.bytes.size() - file.at);
    std::memcpy(into, file.bytes.data() + file.at, n);
    file.at += n;
    return tmsize_t(n);
  }
  static tmsize_t write(thandle_t, void*, tmsize_t) { return 0; }
  static toff_t seek(thandle_t handle, toff_t offset, int whence) {
    auto& file = of(handle);
    std::uint64_t base = whence == SEEK_CUR ? file.at : whence == SEEK_END ? file.bytes.size() : 0;
    if (offset > UINT64_MAX - base) return toff_t(-1);
    file.at = base + offset;
    return file.at;
  }
  static int close(thandle_t) { return 0; }
  static toff_t size(thandle_t handle) { return of(handle).bytes.size(); }
  static int map(thandle_t handle, void** base, toff_t* size) {
    auto& file = of(handle);
    *base = const_cast<std::uint8_t*>(file.bytes.data());
    *size = file.bytes.size();
    return 1;
  }
  static void unmap(thandle_t, void*, toff_t) {}
};

// The library's complaints are about untrusted bytes: they are not ours to print. One warning
// is a fault all the same: a JPEG frame smaller than its strip or tile, which the library would
// draw blank to the size the header claims.
struct Complaints {
  bool frameTooSmall = false;
};
int quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }
int warned(TIFF*, void* complaints, const char*, const char* format, va_list) {
  if (complaints && format && std::strncmp(format, "Improper JPEG strip/tile size", 29) == 0)
    static_cast<Complaints*>(complaints)->frameTooSmall = true;
  return 1;
}

struct TiffCloser {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

struct OptionsFree {
  void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

// The most the library may allocate at once: the bound on what a decoder holds beside the
// picture, and never less than one row of the largest picture.
tmsize_t allocationBound(const ImageHeader::Facts& header) {
  double bound = maximumDecoderBytesPerPixel * std::min(header.decodedPixels(), maximumPixels) + decoderBytesAnyPicture;
  return tmsize_t(bound);
}

TiffPtr open(MemoryFile& file, const ImageHeader::Facts& header, Complaints* complaints = nullptr) {
  std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
  if (!options) return nullptr;
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), allocationBound(header));
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), quiet, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), warned, complaints);
  return TiffPtr(TIFFClientOpenExt("picture", "r", &file, MemoryFile::read, MemoryFile::write, MemoryFile::seek,
                                   MemoryFile::close, MemoryFile::size, MemoryFile::map, MemoryFile::unmap,
                                   options.get()));
}

// The stored size, the library's own reading of the first directory.
std::optional<PixelSize> storedSize(TIFF* tiff) {
  std::uint32_t width = 0, height = 0;
  if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height) ||
      width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX)
    return std::nullopt;
  return PixelSize{int(width), int(height)};
}

// The bytes the library holds for one strip or tile of every plane, and its table of them.
double codedBytes(TIFF* tiff) {
  std::uint16_t planar = PLANARCONFIG_CONTIG, samples = 1;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  double planes = planar == PLANARCONFIG_SEPARATE ? samples : 1;
  bool tiled = TIFFIsTiled(tiff);
  double piece = double(tiled ? TIFFTileSize64(tiff) : TIFFStripSize64(tiff));
  double pieces = double(tiled ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff));
  return piece * planes + 16.0 * pieces;
}

// The width and height of the JPEG frame that begins `piece`: its start of image, then marker
// segments up to the frame's. A frame behind more segments than a coder writes is not looked for.
std::optional<std::pair<std::uint32_t, std::uint32_t>> jpegFrameSize(std::span<const std::uint8_t> piece) {
  if (piece.size() < 4 || piece[0] != 0xFF || piece[1] != 0xD8) return std::nullopt;
  std::size_t at = 2;
  for (int segments = 0; segments < 64; ++segments) {
    while (at < piece.size() && piece[at] == 0xFF && at + 1 < piece.size() && piece[at + 1] == 0xFF) ++at;
    if (at + 4 > piece.size() || piece[at] != 0xFF) return std::nullopt;
    std::uint8_t marker = piece[at + 1];
    std::size_t length = std::size_t(piece[at + 2]) << 8 | piece[at + 3];
    if (length < 2 || at + 2 + length > piece.size()) return std::nullopt;
    bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (length < 7) return std::nullopt;
      std::uint32_t height = std::uint32_t(piece[at + 5]) << 8 | piece[at + 6];
      std::uint32_t width = std::uint32_t(piece[at + 7]) << 8 | piece[at + 8];
      return std::pair{width, height};
    }
    if (marker == 0xDA || marker == 0xD9) return std::nullopt;
    at += 2 + length;
  }
  return std::nullopt;
}

// Of a JPEG-compressed TIFF, whether the frame of every strip or tile covers the pixels its place
// holds, checked before anything is allocated for them. Other TIFFs have no frame to check.
bool jpegFramesFit(TIFF* tiff, const Data& bytes, PixelSize stored) {
  std::uint16_t compression = COMPRESSION_NONE, planar = PLANARCONFIG_CONTIG;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
  if (compression != COMPRESSION_JPEG) return true;
  bool tiled = TIFFIsTiled(tiff);
  std::uint32_t pieceWidth = std::uint32_t(stored.width), pieceHeight = 0, rows = 0;
  if (tiled) {
    if (!TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &pieceWidth) || !TIFFGetField(tiff, TIFFTAG_TILELENGTH, &pieceHeight))
      return false;
  } else {
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rows);
    rows = std::clamp<std::uint32_t>(rows, 1, std::uint32_t(stored.height));
  }
  std::uint32_t pieces = tiled ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
  // Planes after the first may be stored at a lower resolution: the library checks those itself.
  std::uint16_t samples = 1;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  std::uint32_t firstPlane = planar == PLANARCONFIG_SEPARATE ? pieces / std::max<std::uint16_t>(samples, 1) : pieces;
  for (std::uint32_t i = 0; i < firstPlane; ++i) {
    int error = 0;
    std::uint64_t offset = TIFFGetStrileOffsetWithErr(tiff, i, &error);
    std::uint64_t count = error ? 0 : TIFFGetStrileByteCountWithErr(tiff, i, &error);
    if (error || offset > bytes.size() || count > bytes.size() - offset) return false;
    auto frame = jpegFrameSize(std::span(bytes.data() + offset, std::size_t(count)));
    std::uint64_t above = std::min<std::uint64_t>(std::uint64_t(i) * rows, std::uint64_t(stored.height));
    std::uint32_t height = tiled ? pieceHeight : std::uint32_t(std::min<std::uint64_t>(rows, stored.height - above));
    if (!frame || frame->first < pieceWidth || frame->second < height) return false;
  }
  return true;
}

// The library's pixels carry their alpha multiplied in; a picture's carry it apart.
void unpremultiply(std::uint8_t* p) {
  unsigned alpha = p[3];
  if (alpha == 0 || alpha == 255) return;
  for (int c = 0; c < 3; ++c) p[c] = std::uint8_t(std::min(255u, (p[c] * 255u + alpha / 2) / alpha));
}

// The rows of one strip or tile, or of one band when it can't be cut (a picture of one strip).
std::uint32_t pieceRowsOf(TIFF* tiff, PixelSize stored) {
  std::uint32_t pieceRows = 0;
  if (TIFFIsTiled(tiff)) {
    if (!TIFFGetField(tiff, TIFFTAG_TILELENGTH, &pieceRows)) pieceRows = std::uint32_t(stored.height);
  } else {
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &pieceRows);
  }
  return std::clamp<std::uint32_t>(pieceRows, 1, std::uint32_t(stored.height));
}

// The rows of a picture cut into bands of whole strips or tiles, as many as there are cores but
// no more than the pieces, and few enough that every band's reader holds its piece within the
// bound a decoder may hold beside the picture: one band for a picture of one piece or a small one.
std::vector<std::pair<std::uint32_t, std::uint32_t>> bandsOf(TIFF* tiff, PixelSize stored) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> bands;
  const auto height = std::uint32_t(stored.height);
  const std::uint32_t pieceRows = pieceRowsOf(tiff, stored);
  const std::uint32_t pieces = (height + pieceRows - 1) / pieceRows;
  std::uint32_t count = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
  count = std::min(count, pieces);
  while (count > 1 && codedBytes(tiff) * count > decoderBytesAnyPicture) --count;
  if (double(stored.width) * stored.height < 4e6) count = 1;
  const std::uint32_t perBand = (pieces + count - 1) / count * pieceRows;
  for (std::uint32_t first = 0; first < height; first += perBand)
    bands.emplace_back(first, std::min(perBand, height - first));
  return bands;
}

// How a picture is read: in bands of `chunk` rows at a time, each chunk through a few rows of the
// library's pixels straight into what is made (`inPieces`), or whole into a raster first.
struct Reading {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> bands;
  std::uint32_t chunk = 0;
  bool inPieces = false;
};

Reading readingOf(TIFF* tiff, PixelSize stored, int orientationTag) {
  Reading reading;
  reading.bands = bandsOf(tiff, stored);
  const std::uint32_t pieceRows = pieceRowsOf(tiff, stored);
  reading.chunk = (std::max<std::uint32_t>(32, pieceRows) + pieceRows - 1) / pieceRows * pieceRows;
  const std::size_t count = std::size_t(stored.width) * std::size_t(stored.height);
  reading.inPieces = orientationTag == 1 &&
                     std::size_t(reading.chunk) * std::size_t(stored.width) * 4 * reading.bands.size() * 4 <= count * 4;
  return reading;
}

// Whether a picture read so comes reduced to `to` as it is read.
bool reducesInPieces(const Reading& reading, PixelSize stored, std::optional<PixelSize> to) {
  return reading.inPieces && to && to->width >= 1 && to->height >= 1 && to->width < stored.width &&
         to->height < stored.height;
}

// How a band's rows were read: fine; not drawable, in the library's words; not decoding; or
// with a JPEG frame smaller than its piece.
enum class Read : char { fine, cannot, undecodable, damaged };

// Decodes `rows` rows from `first` by a reader of its own, stored top row first, `chunk` rows at
// a time: each chunk into `at(row)` (room for its rows at `width` pixels), then `took(row, count)`
// is told of it.
Read readRows(const Data& bytes, const ImageHeader::Facts& header, std::uint32_t first, std::uint32_t rows,
              std::uint32_t width, std::uint32_t chunk, const std::function<std::uint32_t*(std::uint32_t)>& at,
              const std::function<void(std::uint32_t, std::uint32_t)>& took, char (&why)[1024]) {
  MemoryFile file{bytes};
  Complaints complaints;
  auto tiff = open(file, header, &complaints);
  if (!tiff) return Read::undecodable;
  TIFFRGBAImage reader{};
  // A strip or tile that does not decode fails the picture: the library would otherwise go on
  // and give the rest of the picture blank at the size its header claims.
  if (!TIFFRGBAImageBegin(&reader, tiff.get(), 1, why)) return Read::cannot;
  struct End {
    TIFFRGBAImage& reader;
    ~End() { TIFFRGBAImageEnd(&reader); }
  } end{reader};
  // The rows as stored, top first: the library would mirror some orientations itself and
  // drop the quarter turn; every orientation is applied once, after.
  reader.orientation = ORIENTATION_TOPLEFT;
  reader.req_orientation = ORIENTATION_TOPLEFT;
  for (std::uint32_t row = first; row < first + rows; row += chunk) {
    const std::uint32_t count = std::min(chunk, first + rows - row);
    reader.row_offset = int(row);
    if (!TIFFRGBAImageGet(&reader, at(row), width, count)) return Read::undecodable;
    if (took) took(row, count);
  }
  return complaints.frameTooSmall ? Read::damaged : Read::fine;
}

// A picture reduced as its rows are read, band by band on threads of their own: each pixel
// made is the average of the stored pixels that fall in it, so no more than it and a row of
// sums for each band is held. `read(took)` reads every band, telling `took(band, row, pixels)`
// of each row (the library's premultiplied R, G, B, A bytes), a band's rows in order.
using RowTaken = std::function<void(std::size_t, std::uint32_t, const std::uint8_t*)>;

GObjectPtr<GdkPixbuf> reduceInPieces(PixelSize stored, PixelSize to, bool alpha,
                                     const std::vector<std::pair<std::uint32_t, std::uint32_t>>& bands,
                                     const std::function<void(const RowTaken&)>& read) {
  GObjectPtr<GdkPixbuf> picture(gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, to.width, to.height));
  if (!picture) return picture;
  const int channels = alpha ? 4 : 3;
  guchar* out = gdk_pixbuf_get_pixels(picture.get());
  const std::size_t stride = std::size_t(gdk_pixbuf_get_rowstride(picture.get()));
  const auto W = std::uint64_t(stored.width), H = std::uint64_t(stored.height);
  const auto w = std::uint64_t(to.width), h = std::uint64_t(to.height);
  std::vector<std::uint32_t> column(stored.width), columnCount(to.width, 0);
  for (std::uint64_t x = 0; x < W; ++x) ++columnCount[column[x] = std::uint32_t(x * w / W)];
  auto rowOf = [&](std::uint64_t y) { return std::uint32_t(y * h / H); };
  auto firstRowOf = [&](std::uint64_t Y) { return (Y * H + h - 1) / h; };  // the first stored row of made row Y

  // A made row is written by the band that read all of it; one that two bands share is summed
  // apart and written once both have.
  std::mutex shared;
  std::map<std::uint32_t, std::vector<std::uint64_t>> sharedRows;
  auto write = [&](std::uint32_t Y, const std::vector<std::uint64_t>& sums) {
    const std::uint64_t rows = firstRowOf(Y + 1) - firstRowOf(Y);
    guchar* q = out + std::size_t(Y) * stride;
    for (std::uint64_t x = 0; x < w; ++x, q += channels) {
      const std::uint64_t n = std::max<std::uint64_t>(1, rows * columnCount[x]);
      const std::uint64_t* sum = sums.data() + x * 4;
      std::uint8_t p[4];
      for (int c = 0; c < 4; ++c) p[c] = std::uint8_t((sum[c] + n / 2) / n);
      if (alpha) unpremultiply(p);
      std::memcpy(q, p, std::size_t(channels));
    }
  };
  struct Band {
    std::vector<std::uint64_t> sums;
    std::int64_t row = -1;  // the made row being summed
  };
  std::vector<Band> state(bands.size());
  for (auto& band : state) band.sums.assign(std::size_t(w) * 4, 0);
  auto flush = [&](std::size_t b) {
    Band& band = state[b];
    if (band.row < 0) return;
    const auto Y = std::uint32_t(band.row);
    const std::uint64_t first = bands[b].first, end = first + bands[b].second;
    if (firstRowOf(Y) >= first && firstRowOf(Y + 1) <= end) {
      write(Y, band.sums);
    } else {
      std::lock_guard lock(shared);
      auto& sums = sharedRows[Y];
      if (sums.empty()) sums.assign(band.sums.size(), 0);
      for (std::size_t i = 0; i < sums.size(); ++i) sums[i] += band.sums[i];
    }
    std::fill(band.sums.begin(), band.sums.end(), 0);
    band.row = -1;
  };
  read([&](std::size_t b, std::uint32_t y, const std::uint8_t* pixels) {
    Band& band = state[b];
    const std::uint32_t Y = rowOf(y);
    if (band.row != std::int64_t(Y)) {
      flush(b);
      band.row = Y;
    }
    std::uint64_t* sums = band.sums.data();
    for (std::uint64_t x = 0; x < W; ++x, pixels += 4) {
      std::uint64_t* sum = sums + std::size_t(column[x]) * 4;
      sum[0] += pixels[0];
      sum[1] += pixels[1];
      sum[2] += pixels[2];
      sum[3] += pixels[3];
    }
  });
  for (std::size_t b = 0; b < bands.size(); ++b) flush(b);
  for (const auto& [Y, sums] : sharedRows) write(Y, sums);
  return picture;
}

}  // namespace

std::optional<PixelSize> tiffSize(const Data& bytes) {
  ImageHeader::Facts unbounded;
  unbounded.width = unbounded.height = 1u << 16;
  MemoryFile file{bytes};
  auto tiff = open(file, unbounded);
  if (!tiff) return std::nullopt;
  auto size = storedSize(tiff.get());
  if (!size) return std::nullopt;
  std::uint16_t orientation = ORIENTATION_TOPLEFT;
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_ORIENTATION, &orientation);
  ImageOrientation drawn{orientation, size->width, size->height};
  return PixelSize{drawn.width(), drawn.height()};
}

namespace {

// decodeTiff; with `png`, a picture drawn whole from strips or tiles is made a PNG of as it is
// read, into `png`, and no picture is answered.
Result<GObjectPtr<GdkPixbuf>> readTiff(const Data& bytes, const ImageHeader::Facts& header,
                                       std::optional<PixelSize> reducedTo, std::optional<Result<Data>>* png,
                                       std::size_t largestPng) {
  auto undecodable = [] { return fail(ErrorDomain, notAnImage, "The picture's data does not decode"); };
  auto damaged = [] { return fail(ErrorDomain, notAnImage, "The picture's data does not match its header"); };
  MemoryFile file{bytes};
  Complaints complaints;
  auto tiff = open(file, header, &complaints);
  if (!tiff) return undecodable();
  auto stored = storedSize(tiff.get());
  if (!stored) return undecodable();
  // The orientation is the header's: where the library reads another, it is not believed.
  std::uint16_t tag = ORIENTATION_TOPLEFT;
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_ORIENTATION, &tag);
  if ((tag >= 1 && tag <= 8 ? tag : 1) != header.orientation) return undecodable();
  ImageOrientation orientation{header.orientation, stored->width, stored->height};
  double pixels = double(stored->width) * double(stored->height);
  if (std::uint32_t(orientation.width()) > header.width || std::uint32_t(orientation.height()) > header.height ||
      pixels > maximumPixels)
    return fail(ErrorDomain, tooLarge,
                "The picture's decoder finds " + std::to_string(orientation.width()) + " × " +
                    std::to_string(orientation.height()) + " pixels where its header says " +
                    std::to_string(header.width) + " × " + std::to_string(header.height));
  if (codedBytes(tiff.get()) > maximumDecoderBytesPerPixel * pixels + decoderBytesAnyPicture)
    return fail(ErrorDomain, tooLarge, "The picture needs too much memory to decode");
  if (!jpegFramesFit(tiff.get(), bytes, *stored)) return damaged();

  // What the library can't draw (samples of floating point or 32 bits, colour spaces it does not
  // know) is said plainly, in its words.
  char why[1024] = {};
  auto cannot = [&] {
    why[sizeof why - 1] = 0;
    return fail(ErrorDomain, notAnImage, std::string("This kind of TIFF picture can't be drawn: ") + why);
  };
  if (!TIFFRGBAImageOK(tiff.get(), why)) return cannot();
  bool alpha = false;
  {
    TIFFRGBAImage reader{};
    if (!TIFFRGBAImageBegin(&reader, tiff.get(), 1, why)) return cannot();
    alpha = reader.alpha != 0;
    TIFFRGBAImageEnd(&reader);
  }
  const std::size_t count = std::size_t(stored->width) * std::size_t(stored->height);
  const auto width = std::uint32_t(stored->width);
  const int channels = alpha ? 4 : 3;
  // A large picture in many pieces is decoded band by band on every core, each band by a reader
  // of its own.
  const Reading reading = readingOf(tiff.get(), *stored, orientation.tag);
  const auto& bands = reading.bands;
  std::vector<Read> read(bands.size(), Read::undecodable);
  std::vector<std::array<char, 1024>> whys(bands.size());
  // Each band on a thread of its own (a picture of one band on this one), `chunk` rows at a time
  // into `at(b, row)`, each chunk then told to `took(b, row, count)`.
  using At = std::function<std::uint32_t*(std::size_t, std::uint32_t)>;
  using Took = std::function<void(std::size_t, std::uint32_t, std::uint32_t)>;
  auto readBands = [&](std::uint32_t chunk, const At& at, const Took& took) {
    auto readBand = [&](std::size_t b) {
      char bandWhy[1024] = {};
      read[b] = readRows(bytes, header, bands[b].first, bands[b].second, width, std::min(chunk, bands[b].second),
                         [&](std::uint32_t row) { return at(b, row); },
                         took ? [&](std::uint32_t row, std::uint32_t rows) { took(b, row, rows); }
                              : std::function<void(std::uint32_t, std::uint32_t)>(),
                         bandWhy);
      std::memcpy(whys[b].data(), bandWhy, sizeof bandWhy);
    };
    if (bands.size() == 1) return readBand(0);
    std::vector<std::thread> readers;
    for (std::size_t b = 0; b < bands.size(); ++b) readers.emplace_back(readBand, b);
    for (auto& reader : readers) reader.join();
  };
  auto outcome = [&]() -> std::optional<Error> {
    for (std::size_t b = 0; b < bands.size(); ++b) {
      if (read[b] == Read::cannot) {
        std::memcpy(why, whys[b].data(), sizeof why);
        return cannot().value();
      }
      if (read[b] == Read::undecodable) return undecodable().value();
      if (read[b] == Read::damaged) return damaged().value();
    }
    return std::nullopt;
  };

  // The library's pixels are R, G, B, A in the order of their bytes in memory.
  auto convert = [&](const std::uint8_t* from, guchar* to, std::size_t pixels) {
    for (std::size_t i = 0; i < pixels; ++i) {
      std::memmove(to + i * std::size_t(channels), from + i * 4, std::size_t(channels));
      if (alpha) unpremultiply(to + i * std::size_t(channels));
    }
  };

  // Drawn as stored, in pieces of a few rows: each band's rows go through a few rows of the
  // library's pixels into the picture, which so is all the decode holds.
  const std::uint32_t chunk = reading.chunk;
  const bool inPieces = reading.inPieces;
  if (reducesInPieces(reading, *stored, reducedTo)) {
    std::vector<std::vector<std::uint32_t>> pieces(bands.size(), std::vector<std::uint32_t>(std::size_t(chunk) * width));
    auto picture = reduceInPieces(*stored, *reducedTo, alpha, bands, [&](const RowTaken& reduce) {
      readBands(
          chunk, [&](std::size_t b, std::uint32_t) { return pieces[b].data(); },
          [&](std::size_t b, std::uint32_t row, std::uint32_t rows) {
            for (std::uint32_t r = 0; r < rows; ++r)
              reduce(b, row + r, reinterpret_cast<const std::uint8_t*>(pieces[b].data() + std::size_t(r) * width));
          });
    });
    if (auto failed = outcome()) return tl::unexpected(*failed);
    if (!picture) return fail(ErrorDomain, tooLarge, "There is not enough memory for the picture");
    return picture;
  }
  if (inPieces && png) {
    // One sample a pixel of grey (not a palette's) is written as grey, a third of the bytes.
    std::uint16_t samples = 1, photometric = PHOTOMETRIC_RGB;
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tiff.get(), TIFFTAG_PHOTOMETRIC, &photometric);
    const bool grey =
        !alpha && samples == 1 && (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE);
    QuickPng::Stream stream(stored->width, stored->height, channels, grey, bands, largestPng);
    std::vector<std::vector<std::uint32_t>> pieces(bands.size(), std::vector<std::uint32_t>(std::size_t(chunk) * width));
    std::vector<std::vector<std::uint8_t>> rows(bands.size(), std::vector<std::uint8_t>(std::size_t(width) * std::size_t(channels)));
    readBands(
        chunk, [&](std::size_t b, std::uint32_t) { return pieces[b].data(); },
        [&](std::size_t b, std::uint32_t, std::uint32_t count) {
          for (std::uint32_t r = 0; r < count; ++r) {
            convert(reinterpret_cast<const std::uint8_t*>(pieces[b].data() + std::size_t(r) * width), rows[b].data(), width);
            stream.row(b, rows[b].data());
          }
        });
    if (auto failed = outcome()) return tl::unexpected(*failed);
    *png = stream.finish();
    return GObjectPtr<GdkPixbuf>();
  }
  if (inPieces) {
    GObjectPtr<GdkPixbuf> picture(gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, stored->width, stored->height));
    if (!picture) return fail(ErrorDomain, tooLarge, "There is not enough memory for the picture");
    guchar* out = gdk_pixbuf_get_pixels(picture.get());
    const std::size_t stride = std::size_t(gdk_pixbuf_get_rowstride(picture.get()));
    // A few rows of the library's pixels for each band.
    std::vector<std::vector<std::uint32_t>> pieces(bands.size(), std::vector<std::uint32_t>(std::size_t(chunk) * width));
    readBands(
        chunk, [&](std::size_t b, std::uint32_t) { return pieces[b].data(); },
        [&](std::size_t b, std::uint32_t row, std::uint32_t rows) {
          for (std::uint32_t r = 0; r < rows; ++r)
            convert(reinterpret_cast<const std::uint8_t*>(pieces[b].data() + std::size_t(r) * width),
                    out + std::size_t(row + r) * stride, width);
        });
    if (auto failed = outcome()) return tl::unexpected(*failed);
    return picture;
  }

  std::unique_ptr<std::uint32_t[], decltype(&g_free)> raster(static_cast<std::uint32_t*>(g_try_malloc(count * 4)), g_free);
  if (!raster) return fail(ErrorDomain, tooLarge, "There is not enough memory for the picture");
  readBands(
      std::uint32_t(stored->height), [&](std::size_t, std::uint32_t row) { return raster.get() + std::size_t(row) * width; },
      {});
  if (auto failed = outcome()) return tl::unexpected(*failed);

  auto* in = reinterpret_cast<std::uint8_t*>(raster.get());
  if (orientation.tag == 1) {
    // Drawn as stored: made over in place, without a second picture.
    convert(in, in, count);
    auto* pixels = reinterpret_cast<guchar*>(raster.release());
    // Three bytes a pixel hold no more than they need: the fourth's quarter goes back.
    if (!alpha)
      if (auto* smaller = static_cast<guchar*>(g_try_realloc(pixels, count * 3))) pixels = smaller;
    return GObjectPtr<GdkPixbuf>(gdk_pixbuf_new_from_data(pixels, GDK_COLORSPACE_RGB, alpha, 8, stored->width,
                                                          stored->height, stored->width * channels,
                                                          [](guchar* data, gpointer) { g_free(data); }, nullptr));
  }
  GObjectPtr<GdkPixbuf> picture(gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, orientation.width(), orientation.height()));
  if (!picture) return fail(ErrorDomain, tooLarge, "There is not enough memory for the picture");
  guchar* out = gdk_pixbuf_get_pixels(picture.get());
  const int stride = gdk_pixbuf_get_rowstride(picture.get());
  for (int y = 0; y < orientation.height(); ++y) {
    guchar* row = out + std::size_t(y) * std::size_t(stride);
    for (int x = 0; x < orientation.width(); ++x) {
      const std::uint8_t* p = in + orientation.source(x, y) * 4;
      guchar* q = row + std::size_t(x) * std::size_t(channels);
      std::memcpy(q, p, std::size_t(channels));
      if (alpha) unpremultiply(q);
    }
  }
  return picture;
}

}  // namespace

Result<GObjectPtr<GdkPixbuf>> decodeTiff(const Data& bytes, const ImageHeader::Facts& header,
                                         std::optional<PixelSize> reducedTo) {
  return readTiff(bytes, header, reducedTo, nullptr, 0);
}

std::optional<std::size_t> tiffReducedBytes(const Data& bytes, const ImageHeader::Facts& header, PixelSize to) {
  MemoryFile file{bytes};
  auto tiff = open(file, header);
  if (!tiff) return std::nullopt;
  auto stored = storedSize(tiff.get());
  if (!stored || double(stored->width) * double(stored->height) > maximumPixels) return std::nullopt;
  const Reading reading = readingOf(tiff.get(), *stored, header.orientation);
  if (!reducesInPieces(reading, *stored, to)) return std::nullopt;
  // The picture made, and for each band its reader's piece, a few rows of the library's pixels
  // and a row of sums (with a row it shares with the next band); the columns' table.
  const double band = codedBytes(tiff.get()) + double(reading.chunk) * stored->width * 4 + 2.0 * to.width * 4 * 8;
  return std::size_t(4.0 * to.width * to.height + double(reading.bands.size()) * band + 8.0 * stored->width);
}

Result<Data> tiffAsPng(const Data& bytes, const ImageHeader::Facts& header, std::size_t largest) {
  std::optional<Result<Data>> png;
  auto picture = readTiff(bytes, header, std::nullopt, &png, largest);
  if (!picture) return tl::unexpected(picture.error());
  if (png) return std::move(*png);
  return QuickPng::encode(std::move(*picture), largest);
}

}  // namespace ImageData
