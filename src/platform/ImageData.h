#pragma once
// What image bytes are and what an image store may keep of them. Bytes are judged by their
// content, never by a file name: bitmaps the general decoder reads and WebP (read by libwebp,
// whether or not the general decoder knows it) are images; PDF and PostScript are drawings that
// are rasterised to PNG; anything else is refused. Display-free; any thread.

#include <chrono>
#include <optional>

#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/GObjectPtr.h"
#include "platform/ImageHeader.h"

typedef struct _GdkPixbuf GdkPixbuf;

namespace ImageData {

inline constexpr const char* ErrorDomain = "com.korvel.imagedata";
enum ErrorCode : long { notAnImage = 1, notRasterised = 2, tooLarge = 3 };

// "RIFF", a length, "WEBP".
bool isWebP(const Data& bytes);
// "%PDF-".
bool isPDF(const Data& bytes);
// "%!PS" text, or the binary EPS preview header C5 D0 D3 C6.
bool isPostScript(const Data& bytes);

// The most pixels a picture may have to be decoded or drawn in full: well above a 20-megapixel
// photograph, well below what a hostile header could make us allocate.
inline constexpr double maximumPixels = 64.0 * 1024 * 1024;
// The most frames an animation may have: a decoder's time grows with the square of their count.
inline constexpr std::uint32_t maximumFrames = 5000;
// The most scans a JPEG may have. A progressive decoder draws the whole picture again after each
// scan (at the pixel bound about a sixth of a second each); the usual encoders' scripts write
// at most 18 (10 for a colour photograph), so 64 refuses none of theirs and keeps the worst
// picture within seconds.
inline constexpr std::uint32_t maximumScans = 64;
// The most a decoder may hold beside its picture (a TIFF's strip or tile of coded rows): twice
// the picture's own bytes, as much as the coded rows of a 16-bit RGBA picture in one strip, and
// a few megabytes for a small picture coded in large tiles.
inline constexpr double maximumDecoderBytesPerPixel = 8;
inline constexpr double decoderBytesAnyPicture = 16.0 * 1024 * 1024;

struct PixelSize {
  int width = 0;
  int height = 0;
  bool operator==(const PixelSize&) const = default;
};
// The pixel size a bitmap's header gives; none for bytes that are no bitmap we decode. Reads
// the header only.
std::optional<PixelSize> bitmapSize(const Data& bytes);

// The header of a bitmap that may be decoded: fails with notAnImage for bytes that are no bitmap
// we decode (SVG and other drawings included) and for a PNG cut short in its image data, with
// tooLarge when a full decode would make more than maximumPixels, when it has more than
// maximumFrames or maximumScans, or when its decoder would hold more than its bound beside the
// picture. Decodes nothing.
Result<ImageHeader::Facts> checkedBitmap(const Data& bytes);

// The whole picture, by the decoder of the format its header names and only once the header
// has passed checkedBitmap; the first frame of an animation. WebP through libwebp.
// An opaque WebP decodes without an alpha channel. The picture is as the pages' engine draws the
// file: a TIFF or a JPEG turned and mirrored as its orientation says, so that its pixels are
// right wherever they go without the file's tags.
Result<GObjectPtr<GdkPixbuf>> decodeBitmap(const Data& bytes);
// The same within a header already checked. The decoder's own size, which it tells before it
// makes room for the pixels, must be within the header's (as stored) and the bound: a decoder that reads
// the file otherwise than the header's reader is stopped there, and the picture fails with
// tooLarge. Only a GIF's first frame reaches the decoder, and only the chunks of a PNG that
// draw it (ImageHeader::pngForDrawing).
Result<GObjectPtr<GdkPixbuf>> decodeBitmap(const Data& bytes, const ImageHeader::Facts& header);
// A TIFF by the system's TIFF library (any layout it reads, big or classic, in strips or tiles,
// the first page only), held to the header as decodeBitmap holds every decoder, and drawn as its
// orientation says. With `reducedTo` (smaller both ways), a picture stored as drawn in strips or
// tiles comes at that size, each pixel the average of those it covers, and is never held whole;
// any other comes whole.
Result<GObjectPtr<GdkPixbuf>> decodeTiff(const Data& bytes, const ImageHeader::Facts& header,
                                         std::optional<PixelSize> reducedTo = std::nullopt);
// What decodeTiff holds at most to make a picture reduced to `to` as it is read, beside the
// picture's bytes; none when it would make the whole picture first (a reduced one is not made so).
std::optional<std::size_t> tiffReducedBytes(const Data& bytes, const ImageHeader::Facts& header, PixelSize to);
// decodeTiff's whole picture as PNG (no larger than `largest`, else tooLarge), made by the
// encoder of large pictures: a picture stored as drawn in strips or tiles is written as its rows
// are read, and is never held whole.
Result<Data> tiffAsPng(const Data& bytes, const ImageHeader::Facts& header, std::size_t largest);
// The size of a TIFF as drawn, by that library, allocating no pixel; none when it reads none.
std::optional<PixelSize> tiffSize(const Data& bytes);
// The size the decoder of `format` finds in the bytes, stopping it before it makes room for a
// pixel, as drawn (turned where the header's orientation turns it); none when it finds none.
std::optional<PixelSize> decoderSize(const Data& bytes, ImageHeader::Format format);
// decodeBitmap's picture as PNG, without an alpha channel when the picture has none.
Result<Data> bitmapAsPNG(const Data& bytes);
// A decoded picture as PNG.
Result<Data> pngOf(GdkPixbuf* picture);

// Drawings become PNG in a confined child process (ConfinedTool): private empty folder, bounded
// memory, stopped and failed after `timeout`. Any thread; they block the caller for up to the
// timeout, so call them from a worker, never from the main loop.
// The first page at 72 dots per inch as PNG, by the page tool built beside us.
Result<Data> rasterisePDF(const Data& pdf, std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));
// The first page, cropped to its bounding box, at 72 dots per inch as PNG, by Ghostscript in
// its safe mode.
Result<Data> rasterisePostScript(const Data& postScript,
                                 std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));

// What an image store keeps: a bitmap unchanged but for a PNG's chunks that do not draw it;
// TIFF, which the pages' engine does not draw, and PDF and PostScript as PNG. Fails with
// notAnImage for anything else (text, empty data, truncated headers, SVG) and as checkedBitmap
// for a bitmap beyond its bounds. A TIFF is decoded here: call it from a worker.
Result<Data> storableImage(const Data& bytes);

}  // namespace ImageData
