// Pictures are judged by their header before a pixel is decoded: their size, their density, and
// whether they may be decoded at all.

#include <gtest/gtest.h>

#include "export/Bitmap.h"
#include "export/ImageDecoding.h"
#include "export/SVGInsertion.h"
#include "export/WebP.h"
#include "platform/ImageData.h"
#include "platform/ImageHeader.h"
#include "support/HostilePictures.h"
#include "support/SolidBitmap.h"

using namespace testenv;

namespace {

std::uint8_t pngColourType(const Data& png) { return png.size() > 25 ? png[25] : 0xFF; }

// Found by fuzzing: the BMP decoder makes room for the header and the offset of the pixels
// that the file states.
Data bmpClaiming(std::uint32_t pixelsAt, std::uint32_t headerSize) {
  Data d{'B', 'M', 0x46, 0, 0, 0, 0, 0, 0, 0};
  putLittle(d, pixelsAt, 4);
  putLittle(d, headerSize, 4);
  for (std::uint32_t v : {2u, 2u}) putLittle(d, v, 4);
  putLittle(d, 0x00180001u, 4);
  d.resize(0x46, 0x33);
  return d;
}

}  // namespace

TEST(ImageHeader, ReadsSizeFramesAndDensityOfEveryFormatItLets) {
  Bitmap solid = solidBitmap(6, 5, 9, 8, 7);
  Data jpeg = ImageEncoding::jpeg(solid, 90);
  Data smallPNG = pngHeader(5, 5);
  Data paddedJPEG = jpegWithDensity(7, 3, 300, std::nullopt);
  paddedJPEG.insert(paddedJPEG.begin() + 20, {0, 0, 0});
  // Two rows running downwards, 24 bits, 3780 pixels per metre.
  Data bmp3780{'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0};
  for (std::uint32_t v : {40u, 2u, 0xFFFFFFFEu}) putLittle(bmp3780, v, 4);
  for (std::uint32_t v : {1u, 24u}) putLittle(bmp3780, v, 2);
  for (std::uint32_t v : {0u, 16u, 3780u, 3780u, 0u, 0u}) putLittle(bmp3780, v, 4);
  bmp3780.resize(70, 0x66);
  struct Case {
    const char* what;
    Data bytes;
    std::optional<ImageHeader::Format> format;
    std::uint32_t width, height, frames;
    std::optional<double> density;
  };
  const Case cases[] = {
      {"PNG", ImageEncoding::png(solid), ImageHeader::Format::png, 6, 5, 1, std::nullopt},
      {"PNG at 144 per inch", withDensity(ImageEncoding::png(solid), 5669), ImageHeader::Format::png, 6, 5, 1, 143.9926},
      {"JPEG", jpeg, ImageHeader::Format::jpeg, 6, 5, 1, std::nullopt},
      {"JPEG at 300 per inch", jpegWithDensity(6, 5, 300, std::nullopt), ImageHeader::Format::jpeg, 6, 5, 1, 300.0},
      {"JPEG whose camera says 144", jpegWithDensity(6, 5, 300, 144), ImageHeader::Format::jpeg, 6, 5, 1, 144.0},
      {"BMP at 3780 per metre", bmp3780, ImageHeader::Format::bmp, 2, 2, 1, 96.012},
      {"TIFF", ImageEncoding::tiff(solid), ImageHeader::Format::tiff, 6, 5, 1, std::nullopt},
      {"WebP", WebP::encode(solid, 1.0f), ImageHeader::Format::webp, 6, 5, 1, std::nullopt},
      {"lossy WebP", WebP::encode(solid, 0.5f), ImageHeader::Format::webp, 6, 5, 1, std::nullopt},
      {"GIF of three frames", gifHeader(30, 20, 3), ImageHeader::Format::gif, 30, 20, 3, std::nullopt},
      {"huge PNG header", pngHeader(60000, 60000), ImageHeader::Format::png, 60000, 60000, 1, std::nullopt},
      {"huge JPEG header", jpegHeader(65000, 65000), ImageHeader::Format::jpeg, 65000, 65000, 1, std::nullopt},
      {"huge TIFF header", tiffHeader(40000, 30000), ImageHeader::Format::tiff, 40000, 30000, 1, std::nullopt},
      {"SVG", dataFromString("<svg width='9' height='9'/>"), std::nullopt, 0, 0, 0, std::nullopt},
      {"PNG cut in its header", Data(smallPNG.begin(), smallPNG.begin() + 20), std::nullopt, 0, 0, 0, std::nullopt},
      {"PNG of no width", pngHeader(0, 5), std::nullopt, 0, 0, 0, std::nullopt},
      {"JPEG without a frame", Data{0xFF, 0xD8, 0xFF, 0xD9}, std::nullopt, 0, 0, 0, std::nullopt},
      {"JPEG with stray bytes before its frame", paddedJPEG, ImageHeader::Format::jpeg, 7, 3, 1, 300.0},
      {"nothing", Data(), std::nullopt, 0, 0, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    auto facts = ImageHeader::read(c.bytes);
    ASSERT_EQ(facts.has_value(), c.format.has_value()) << c.what;
    if (!facts) continue;
    EXPECT_EQ(facts->format, *c.format) << c.what;
    EXPECT_EQ(facts->width, c.width) << c.what;
    EXPECT_EQ(facts->height, c.height) << c.what;
    EXPECT_EQ(facts->frames, c.frames) << c.what;
    ASSERT_EQ(facts->densityX.has_value(), c.density.has_value()) << c.what;
    if (c.density) {
      EXPECT_NEAR(*facts->densityX, *c.density, 0.001) << c.what;
    }
  }
}

TEST(ImageHeader, APictureAt144PerInchMeasuresHalfItsPixelsInPoints) {
  Data png = withDensity(ImageEncoding::png(solidBitmap(200, 100, 1, 2, 3)), 5669);
  auto decoded = ImageDecoding::decode(png, "dense.png");
  ASSERT_TRUE(decoded) << decoded.error().message;
  EXPECT_NEAR(decoded->image.pointWidth, 100.0, 0.01);
  EXPECT_NEAR(decoded->image.pointHeight, 50.0, 0.01);
  EXPECT_EQ(decoded->image.pixels, (std::pair<long, long>{200, 100}));
  EXPECT_EQ(decoded->bytesToStore, png);
  auto measured = ImageSize::measure(decoded->image, 1.0);
  EXPECT_NEAR(measured.width, 100.0, 0.01);
  EXPECT_EQ(measured.pixelWidth, 200.0);
}

TEST(ImageHeader, HostilePicturesAreRefusedBeforeAnyPixelIsDecoded) {
  struct Case {
    const char* what;
    Data bytes;
    long code;
  };
  const Case cases[] = {
      {"PNG header of 60000 × 60000", pngHeader(60000, 60000), ImageData::tooLarge},
      {"JPEG header of 65000 × 65000", jpegHeader(65000, 65000), ImageData::tooLarge},
      {"TIFF header of 40000 × 30000", tiffHeader(40000, 30000), ImageData::tooLarge},
      {"GIF of 4000 frames of 4000 × 4000", gifHeader(4000, 4000, 4000), ImageData::tooLarge},
      {"BMP whose header claims four gigabytes", bmpClaiming(0x36, 0xFFFE0000u), ImageData::notAnImage},
      {"BMP whose pixels start three gigabytes in", bmpClaiming(0xBB000036u, 40), ImageData::notAnImage},
      {"SVG, which is no bitmap", dataFromString("<svg xmlns='http://www.w3.org/2000/svg' width='60000' height='60000'/>"),
       ImageData::notAnImage},
  };
  for (const auto& c : cases) {
    auto decoded = ImageDecoding::decode(c.bytes, std::nullopt);
    ASSERT_FALSE(decoded) << c.what;
    EXPECT_EQ(decoded.error().code, c.code) << c.what;
    EXPECT_FALSE(decoded.error().message.empty()) << c.what;
    EXPECT_FALSE(ImageDecoding::mayBeImage(c.bytes)) << c.what;
    auto stored = ImageData::storableImage(c.bytes);
    ASSERT_FALSE(stored) << c.what;
    EXPECT_EQ(stored.error().code, c.code) << c.what;
    EXPECT_FALSE(ImageEncoding::decode(c.bytes)) << c.what;
    EXPECT_FALSE(ImageData::decodeBitmap(c.bytes)) << c.what;
  }
  auto refused = ImageDecoding::decode(pngHeader(60000, 60000), std::nullopt);
  EXPECT_NE(refused.error().message.find("60000 × 60000"), std::string::npos) << refused.error().message;
  // A picture within the bound still decodes.
  EXPECT_TRUE(ImageEncoding::decode(ImageEncoding::tiff(solidBitmap(7, 6, 1, 2, 3))));
}

TEST(ImageHeader, WebPIsStoredWithoutAlphaWhenItHasNone) {
  Bitmap withAlpha = *Bitmap::make(8, 4);
  auto opaque = ImageDecoding::decode(WebP::encode(solidBitmap(8, 4, 200, 100, 50), 1.0f), "o.webp");
  auto clear = ImageDecoding::decode(WebP::encode(withAlpha, 1.0f), "c.webp");
  ASSERT_TRUE(opaque && clear);
  EXPECT_EQ(pngColourType(opaque->bytesToStore), 2) << "RGB";
  EXPECT_EQ(pngColourType(clear->bytesToStore), 6) << "RGBA";
  auto back = ImageEncoding::decode(opaque->bytesToStore);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->pixel(3, 2)[0], 200);
  EXPECT_EQ(back->pixel(3, 2)[3], 255);
}

TEST(SVGInsertion, SizesMustBeFinitePositiveAndWithinBounds) {
  struct Case {
    const char* svg;
    bool accepted;
  };
  const Case cases[] = {
      {R"(<svg width="1e300" height="10"/>)", false},
      {R"(<svg width="10" height="-1e308"/>)", false},
      {R"(<svg width="-5" height="10"/>)", false},
      {R"(<svg width="1e400" height="10"/>)", true},  // no number at all: no width
      {R"(<svg viewBox="0 0 99999999999 5"/>)", false},
      {R"(<svg viewBox="0 0 100001 5"/>)", false},
      {R"(<svg viewBox="0 0 100000 5"/>)", true},
      {R"(<svg width="20" height="30"/>)", true},
      {R"(<svg/>)", true},  // no size at all: the page picks one
  };
  for (const auto& c : cases) {
    auto prepared = SVGInsertion::prepare(dataFromString(c.svg));
    EXPECT_EQ(prepared.has_value(), c.accepted) << c.svg;
    if (!prepared && !c.accepted) {
      EXPECT_NE(prepared.error().message.find("size"), std::string::npos) << c.svg;
    }
  }
}
