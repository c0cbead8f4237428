#include "platform/ImageHeader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string_view>

namespace ImageHeader {

namespace {

// Reads within its bytes only; a read past the end leaves `ok` false and gives zeros.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes, bool littleEndian = false) : bytes_(bytes), little_(littleEndian) {}

  bool ok = true;
  std::size_t position() const { return at_; }
  std::size_t size() const { return bytes_.size(); }
  std::size_t left() const { return at_ <= bytes_.size() ? bytes_.size() - at_ : 0; }
  void seek(std::size_t to) {
    if (to > bytes_.size()) ok = false;
    at_ = to > bytes_.size() ? bytes_.size() : to;
  }
  void skip(std::size_t n) {
    if (n > left()) ok = false;
    at_ += n > left() ? left() : n;
  }
  // Passes over the bytes before the next `byte`, or all that are left.
  void skipTo(std::uint8_t byte) {
    if (at_ >= bytes_.size()) return;
    auto* found = static_cast<const std::uint8_t*>(std::memchr(bytes_.data() + at_, byte, bytes_.size() - at_));
    at_ = found ? std::size_t(found - bytes_.data()) : bytes_.size();
  }
  bool has(std::string_view magic) const {
    return left() >= magic.size() && std::memcmp(bytes_.data() + at_, magic.data(), magic.size()) == 0;
  }
  std::uint32_t u8() { return number(1); }
  std::uint32_t u16() { return number(2); }
  std::uint32_t u24() { return number(3); }
  std::uint32_t u32() { return number(4); }
  std::span<const std::uint8_t> take(std::size_t n) {
    if (n > left()) {
      ok = false;
      at_ = bytes_.size();
      return {};
    }
    auto out = bytes_.subspan(at_, n);
    at_ += n;
    return out;
  }

 private:
  std::uint32_t number(int count) {
    if (left() < std::size_t(count)) {
      ok = false;
      at_ = bytes_.size();
      return 0;
    }
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      std::uint32_t byte = bytes_[at_ + i];
      value |= little_ ? byte << (8 * i) : byte << (8 * (count - 1 - i));
    }
    at_ += count;
    return value;
  }

  std::span<const std::uint8_t> bytes_;
  bool little_;
  std::size_t at_ = 0;
};

// A density is kept only when it is one a picture could have been made for.
void setDensity(Facts& facts, double x, double y) {
  auto usable = [](double d) { return std::isfinite(d) && d >= 1.0 && d <= 100000.0; };
  if (!usable(x) || !usable(y)) return;
  facts.densityX = x;
  facts.densityY = y;
}

constexpr double inchesPerMetre = 1.0 / 0.0254;

// TIFF's first directory (also the body of EXIF): the size, the resolution tags and what sizes
// the decoder's buffer for coded rows.
struct TiffFacts {
  std::uint32_t width = 0, height = 0;
  double resolutionX = 0, resolutionY = 0;
  std::uint32_t unit = 2;  // inches unless told otherwise
  std::uint32_t samplesPerPixel = 1, bitsPerSample = 1, planes = 1;
  std::uint32_t rowsPerStrip = 0xFFFFFFFF;  // one strip unless told otherwise
  std::uint32_t tileWidth = 0, tileLength = 0;
  std::uint32_t orientation = 1;
};

// The classic layout (offsets of 32 bits, entries of 12 bytes) or the big one (offsets and counts
// of 64 bits, entries of 20 bytes, "II" or "MM" then 43, 8, 0). Every offset and count is held
// to the bytes there are before anything is read at it.
std::optional<TiffFacts> readTiff(std::span<const std::uint8_t> bytes, bool bigAllowed = false) {
  bool little, big = false;
  auto starts = [&](std::string_view magic) {
    return bytes.size() >= magic.size() && std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
  };
  if (starts(std::string_view("II*\0", 4))) little = true;
  else if (starts(std::string_view("MM\0*", 4))) little = false;
  else if (bigAllowed && starts(std::string_view("II+\0\x08\0\0\0", 8))) little = big = true;
  else if (bigAllowed && starts(std::string_view("MM\0+\0\x08\0\0", 8))) little = false, big = true;
  else return std::nullopt;
  // A number of 64 bits is only ever an offset or a count within the bytes: anything larger
  // reads as "beyond the end", which no check below lets through.
  auto wide = [&](Reader& r) -> std::uint64_t {
    if (!big) return r.u32();
    std::uint64_t first = r.u32(), second = r.u32();
    return little ? first | second << 32 : first << 32 | second;
  };
  auto offset = [&](std::uint64_t at) { return at > bytes.size() ? bytes.size() + 1 : std::size_t(at); };
  const std::size_t entrySize = big ? 20 : 12, valueSize = big ? 8 : 4;
  Reader r(bytes, little);
  r.skip(big ? 8 : 4);
  r.seek(offset(wide(r)));
  std::uint64_t count = big ? wide(r) : r.u16();
  if (!r.ok || count > r.left() / entrySize) return std::nullopt;
  TiffFacts facts;
  // A RATIONAL fits in a big entry's own value; a classic entry names where it is.
  auto rational = [&](std::size_t valueAt) {
    Reader v(bytes, little);
    v.seek(valueAt);
    if (!big) v.seek(v.u32());
    double numerator = v.u32(), denominator = v.u32();
    return v.ok && denominator > 0 ? numerator / denominator : 0.0;
  };
  // The tags the header needs, each in its slot, those that size the decoder's buffer from
  // `firstBufferTag` on; the decoder keeps the first entry of a tag and ignores any later one.
  static constexpr std::uint32_t tags[] = {256, 257, 282, 283, 296, 274, 258, 277, 278, 284, 322, 323};
  constexpr std::ptrdiff_t firstBufferTag = 6;
  bool seen[std::size(tags)] = {};
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint32_t tag = r.u16(), type = r.u16();
    std::uint64_t values = wide(r);
    std::size_t valueAt = r.position();
    // SHORT sits in the first bytes of the value; a LONG8 (big layout only) is one number that
    // must fit in 32 bits.
    std::uint64_t value = type == 1 ? r.u8() : type == 3 ? r.u16() : type == 16 && big ? wide(r) : r.u32();
    r.seek(valueAt + valueSize);
    if (!r.ok) return std::nullopt;
    bool number = type == 3 || type == 4 || (big && type == 16);
    bool size = tag == 256 || tag == 257;
    // The decoder refuses a size that is not one number; it passes over a resolution that is not.
    if (size && (!number || values != 1 || value > 0xFFFFFFFFu)) return std::nullopt;
    auto slot = std::find(std::begin(tags), std::end(tags), tag) - std::begin(tags);
    if (slot == std::ssize(tags) || seen[slot]) continue;
    seen[slot] = true;
    // What sizes the decoder's buffer is read only as one SHORT, LONG or LONG8 (bits per sample:
    // the first of one per sample, which the decoder wants all alike); a file that gives it
    // otherwise is refused rather than guessed at.
    if (slot >= firstBufferTag) {
      if (!number || values == 0 || (values != 1 && tag != 258)) return std::nullopt;
      std::uint64_t width = type == 3 ? 2 : type == 4 ? 4 : 8;
      if (values > valueSize / width) {
        Reader v(bytes, little);
        v.seek(valueAt);
        v.seek(offset(wide(v)));
        value = type == 3 ? v.u16() : type == 4 ? v.u32() : wide(v);
        if (!v.ok) return std::nullopt;
      }
      if (value > 0xFFFFFFFFu) return std::nullopt;
    } else if (tag == 274 && !number && type != 1) {
      // The decoder reads an orientation of any whole-number type (found by fuzzing: one as a
      // BYTE turned the decoder's picture and not the header's); only the unsigned ones are read
      // here, and a file that gives it otherwise is refused.
      return std::nullopt;
    } else if (values != 1) {
      continue;
    }
    switch (tag) {
      case 256: facts.width = std::uint32_t(value); break;
      case 257: facts.height = std::uint32_t(value); break;
      case 282: if (type == 5) facts.resolutionX = rational(valueAt); break;
      case 283: if (type == 5) facts.resolutionY = rational(valueAt); break;
      case 296: if (type == 3) facts.unit = std::uint32_t(value); break;
      // One number; one the decoder does not know draws the picture as stored.
      case 274: if (value >= 1 && value <= 8) facts.orientation = std::uint32_t(value); break;
      case 258: facts.bitsPerSample = std::uint32_t(value); break;
      case 277: facts.samplesPerPixel = std::uint32_t(value); break;
      case 278: facts.rowsPerStrip = std::uint32_t(value); break;
      case 284: facts.planes = std::uint32_t(value); break;
      case 322: facts.tileWidth = std::uint32_t(value); break;
      case 323: facts.tileLength = std::uint32_t(value); break;
      default: break;
    }
  }
  return facts;
}

// The bytes the decoder holds beside the picture: one strip or tile of coded rows, of every
// plane, and a table entry (offset and length) for each strip or tile. Reckoned high where the
// decoder's own reckoning depends on more (colour subsampling, compression).
double tiffDecoderBytes(const TiffFacts& tiff) {
  double samples = tiff.samplesPerPixel, bits = tiff.bitsPerSample;
  double width = tiff.width, height = tiff.height;
  // Separate planes hold one sample of each pixel each; the decoder reads all of a strip's.
  double perPixel = tiff.planes == 2 ? bits : samples * bits;
  double planes = tiff.planes == 2 ? samples : 1;
  auto piece = [&](double across, double down) { return std::ceil(across * perPixel / 8.0) * down * planes; };
  double rows = tiff.rowsPerStrip == 0 ? height : std::min<double>(tiff.rowsPerStrip, height);
  double strips = std::ceil(height / std::max(rows, 1.0)) * planes;
  double bytes = piece(width, rows) + 16.0 * strips;
  if (tiff.tileWidth > 0 || tiff.tileLength > 0) {
    double tileWidth = std::max<double>(tiff.tileWidth, 1), tileLength = std::max<double>(tiff.tileLength, 1);
    double tiles = std::ceil(width / tileWidth) * std::ceil(height / tileLength) * planes;
    bytes = std::max(bytes, piece(tileWidth, tileLength) + 16.0 * tiles);
  }
  return bytes;
}

void setTiffDensity(Facts& facts, const TiffFacts& tiff) {
  if (tiff.unit == 2) setDensity(facts, tiff.resolutionX, tiff.resolutionY);
  else if (tiff.unit == 3) setDensity(facts, tiff.resolutionX * 2.54, tiff.resolutionY * 2.54);
}

// The orientation an EXIF block (the content of an APP1 segment) gives, read as the pages' engine
// reads it, so that the size announced is the size it draws: "Exif", a zero and any byte, a TIFF
// header, and in its first directory, within the block, the orientation as one SHORT. None when
// the block gives none, and the next block is asked; a value the engine does not know draws the
// picture as stored.
std::optional<std::uint32_t> exifOrientation(std::span<const std::uint8_t> block) {
  if (block.size() < 14 || std::memcmp(block.data(), "Exif\0", 5) != 0) return std::nullopt;
  auto tiff = block.subspan(6);
  bool little = tiff[0] == 'I' && tiff[1] == 'I';
  if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return std::nullopt;
  Reader r(tiff, little);
  r.skip(2);
  if (r.u16() != 42) return std::nullopt;
  std::uint32_t directory = r.u32();
  if (directory >= tiff.size()) return std::nullopt;
  r.seek(directory);
  std::uint32_t count = r.u16();
  if (!r.ok) return std::nullopt;
  // Entries cut short by the end of the block are not read.
  for (std::uint32_t i = 0; i < count && r.left() >= 12; ++i) {
    std::uint32_t tag = r.u16(), type = r.u16(), values = r.u32(), value = r.u16();
    r.skip(2);
    if (tag == 0x0112 && type == 3 && values == 1) return value >= 1 && value <= 8 ? value : 1;
  }
  return std::nullopt;
}

// Stored rows that run down the picture: it is drawn turned, its sides and densities swapped.
void turnIfTurned(Facts& facts) {
  if (!facts.turned()) return;
  std::swap(facts.width, facts.height);
  std::swap(facts.densityX, facts.densityY);
}

std::optional<Facts> readPNG(Reader r) {
  r.skip(8);
  std::uint32_t length = r.u32();
  if (!r.has("IHDR") || length != 13) return std::nullopt;
  r.skip(4);
  Facts facts;
  facts.format = Format::png;
  facts.width = r.u32();
  facts.height = r.u32();
  r.skip(1);
  std::uint32_t colour = r.u8();
  r.skip(3 + 4);  // the rest of IHDR and its checksum
  if (!r.ok) return std::nullopt;
  bool transparency = false;
  // The density comes before the pixels, if at all; the pixels end where another chunk begins.
  bool pixels = false, density = false;
  while (r.left() >= 8) {
    length = r.u32();
    bool physical = r.has("pHYs"), data = r.has("IDAT"), end = r.has("IEND"), animation = r.has("acTL");
    transparency = transparency || (!pixels && r.has("tRNS"));
    r.skip(4);
    // Grey, RGB or a palette; an animation's frames may clear what they leave.
    facts.opaque = (colour == 0 || colour == 2 || colour == 3) && !transparency && facts.frames == 1;
    if (pixels && !data) return facts;
    if (end) break;  // nothing after it is read
    pixels = pixels || data;
    // The decoder reads no chunk before its checksum is there.
    if (r.left() < 4 || length > r.left() - 4) break;
    if (physical && length == 9 && !pixels && !density) {
      // The decoder keeps the first.
      density = true;
      double x = r.u32(), y = r.u32();
      if (r.u8() == 1) setDensity(facts, x / inchesPerMetre, y / inchesPerMetre);
    } else if (animation && length == 8 && !pixels && facts.frames == 1) {
      // An animated PNG: the engine draws each of its frames.
      facts.frames = std::max<std::uint32_t>(r.u32(), 1);
      r.skip(4);
    } else {
      r.skip(length);
    }
    r.skip(4);
  }
  facts.cut = pixels;
  return facts;
}

std::optional<Facts> readJPEG(Reader r) {
  r.skip(2);
  Facts facts;
  facts.format = Format::jpeg;
  facts.opaque = true;
  bool sized = false, scanning = false;
  std::optional<std::pair<double, double>> jfif, exif;
  std::optional<std::uint32_t> orientation;
  // Markers are found as the decoder finds them: bytes up to the next FF are passed over, fill
  // bytes FF are swallowed, and FF 00 is stuffing, no marker.
  auto nextMarker = [&]() -> std::optional<std::uint32_t> {
    for (;;) {
      r.skipTo(0xFF);
      std::uint32_t byte = r.u8();
      while (r.ok && byte == 0xFF) byte = r.u8();
      if (!r.ok) return std::nullopt;
      if (byte != 0x00) return byte;
    }
  };
  while (auto found = nextMarker()) {
    std::uint32_t marker = *found;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    if (marker == 0xD9) break;
    // The image data begins with the first scan, and the header is over: from there on only
    // scans are counted, every segment passed over by its length and the coded data after it
    // up to the next marker, as the decoder does.
    if (marker == 0xDA) scanning = true;
    if (scanning) {
      if (marker == 0xDA) ++facts.scans;
      std::uint32_t length = r.u16();
      if (length < 2 || !r.ok) break;
      r.skip(length - 2);
      continue;
    }
    // What the decoder stops at: a second start of image, frames of a kind it does not decode
    // and markers it does not know.
    bool frame = marker == 0xC0 || marker == 0xC1 || marker == 0xC2 || marker == 0xC9 || marker == 0xCA;
    bool segment = frame || marker == 0xC4 || marker == 0xCC || marker == 0xDB || marker == 0xDC || marker == 0xDD ||
                   (marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE;
    if (!segment) return std::nullopt;
    std::uint32_t length = r.u16();
    if (length < 2 || length - 2 > r.left()) return std::nullopt;
    auto bytes = r.take(length - 2);
    Reader content(bytes);
    if (marker == 0xE1 && !orientation) orientation = exifOrientation(bytes);
    if (frame) {
      // A second frame header is an error to the decoder.
      if (sized) return std::nullopt;
      content.skip(1);
      facts.height = content.u16();
      facts.width = content.u16();
      std::uint32_t components = content.u8();
      if (!content.ok || components < 1 || components > 4 || content.left() != 3 * components) return std::nullopt;
      sized = true;
    } else if (marker == 0xE0 && content.has(std::string_view("JFIF\0", 5))) {
      content.skip(7);
      std::uint32_t units = content.u8();
      double x = content.u16(), y = content.u16();
      if (content.ok && units == 1) jfif = std::pair{x, y};
      if (content.ok && units == 2) jfif = std::pair{x * 2.54, y * 2.54};
    } else if (marker == 0xE1 && content.has(std::string_view("Exif\0\0", 6))) {
      content.skip(6);
      if (auto tiff = readTiff(content.take(content.left()))) {
        Facts density;
        setTiffDensity(density, *tiff);
        if (density.densityX) exif = std::pair{*density.densityX, *density.densityY};
      }
    }
  }
  if (!sized) return std::nullopt;
  // The camera's own record wins over the file format's.
  if (auto d = exif ? exif : jfif) setDensity(facts, d->first, d->second);
  facts.orientation = orientation.value_or(1);
  turnIfTurned(facts);
  return facts;
}

std::optional<Facts> readGIF(Reader r) {
  r = Reader(r.take(r.size()), true);
  r.skip(6);
  Facts facts;
  facts.format = Format::gif;
  facts.width = r.u16();
  facts.height = r.u16();
  std::uint32_t flags = r.u8();
  r.skip(2);
  if (flags & 0x80) r.skip(3u << ((flags & 7) + 1));
  if (!r.ok) return std::nullopt;
  auto skipBlocks = [&] {
    for (std::uint32_t length = r.u8(); length != 0 && r.ok; length = r.u8()) r.skip(length);
  };
  std::uint32_t frames = 0;
  while (r.ok && r.left() > 0) {
    std::uint32_t block = r.u8();
    if (block == 0x3B) break;
    // Any other byte between blocks is passed over, as the decoder does, which goes on looking
    // for frames after it.
    if (block == 0x21) {
      r.skip(1);
      skipBlocks();
    } else if (block == 0x2C) {
      std::uint32_t left = r.u16(), top = r.u16(), width = r.u16(), height = r.u16(), local = r.u8();
      if (!r.ok) break;
      // A frame reaching past the screen widens the picture the decoder makes.
      facts.width = std::max(facts.width, left + width);
      facts.height = std::max(facts.height, top + height);
      if (local & 0x80) r.skip(3u << ((local & 7) + 1));
      r.skip(1);
      skipBlocks();
      if (++frames == 1 && r.ok) facts.firstFrameEnd = r.position();
    }
  }
  facts.frames = std::max<std::uint32_t>(frames, 1);
  return facts;
}

std::optional<Facts> readWebP(Reader r) {
  r = Reader(r.take(r.size()), true);
  r.skip(12);
  // The decoder reads the bytes after the header as a bare bitstream when they begin with no
  // image chunk, and passes over other chunks only after an extended header.
  if (!r.has("VP8 ") && !r.has("VP8L") && !r.has("VP8X")) return std::nullopt;
  Facts facts;
  facts.format = Format::webp;
  bool sized = false, extendedFile = false, lossy = false;
  while (r.ok && r.left() >= 8) {
    bool vp8 = r.has("VP8 "), lossless = r.has("VP8L"), extended = r.has("VP8X"), exif = r.has("EXIF"),
         frame = r.has("ANMF");
    r.skip(4);
    std::uint32_t length = r.u32();
    if (length > r.left()) length = std::uint32_t(r.left());
    Reader chunk(r.take(length), true);
    if ((length & 1) && r.left() > 0) r.skip(1);
    if (vp8 && !sized) {
      chunk.skip(3);
      if (!chunk.has("\x9d\x01\x2a")) return std::nullopt;
      chunk.skip(3);
      facts.width = chunk.u16() & 0x3FFF;
      facts.height = chunk.u16() & 0x3FFF;
      sized = lossy = chunk.ok;
    } else if (lossless && !sized) {
      if (chunk.u8() != 0x2F) return std::nullopt;
      std::uint32_t bits = chunk.u32();
      facts.width = (bits & 0x3FFF) + 1;
      facts.height = ((bits >> 14) & 0x3FFF) + 1;
      sized = chunk.ok;
    } else if (extended && !sized) {
      chunk.skip(4);
      facts.width = chunk.u24() + 1;
      facts.height = chunk.u24() + 1;
      sized = extendedFile = chunk.ok;
    } else if (exif) {
      if (auto tiff = readTiff(chunk.take(chunk.left()))) setTiffDensity(facts, *tiff);
    } else if (frame) {
      ++facts.frames;
    }
    if ((vp8 || lossless) && !extendedFile) break;  // a simple file holds nothing after its pixels
  }
  if (facts.frames > 1) --facts.frames;  // counted from one
  if (!sized) return std::nullopt;
  // A lossy picture carries alpha only in a chunk beside it, which only the extended layout has.
  facts.opaque = lossy && !extendedFile;
  return facts;
}

std::optional<Facts> readTIFF(std::span<const std::uint8_t> bytes) {
  // The big layout is the TIFF decoder's own; the readers of EXIF know only the classic one.
  auto tiff = readTiff(bytes, true);
  if (!tiff) return std::nullopt;
  Facts facts;
  facts.format = Format::tiff;
  facts.width = tiff->width;
  facts.height = tiff->height;
  facts.decoderBytes = tiffDecoderBytes(*tiff);
  setTiffDensity(facts, *tiff);
  facts.orientation = tiff->orientation;
  turnIfTurned(facts);
  return facts;
}

std::optional<Facts> readBMP(Reader r) {
  r = Reader(r.take(r.size()), true);
  r.skip(10);
  // The decoder keeps everything up to the pixels: they must begin within the file.
  std::uint32_t pixels = r.u32();
  if (pixels > r.size()) return std::nullopt;
  std::uint32_t header = r.u32();
  Facts facts;
  facts.format = Format::bmp;
  // Only the header sizes the formats define: the decoder reads as much as this claims.
  if (header != 12 && header != 40 && header != 52 && header != 56 && header != 64 && header != 108 && header != 124)
    return std::nullopt;
  if (header == 12) {
    facts.width = r.u16();
    facts.height = r.u16();
  } else if (header >= 40) {
    auto width = std::int32_t(r.u32()), height = std::int32_t(r.u32());
    // Rows may run upwards (a negative height); no size is negative.
    if (width <= 0 || height == INT32_MIN) return std::nullopt;
    facts.width = std::uint32_t(width);
    facts.height = std::uint32_t(height < 0 ? -height : height);
    r.skip(2);
    std::uint32_t depth = r.u16();
    r.skip(8);
    auto x = std::int32_t(r.u32()), y = std::int32_t(r.u32());
    if (x > 0 && y > 0) setDensity(facts, x / inchesPerMetre, y / inchesPerMetre);
    // The decoder makes room for as many palette colours as the file states, before any size
    // is told: no more than the depth can index.
    std::uint32_t colours = r.u32();
    if (colours > (depth >= 1 && depth <= 8 ? 1u << depth : 256u)) return std::nullopt;
  } else {
    return std::nullopt;
  }
  if (!r.ok) return std::nullopt;
  return facts;
}

}  // namespace

std::optional<Facts> read(std::span<const std::uint8_t> bytes) {
  Reader r(bytes);
  std::optional<Facts> facts;
  if (r.has("\x89PNG\r\n\x1a\n")) facts = readPNG(r);
  else if (r.has("\xFF\xD8\xFF")) facts = readJPEG(r);
  else if (r.has("GIF87a") || r.has("GIF89a")) facts = readGIF(r);
  else if (r.has("RIFF") && bytes.size() >= 12 && std::memcmp(bytes.data() + 8, "WEBP", 4) == 0) facts = readWebP(r);
  else if (r.has(std::string_view("II*\0", 4)) || r.has(std::string_view("MM\0*", 4)) ||
           r.has(std::string_view("II+\0", 4)) || r.has(std::string_view("MM\0+", 4)))
    facts = readTIFF(bytes);
  else if (r.has("BM")) facts = readBMP(r);
  if (!facts || facts->width == 0 || facts->height == 0) return std::nullopt;
  return facts;
}

namespace {

// A file's bytes read through a window as a walk asks for them, within the look's bounds.
class Walk {
 public:
  Walk(const ReadAt& readAt, std::uint64_t size) : readAt_(readAt), size_(size) {}

  std::uint64_t size() const { return size_; }
  // Past a bound: the walk can't tell.
  bool spent() const { return spent_; }
  bool step() { return !(spent_ = spent_ || ++steps_ > maximumAnimationLookSteps); }
  // `count` bytes (at most 16) from `at`, as a number; none past the file's end.
  std::optional<std::uint32_t> number(std::uint64_t at, int count, bool little) {
    std::uint8_t bytes[4] = {};
    if (!get(at, std::size_t(count), bytes)) return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) value |= std::uint32_t(bytes[i]) << (8 * (little ? i : count - 1 - i));
    return value;
  }
  bool has(std::uint64_t at, std::string_view magic) {
    std::uint8_t bytes[16] = {};
    return magic.size() <= sizeof bytes && get(at, magic.size(), bytes) &&
           std::memcmp(bytes, magic.data(), magic.size()) == 0;
  }

 private:
  bool get(std::uint64_t at, std::size_t count, std::uint8_t* out) {
    if (at > size_ || count > size_ - at) return false;
    if (at < base_ || at + count > base_ + window_.size()) {
      std::size_t length = std::size_t(std::min<std::uint64_t>(windowSize, size_ - at));
      read_ += length;
      if (read_ > maximumAnimationLookBytes) {
        spent_ = true;
        return false;
      }
      window_.resize(length);
      window_.resize(readAt_(at, window_));
      base_ = at;
      if (window_.size() < count) return false;
    }
    std::memcpy(out, window_.data() + (at - base_), count);
    return true;
  }

  static constexpr std::size_t windowSize = 64 * 1024;
  const ReadAt& readAt_;
  std::uint64_t size_;
  std::vector<std::uint8_t> window_;
  std::uint64_t base_ = 0, read_ = 0;
  std::uint32_t steps_ = 0;
  bool spent_ = false;
};

// Each walk reads as readPNG, readGIF and readWebP do, passing over what they skip unread.

bool pngAnimates(Walk& w) {
  auto length = w.number(8, 4, false);
  if (!length || *length != 13 || !w.has(12, "IHDR")) return false;
  auto width = w.number(16, 4, false), height = w.number(20, 4, false);
  if (!width || !height || *width == 0 || *height == 0 || w.size() < 33) return false;
  for (std::uint64_t at = 33; w.size() - at >= 8 && w.step();) {
    length = w.number(at, 4, false);
    if (!length || w.has(at + 4, "IDAT") || w.has(at + 4, "IEND")) return false;
    std::uint64_t left = w.size() - at - 8;
    if (left < 4 || *length > left - 4) return false;
    if (*length == 8 && w.has(at + 4, "acTL")) {
      auto frames = w.number(at + 8, 4, false);
      if (frames && *frames > 1) return true;
    }
    at += 8 + std::uint64_t(*length) + 4;
  }
  return false;
}

bool gifAnimates(Walk& w) {
  auto screenWidth = w.number(6, 2, true), screenHeight = w.number(8, 2, true), flags = w.number(10, 1, true);
  if (!screenWidth || !screenHeight || !flags || w.size() < 13) return false;
  std::uint64_t width = *screenWidth, height = *screenHeight, at = 13;
  if (*flags & 0x80) at += 3u << ((*flags & 7) + 1);
  if (at > w.size()) return false;
  // The sub-blocks from `at`: false when the file ends in them.
  auto skipBlocks = [&] {
    while (w.step()) {
      auto length = w.number(at, 1, true);
      if (!length) return false;
      at += 1 + *length;
      if (at > w.size()) return false;
      if (*length == 0) return true;
    }
    return false;
  };
  std::uint32_t frames = 0;
  while (at < w.size() && w.step()) {
    auto block = w.number(at++, 1, true);
    if (!block || *block == 0x3B) break;
    if (*block == 0x21) {
      if (++at > w.size() || !skipBlocks()) break;
    } else if (*block == 0x2C) {
      auto left = w.number(at, 2, true), top = w.number(at + 2, 2, true), frameWidth = w.number(at + 4, 2, true),
           frameHeight = w.number(at + 6, 2, true), local = w.number(at + 8, 1, true);
      if (!left || !top || !frameWidth || !frameHeight || !local) break;
      width = std::max<std::uint64_t>(width, *left + *frameWidth);
      height = std::max<std::uint64_t>(height, *top + *frameHeight);
      // A frame counts from its descriptor, however its data ends; a later one can only widen
      // the picture.
      if (++frames > 1 && width > 0 && height > 0) return true;
      at += 9;
      if (*local & 0x80) at += 3u << ((*local & 7) + 1);
      if (++at > w.size() || !skipBlocks()) break;
    }
  }
  return false;
}

bool webPAnimates(Walk& w) {
  if (!w.has(12, "VP8 ") && !w.has(12, "VP8L") && !w.has(12, "VP8X")) return false;
  bool sized = false, extendedFile = false;
  std::uint32_t width = 0, height = 0, frames = 0;
  for (std::uint64_t at = 12; w.size() - at >= 8 && w.step();) {
    bool vp8 = w.has(at, "VP8 "), lossless = w.has(at, "VP8L"), extended = w.has(at, "VP8X"), frame = w.has(at, "ANMF");
    auto stated = w.number(at + 4, 4, true);
    if (!stated) return false;
    std::uint64_t chunk = at + 8, length = std::min<std::uint64_t>(*stated, w.size() - chunk);
    at = chunk + length;
    if ((length & 1) && at < w.size()) ++at;
    if (vp8 && !sized) {
      if (length < 6 || !w.has(chunk + 3, "\x9d\x01\x2a")) return false;
      if (length >= 10) {
        width = *w.number(chunk + 6, 2, true) & 0x3FFF;
        height = *w.number(chunk + 8, 2, true) & 0x3FFF;
        sized = true;
      }
    } else if (lossless && !sized) {
      if (length < 1 || w.number(chunk, 1, true) != 0x2Fu) return false;
      if (length >= 5) width = height = 1, sized = true;
    } else if (extended && !sized) {
      if (length >= 10) width = height = 1, sized = extendedFile = true;
    } else if (frame) {
      ++frames;
    }
    // Frames counted before a simple file's pixels count as the reader counts them.
    if (frames > 1 && sized && width > 0 && height > 0) return true;
    if ((vp8 || lossless) && !extendedFile) break;
  }
  return false;
}

}  // namespace

std::optional<bool> isAnimation(const ReadAt& readAt, std::uint64_t size) {
  Walk w(readAt, size);
  bool animates = false;
  if (w.has(0, "\x89PNG\r\n\x1a\n")) animates = pngAnimates(w);
  else if (w.has(0, "GIF87a") || w.has(0, "GIF89a")) animates = gifAnimates(w);
  else if (w.has(0, "RIFF") && w.has(8, "WEBP")) animates = webPAnimates(w);
  if (w.spent()) return std::nullopt;
  return animates;
}

bool forEachPngDrawingPiece(std::span<const std::uint8_t> bytes,
                            const std::function<bool(std::span<const std::uint8_t>)>& piece) {
  Reader r(bytes);
  if (!r.has("\x89PNG\r\n\x1a\n")) return false;
  // The ancillary chunks that change what is drawn. Each costs the decoder no more than its
  // bytes but a colour profile, which it inflates (megabytes from a few bytes, each time one
  // comes): only the first is kept, the only one the decoder uses. The EXIF block goes: the
  // pages' engine draws a PNG as stored whatever it says, and without it so does any other
  // viewer of an export, at the size the picture was announced.
  static constexpr std::string_view drawing[] = {"tRNS", "gAMA", "cHRM", "sRGB", "iCCP", "cICP", "sBIT",
                                                 "pHYs", "acTL", "fcTL", "fdAT"};
  bool profile = false;
  r.skip(8);
  // Chunks kept one after another go as one piece.
  std::size_t runStart = 0, runEnd = 8;
  auto flush = [&] { return runEnd == runStart || piece(bytes.subspan(runStart, runEnd - runStart)); };
  bool pixels = false, after = false, ended = false;
  while (r.left() >= 8 && !ended) {
    std::size_t start = r.position();
    std::uint32_t length = r.u32();
    auto named = r.take(4);
    std::string_view type(reinterpret_cast<const char*>(named.data()), 4);
    after = after || (pixels && type != "IDAT");
    pixels = pixels || type == "IDAT";
    // A chunk cut short ends the file here.
    if (r.left() < 4 || length > r.left() - 4) break;
    r.skip(std::size_t(length) + 4);
    bool critical = (named[0] & 0x20) == 0;
    bool keep = critical || std::find(std::begin(drawing), std::end(drawing), type) != std::end(drawing);
    if (type == "iCCP") {
      keep = !profile;
      profile = true;
    }
    if (keep && start == runEnd) {
      runEnd = r.position();
    } else if (keep) {
      if (!flush()) return true;
      runStart = start;
      runEnd = r.position();
    }
    ended = type == "IEND";
  }
  if (!flush()) return true;
  // Image data that was followed by more is followed by the end, whatever was left out: the
  // picture is whole as it was.
  if (after && !ended) {
    static constexpr std::uint8_t end[] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    piece(end);
  }
  return true;
}

std::vector<std::uint8_t> pngForDrawing(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> out;
  bool png = forEachPngDrawingPiece(bytes, [&](std::span<const std::uint8_t> piece) {
    out.insert(out.end(), piece.begin(), piece.end());
    return true;
  });
  if (!png) return {bytes.begin(), bytes.end()};
  return out;
}

const char* loaderName(Format format) {
  switch (format) {
    case Format::png: return "png";
    case Format::jpeg: return "jpeg";
    case Format::gif: return "gif";
    case Format::webp: return "webp";
    case Format::tiff: return "tiff";
    case Format::bmp: return "bmp";
  }
  return "";
}

}  // namespace ImageHeader
