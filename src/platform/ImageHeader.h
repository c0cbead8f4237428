#pragma once
// What a bitmap file's header says, read without decoding a pixel: its format, its size, how many
// frames it holds and the density it was made for. Only the formats we let a decoder see are
// recognised (PNG, JPEG, GIF, WebP, TIFF, BMP); anything else, SVG included, is no bitmap.
// Where a file may be read two ways, it is read as the format's decoder reads it, or refused.
// Pure and display-free; any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace ImageHeader {

enum class Format { png, jpeg, gif, webp, tiff, bmp };

struct Facts {
  Format format = Format::png;
  std::uint32_t width = 0;  // pixels
  std::uint32_t height = 0;
  // Pictures a decoder makes of the file: an animation's frames, 1 for a still image.
  std::uint32_t frames = 1;
  // GIF: where the first frame's data ends, 0 when it does not end within the bytes. A decoder
  // that keeps only the first picture needs no byte after it.
  std::size_t firstFrameEnd = 0;
  // JPEG: the scans its data holds. A progressive decoder draws the whole picture again after
  // each one.
  std::uint32_t scans = 0;
  // PNG: its image data begins but the file ends before the chunk after it; the decoder then
  // makes what rows it has and tells no error.
  bool cut = false;
  // TIFF: the bytes its decoder holds beside the picture for the coded rows of one strip or
  // tile, which a header may make far larger than the picture (many samples to a pixel, a tile
  // larger than the picture). 0 for the other formats, whose decoders hold a few rows.
  double decoderBytes = 0;
  // TIFF and JPEG: how the stored rows are to be drawn, 1 to 8 as the orientation tag (of a
  // JPEG, its EXIF block) counts (1: as stored; 2-4 mirrored or half turned; 5-8 turned a
  // quarter, so that the stored rows run down the picture). `width` and `height` are always the
  // picture's as drawn. The other formats are drawn as stored, whatever their EXIF says: the
  // pages' engine turns no PNG or WebP.
  std::uint32_t orientation = 1;
  // Pixels per inch across and down, when the file states a usable density.
  std::optional<double> densityX;
  std::optional<double> densityY;
  // Every pixel it draws is opaque, as far as the header tells: a JPEG, a still PNG without
  // alpha or transparency chunk, a lossy WebP in the simple layout. False when it can't tell.
  bool opaque = false;

  bool turned() const { return orientation >= 5 && orientation <= 8; }
  // The size as stored, which is what a decoder tells.
  std::uint32_t storedWidth() const { return turned() ? height : width; }
  std::uint32_t storedHeight() const { return turned() ? width : height; }
  // Every pixel a full decode allocates, in floating point so that it cannot overflow.
  double decodedPixels() const { return double(width) * double(height) * double(frames); }
  // The size in points (1/72 inch) the stated density gives; the pixel size without one.
  double pointWidth() const { return densityX ? double(width) * 72.0 / *densityX : double(width); }
  double pointHeight() const { return densityY ? double(height) * 72.0 / *densityY : double(height); }
};

// None for bytes that are not one of the formats above, or whose header is cut short or gives
// no positive size.
std::optional<Facts> read(std::span<const std::uint8_t> bytes);

// Reads up to `into.size()` bytes of a file from `offset`, answering how many it read (fewer only
// at its end or on a failure).
using ReadAt = std::function<std::size_t(std::uint64_t offset, std::span<std::uint8_t> into)>;
// The most a look for an animation reads, and the most chunks or blocks it walks.
inline constexpr std::uint64_t maximumAnimationLookBytes = std::uint64_t(16) << 20;
inline constexpr std::uint32_t maximumAnimationLookSteps = std::uint32_t(1) << 20;
// Whether read() of the whole file of `size` bytes that `readAt` gives counts more than one frame,
// found by a walk of its headers alone, past the pixels: a PNG's chunks up to its image data, a
// WebP's chunks, a GIF's blocks up to its second picture. Any other format is no animation. None
// when it can't tell within the bounds above.
std::optional<bool> isAnimation(const ReadAt& readAt, std::uint64_t size);

// A PNG with only the chunks that draw it: the critical ones, transparency, colour space (of
// colour profiles the first only), density and animation, up to the end chunk
// (put in when what followed the image data was left out). Text and every other chunk a
// decoder would read and keep (text is inflated, megabytes from a few bytes) are left out, and
// so is a chunk cut short, so that no PNG costs a decoder more than its pixels. read() finds
// the same facts in it. The bytes as they are when they are no PNG.
std::vector<std::uint8_t> pngForDrawing(std::span<const std::uint8_t> bytes);

// The same, handed over piece by piece as the PNG is read, without a copy of the file: whole
// runs of kept chunks, in order, until `piece` answers false. False when the bytes are no PNG.
bool forEachPngDrawingPiece(std::span<const std::uint8_t> bytes,
                            const std::function<bool(std::span<const std::uint8_t>)>& piece);

// The name of the decoder for a format, as the image loader knows it.
const char* loaderName(Format format);

}  // namespace ImageHeader
