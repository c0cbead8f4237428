// A photograph is measured and decoded as the pages' engine draws it: a JPEG turned and mirrored
// as its EXIF block says (read as the engine reads it), a PNG or a WebP as stored whatever its
// EXIF says, since the engine turns neither.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include "export/Bitmap.h"
#include "export/ImageDecoding.h"
#include "platform/ImageData.h"
#include "platform/ImageHeader.h"
#include "support/OrientedPictures.h"

using namespace testenv;

namespace {

std::pair<int, int> drawnSize(std::uint32_t orientation) {
  return orientation >= 5 && orientation <= 8 ? std::pair{30, 40} : std::pair{40, 30};
}

void expectCorners(const Bitmap& picture, std::uint32_t orientation, const std::string& what) {
  auto corners = drawnCorners(int(orientation));
  const int right = picture.width - 4, bottom = picture.height - 4;
  const std::pair<int, int> at[4] = {{3, 3}, {right, 3}, {3, bottom}, {right, bottom}};
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t* p = picture.pixel(at[i].first, at[i].second);
    EXPECT_TRUE(looksLike(p, corners[std::size_t(i)]))
        << what << ", corner " << i << ": " << int(p[0]) << "," << int(p[1]) << "," << int(p[2]);
  }
}

Bitmap bitmapOf(GdkPixbuf* picture) {
  auto bitmap = *Bitmap::make(gdk_pixbuf_get_width(picture), gdk_pixbuf_get_height(picture));
  const int channels = gdk_pixbuf_get_n_channels(picture), stride = gdk_pixbuf_get_rowstride(picture);
  for (int y = 0; y < bitmap.height; ++y)
    for (int x = 0; x < bitmap.width; ++x) {
      const guint8* p = gdk_pixbuf_read_pixels(picture) + y * stride + x * channels;
      std::uint8_t* q = bitmap.rgba.data() + (std::size_t(y) * std::size_t(bitmap.width) + std::size_t(x)) * 4;
      q[0] = p[0], q[1] = p[1], q[2] = p[2], q[3] = 255;
    }
  return bitmap;
}

}  // namespace

// Each way of writing the orientation, as the engine was measured to draw it.
TEST(PictureOrientation, AJPEGsHeaderIsTurnedAsTheEngineTurnsIt) {
  for (const auto& c : exifCases()) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.bytes.empty());
    auto header = ImageHeader::read(c.bytes);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->orientation, c.drawn);
    auto [width, height] = drawnSize(c.drawn);
    EXPECT_EQ(header->width, std::uint32_t(width));
    EXPECT_EQ(header->height, std::uint32_t(height));
    EXPECT_EQ(header->storedWidth(), 40u);
    EXPECT_EQ(header->storedHeight(), 30u);
    EXPECT_EQ(ImageData::decoderSize(c.bytes, ImageHeader::Format::jpeg), (ImageData::PixelSize{width, height}));
  }
}

// What the page is told, what the document stores and what our own decoders make of a JPEG of
// every orientation: the drawn size, the file as it came, and pixels the right way round.
TEST(PictureOrientation, AJPEGIsAnnouncedAndDecodedAsItIsDrawn) {
  for (std::uint32_t orientation = 1; orientation <= 8; ++orientation) {
    std::string what = "orientation " + std::to_string(orientation);
    SCOPED_TRACE(what);
    const Data jpeg = markedJPEG(orientation);
    auto [width, height] = drawnSize(orientation);

    auto decoded = ImageDecoding::decode(jpeg, "photo.jpg");
    ASSERT_TRUE(decoded) << decoded.error().message;
    EXPECT_EQ(decoded->image.pixels, (std::pair<long, long>{width, height}));
    EXPECT_EQ(decoded->image.pointWidth, width);
    EXPECT_EQ(decoded->image.pointHeight, height);
    EXPECT_EQ(decoded->bytesToStore, jpeg);

    auto picture = ImageData::decodeBitmap(jpeg);
    ASSERT_TRUE(picture) << picture.error().message;
    EXPECT_EQ(gdk_pixbuf_get_width(picture->get()), width);
    EXPECT_EQ(gdk_pixbuf_get_height(picture->get()), height);
    // Turned once: nothing after us may turn it again by the decoder's own reading.
    EXPECT_EQ(gdk_pixbuf_get_option(picture->get(), "orientation"), nullptr);
    expectCorners(bitmapOf(picture->get()), orientation, what + ", decoded");

    auto bitmap = ImageEncoding::decode(jpeg);
    ASSERT_TRUE(bitmap);
    expectCorners(*bitmap, orientation, what + ", as a bitmap");

    // Stored as PNG (as a pasted picture is), it carries its pixels turned.
    auto png = ImageDecoding::decodeAsPNG(jpeg);
    ASSERT_TRUE(png) << png.error().message;
    EXPECT_EQ(png->image.pixels, (std::pair<long, long>{width, height}));
    auto stored = ImageEncoding::decode(png->bytesToStore);
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->width, width);
    expectCorners(*stored, orientation, what + ", stored as PNG");
  }
}

// The engine draws a PNG's eXIf and a WebP's EXIF as stored: so do we, and the document stores
// them without it, so that every viewer of an export draws them so.
TEST(PictureOrientation, APNGOrWebPIsDrawnAsStoredWhateverItsEXIFSays) {
  for (std::uint32_t orientation : {3u, 6u, 8u}) {
    for (const auto& [what, bytes] : {std::pair{std::string("PNG"), markedPNG(orientation)},
                                      std::pair{std::string("WebP"), markedWebP(orientation)}}) {
      SCOPED_TRACE(what + ", orientation " + std::to_string(orientation));
      auto header = ImageHeader::read(bytes);
      ASSERT_TRUE(header);
      EXPECT_EQ(header->orientation, 1u);
      EXPECT_EQ(header->width, 40u);
      auto decoded = ImageDecoding::decode(bytes, what == "WebP" ? "photo.webp" : "photo.png");
      ASSERT_TRUE(decoded) << decoded.error().message;
      EXPECT_EQ(decoded->image.pixels, (std::pair<long, long>{40, 30}));
      auto stored = ImageEncoding::decode(decoded->bytesToStore);
      ASSERT_TRUE(stored);
      expectCorners(*stored, 1, what);
      // What is stored says no orientation that another viewer of an export could draw.
      std::string kept(decoded->bytesToStore.begin(), decoded->bytesToStore.end());
      EXPECT_EQ(kept.find("eXIf"), std::string::npos);
      EXPECT_EQ(kept.find("EXIF"), std::string::npos);
    }
  }
}
