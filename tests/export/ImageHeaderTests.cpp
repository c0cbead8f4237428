// Pictures are judged by their header before a pixel is decoded: their size, their density, and
// whether they may be decoded at all.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <iterator>

#include "export/Bitmap.h"
#include "export/ImageDecoding.h"
#include "export/SVGInsertion.h"
#include "export/WebP.h"
#include "platform/GObjectPtr.h"
#include "platform/ImageData.h"
#include "platform/ImageHeader.h"
#include "support/HostilePictures.h"
#include "support/SolidBitmap.h"
#include "support/TestEnvironment.h"

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

// Found by fuzzing: the BMP decoder makes room for the palette the file states, before it
// tells its size.
Data bmpWithPalette(std::uint16_t depth, std::uint32_t colours) {
  Data d{'B', 'M', 0x46, 0, 0, 0, 0, 0, 0, 0, 0x36, 0, 0, 0};
  for (std::uint32_t v : {40u, 2u, 2u}) putLittle(d, v, 4);
  putLittle(d, 1, 2);
  putLittle(d, depth, 2);
  for (std::uint32_t v : {0u, 16u, 0u, 0u, colours, 0u}) putLittle(d, v, 4);
  d.resize(0x46, 0x33);
  return d;
}

}  // namespace

TEST(ImageHeader, ReadsSizeFramesAndDensityOfEveryFormatItLets) {
  Bitmap solid = solidBitmap(6, 5, 9, 8, 7);
  Data jpeg = ImageEncoding::jpeg(solid, 90);
  Data smallPNG = pngHeader(5, 5);
  Data densityAfterEnd = pngHeader(6, 5);
  pngChunk(densityAfterEnd, "IEND", {});
  Data density = pngHeader(1, 1, 5669);
  densityAfterEnd.insert(densityAfterEnd.end(), density.begin() + 33, density.end());
  Data densityCut = pngHeader(6, 5, 5669);
  densityCut.resize(densityCut.size() - 2);
  Data paddedJPEG = jpegWithDensity(7, 3, 300, std::nullopt);
  paddedJPEG.insert(paddedJPEG.begin() + 20, {0, 0, 0});
  // Two rows running downwards, 24 bits, 3780 pixels per metre.
  Data bmp3780{'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0};
  for (std::uint32_t v : {40u, 2u, 0xFFFFFFFEu}) putLittle(bmp3780, v, 4);
  for (std::uint32_t v : {1u, 24u}) putLittle(bmp3780, v, 2);
  for (std::uint32_t v : {0u, 16u, 3780u, 3780u, 0u, 0u}) putLittle(bmp3780, v, 4);
  bmp3780.resize(70, 0x66);
  // An animation control chunk, after the header: four frames, played for ever.
  Data animatedPNG = ImageEncoding::png(solid);
  {
    Data control, chunk;
    putBig(control, 4, 4);
    putBig(control, 0, 4);
    pngChunk(chunk, "acTL", control);
    animatedPNG.insert(animatedPNG.begin() + 33, chunk.begin(), chunk.end());
  }
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
      {"PNG whose density comes after its end", densityAfterEnd, ImageHeader::Format::png, 6, 5, 1, std::nullopt},
      {"PNG whose density is cut short", densityCut, ImageHeader::Format::png, 6, 5, 1, std::nullopt},
      {"PNG stating two densities, of which the decoder keeps the first",
       withDensity(withDensity(ImageEncoding::png(solid), 2835), 5669), ImageHeader::Format::png, 6, 5, 1, 143.9926},
      {"JPEG", jpeg, ImageHeader::Format::jpeg, 6, 5, 1, std::nullopt},
      {"JPEG at 300 per inch", jpegWithDensity(6, 5, 300, std::nullopt), ImageHeader::Format::jpeg, 6, 5, 1, 300.0},
      {"JPEG whose camera says 144", jpegWithDensity(6, 5, 300, 144), ImageHeader::Format::jpeg, 6, 5, 1, 144.0},
      {"BMP at 3780 per metre", bmp3780, ImageHeader::Format::bmp, 2, 2, 1, 96.012},
      {"TIFF", ImageEncoding::tiff(solid), ImageHeader::Format::tiff, 6, 5, 1, std::nullopt},
      {"WebP", WebP::encode(solid, 1.0f), ImageHeader::Format::webp, 6, 5, 1, std::nullopt},
      {"lossy WebP", WebP::encode(solid, 0.5f), ImageHeader::Format::webp, 6, 5, 1, std::nullopt},
      {"GIF of three frames", gifHeader(30, 20, 3), ImageHeader::Format::gif, 30, 20, 3, std::nullopt},
      {"PNG of four frames", animatedPNG, ImageHeader::Format::png, 6, 5, 4, std::nullopt},
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
      {"BMP of 8 bits whose palette claims four billion colours", bmpWithPalette(8, 0xFF382D46u), ImageData::notAnImage},
      {"BMP of 8 bits whose palette claims 257 colours", bmpWithPalette(8, 257), ImageData::notAnImage},
      {"BMP of 24 bits whose palette claims a million colours", bmpWithPalette(24, 1u << 20), ImageData::notAnImage},
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

namespace {

// A TIFF header whose resolution tags state two values each.
Data tiffWithTwoResolutions() {
  Data d{'I', 'I', '*', 0};
  putLittle(d, 8, 4);
  putLittle(d, 4, 2);
  for (auto [tag, type, count, value] : {std::array<std::uint32_t, 4>{256, 4, 1, 50}, {257, 4, 1, 40},
                                         {282, 5, 2, 62}, {283, 5, 2, 62}}) {
    putLittle(d, tag, 2);
    putLittle(d, type, 2);
    putLittle(d, count, 4);
    putLittle(d, value, 4);
  }
  putLittle(d, 0, 4);
  for (std::uint32_t v : {1u, 1u, 2u, 1u}) putLittle(d, v, 4);  // 1/1, then 2/1
  return d;
}

Data bmp(int width, int height) {
  GObjectPtr<GdkPixbuf> pixbuf(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height));
  gdk_pixbuf_fill(pixbuf.get(), 0x336699ff);
  gchar* buffer = nullptr;
  gsize length = 0;
  gdk_pixbuf_save_to_buffer(pixbuf.get(), &buffer, &length, "bmp", nullptr, nullptr);
  Data out(reinterpret_cast<std::uint8_t*>(buffer), reinterpret_cast<std::uint8_t*>(buffer) + length);
  g_free(buffer);
  return out;
}

}  // namespace

// Files whose header says one thing to a reader that reads it otherwise than the decoder.
TEST(ImageHeader, ReadsWhatTheDecoderReadsAndBoundsIt) {
  const std::uint32_t tooManyFrames = 100000;
  struct Case {
    const char* what;
    Data bytes;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> size;
    std::uint32_t frames;
    std::optional<long> refused;
  };
  const Case cases[] = {
      {"JPEG hiding its frame behind stuffing", jpegLiar(30000, 30000, 100, 100), std::pair{30000u, 30000u}, 1,
       ImageData::tooLarge},
      {"JPEG with fill bytes and restart markers before its frame",
       [] {
         Data d = jpegPicture(30, 20);
         d.insert(d.begin() + 2, {0xFF, 0xFF, 0xD3, 0xFF, 0x01});
         return d;
       }(),
       std::pair{30u, 20u}, 1, std::nullopt},
      {"JPEG with two frame headers", [] {
         Data d = jpegPicture(30, 20), frame = jpegFrame(9000, 9000);
         d.insert(d.begin() + 2, frame.begin(), frame.end());
         return d;
       }(), std::nullopt, 0, ImageData::notAnImage},
      {"TIFF giving its size twice", tiffPicture(15000, 15000, std::pair{100u, 100u}), std::pair{15000u, 15000u}, 1,
       ImageData::tooLarge},
      {"TIFF giving a wide size, then a narrow one", tiffPicture(100000, 2000, std::pair{4u, 2000u}),
       std::pair{100000u, 2000u}, 1, ImageData::tooLarge},
      {"TIFF whose size is two numbers", tiffPicture(300, 200, std::nullopt, 2), std::nullopt, 0, ImageData::notAnImage},
      // Found by fuzzing: the decoder reads "/gif" as a bare lossless bitstream of 10600 × 410.
      {"WebP whose first chunk is no image chunk, then an extended header",
       [] {
         Data d{'R', 'I', 'F', 'F', 0, 0, 0, 0x14, 'W', 'E', 'B', 'P', '/', 'g', 'i', 'f', 0, 0, 0, 0, 'V', 'P', '8', 'X'};
         d.insert(d.end(), {'S', 'I', 'F', '4', '3', 'a', 1, ',', 'a', 1, ',', 1, 0, 0});
         return d;
       }(),
       std::nullopt, 0, ImageData::notAnImage},
      {"GIF of too many frames", gifPicture(1, 1, int(tooManyFrames)), std::pair{1u, 1u}, tooManyFrames, ImageData::tooLarge},
      {"GIF hiding its frames behind a stray byte", gifPicture(1, 1, int(tooManyFrames), true), std::pair{1u, 1u},
       tooManyFrames, ImageData::tooLarge},
      {"GIF of as many frames as may be", gifPicture(1, 1, int(ImageData::maximumFrames), true), std::pair{1u, 1u},
       ImageData::maximumFrames, std::nullopt},
  };
  for (const auto& c : cases) {
    auto facts = ImageHeader::read(c.bytes);
    EXPECT_EQ(facts.has_value(), c.size.has_value()) << c.what;
    if (facts && c.size) {
      EXPECT_EQ(std::pair(facts->width, facts->height), *c.size) << c.what;
      EXPECT_EQ(facts->frames, c.frames) << c.what;
    }
    auto decoded = ImageDecoding::decode(c.bytes, std::nullopt);
    EXPECT_EQ(decoded.has_value(), !c.refused) << c.what;
    if (decoded.has_value() == c.refused.has_value()) continue;
    if (!decoded) {
      EXPECT_EQ(decoded.error().code, *c.refused) << c.what << ": " << decoded.error().message;
      EXPECT_FALSE(ImageData::checkedBitmap(c.bytes)) << c.what;
      EXPECT_FALSE(ImageData::decodeBitmap(c.bytes)) << c.what;
    } else {
      EXPECT_EQ(decoded->image.pixels, (std::pair<long, long>(c.size->first, c.size->second))) << c.what;
    }
  }
  auto frames = ImageDecoding::decode(gifPicture(1, 1, int(tooManyFrames), true), std::nullopt);
  ASSERT_FALSE(frames);
  EXPECT_NE(frames.error().message.find("too many frames: 100000"), std::string::npos) << frames.error().message;
  // A resolution that is not one number is passed over, as the decoder does.
  auto twoResolutions = ImageHeader::read(tiffWithTwoResolutions());
  ASSERT_TRUE(twoResolutions);
  EXPECT_EQ(twoResolutions->width, 50u);
  EXPECT_FALSE(twoResolutions->densityX);
}

// Whatever the header's reader makes of a file, the decoder's own size is held to it.
TEST(ImageData, TheDecodersOwnSizeMayNotExceedTheHeaders) {
  Bitmap solid = solidBitmap(30, 20, 9, 8, 7);
  struct Case {
    const char* what;
    Data bytes;
  };
  const Case cases[] = {
      {"PNG", ImageEncoding::png(solid)},
      {"JPEG", jpegPicture(30, 20)},
      {"TIFF", tiffPicture(30, 20)},
      {"GIF", gifPicture(30, 20, 2)},
      {"BMP", bmp(30, 20)},
      {"WebP", WebP::encode(solid, 1.0f)},
  };
  for (const auto& c : cases) {
    auto header = ImageData::checkedBitmap(c.bytes);
    ASSERT_TRUE(header) << c.what;
    EXPECT_EQ(ImageData::decoderSize(c.bytes, header->format), (ImageData::PixelSize{30, 20})) << c.what;
    auto whole = ImageData::decodeBitmap(c.bytes, *header);
    ASSERT_TRUE(whole) << c.what << ": " << whole.error().message;
    EXPECT_EQ(gdk_pixbuf_get_width(whole->get()), 30) << c.what;
    for (auto [width, height] : {std::pair{29u, 20u}, std::pair{30u, 19u}}) {
      ImageHeader::Facts understated = *header;
      understated.width = width;
      understated.height = height;
      auto refused = ImageData::decodeBitmap(c.bytes, understated);
      ASSERT_FALSE(refused) << c.what;
      EXPECT_EQ(refused.error().code, ImageData::tooLarge) << c.what;
      EXPECT_NE(refused.error().message.find("finds 30 × 20 pixels where its header says"), std::string::npos)
          << c.what << ": " << refused.error().message;
    }
  }
  // Only the first frame of a GIF reaches the decoder: what comes after it costs nothing.
  Data cut = gifPicture(30, 20, 3);
  cut.resize(cut.size() - 8);
  auto first = ImageData::decodeBitmap(cut);
  ASSERT_TRUE(first) << first.error().message;
  EXPECT_EQ(gdk_pixbuf_get_width(first->get()), 30);
  // One cut in its first frame gives no picture.
  cut.resize(cut.size() - 26);
  auto none = ImageData::decodeBitmap(cut);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().code, ImageData::notAnImage);
}

TEST(ImageDecoding, APictureWhoseDataIsMissingIsRefused) {
  auto decoded = ImageDecoding::decode(pngHeader(30, 20), "cut.png");
  ASSERT_FALSE(decoded);
  EXPECT_EQ(decoded.error().code, ImageData::notAnImage);
  EXPECT_EQ(decoded.error().message, "The picture's data does not decode");
}

TEST(ImageDecoding, ADensityThatWouldMakeAPictureLargerThanADesignIsPassedOver) {
  Data png = ImageEncoding::png(solidBitmap(2000, 1000, 9, 8, 7));
  struct Case {
    const char* what;
    std::uint32_t pixelsPerMetre;
    double pointWidth, pointHeight;
  };
  const Case cases[] = {
      {"1 per inch", 40, 2000, 1000},
      {"36 per inch", 1417, 2000 * 72 / (1417 * 0.0254), 1000 * 72 / (1417 * 0.0254)},
      {"144 per inch", 5669, 2000 * 72 / (5669 * 0.0254), 1000 * 72 / (5669 * 0.0254)},
  };
  for (const auto& c : cases) {
    auto decoded = ImageDecoding::decode(withDensity(png, c.pixelsPerMetre), "dense.png");
    ASSERT_TRUE(decoded) << c.what;
    EXPECT_NEAR(decoded->image.pointWidth, c.pointWidth, 0.01) << c.what;
    EXPECT_NEAR(decoded->image.pointHeight, c.pointHeight, 0.01) << c.what;
    EXPECT_EQ(decoded->image.pixels, (std::pair<long, long>{2000, 1000})) << c.what;
  }
}

namespace {

// The types of a PNG's chunks, in order.
std::vector<std::string> chunkTypes(const Data& png) {
  std::vector<std::string> types;
  for (std::size_t at = 8; at + 8 <= png.size();) {
    std::uint32_t length = std::uint32_t(png[at]) << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3];
    types.emplace_back(png.begin() + std::ptrdiff_t(at + 4), png.begin() + std::ptrdiff_t(at + 8));
    at += 12 + std::size_t(length);
  }
  return types;
}

// A PNG of the chunks named, each with a body of `n` bytes of its own.
Data pngOfChunks(std::initializer_list<const char*> types, std::size_t n = 4) {
  Data d = pngHeader(3, 2);
  for (const char* type : types) pngChunk(d, type, Data(n, std::uint8_t(type[0])));
  return d;
}

// A 2000 × 2000 picture whose rows differ, so that its data is not a few bytes.
Data largePNG() {
  Bitmap bitmap = solidBitmap(2000, 2000, 0, 0, 0);
  for (std::size_t i = 0; i < bitmap.rgba.size(); i += 4) bitmap.rgba[i] = std::uint8_t((i / 4) * 7 % 251);
  return ImageEncoding::png(bitmap);
}

}  // namespace

// Text chunks are inflated by the decoder before it tells the size: megabytes each from a few
// kilobytes. Neither the decoder nor the store sees them.
TEST(ImageData, APNGsTextReachesNeitherTheDecoderNorTheStore) {
  Data plain = ImageEncoding::png(solidBitmap(6, 5, 9, 8, 7));
  ASSERT_EQ(chunkTypes(plain), (std::vector<std::string>{"IHDR", "sBIT", "IDAT", "IEND"}));
  struct Case {
    const char* type;
    int count;
    std::size_t textBytes;
  };
  const Case cases[] = {{"zTXt", 100, 7900000}, {"zTXt", 200, 7900000}, {"iTXt", 100, 7900000},
                        {"iTXt", 200, 7900000}, {"tEXt", 3, 100}};
  for (const auto& c : cases) {
    std::string what = std::to_string(c.count) + " " + c.type;
    Data png = withTextChunks(plain, c.type, c.count, c.textBytes);
    ASSERT_EQ(chunkTypes(png).size(), 4u + c.count) << what;
    auto picture = ImageData::decodeBitmap(png);
    ASSERT_TRUE(picture) << what << ": " << picture.error().message;
    EXPECT_EQ(gdk_pixbuf_get_width(picture->get()), 6) << what;
    EXPECT_FALSE(gdk_pixbuf_get_option(picture->get(), "tEXt::Comment")) << what << " reached the decoder";
    auto decoded = ImageDecoding::decode(png, "text.png");
    ASSERT_TRUE(decoded) << what;
    EXPECT_EQ(decoded->bytesToStore, plain) << what;
    EXPECT_EQ(*ImageData::storableImage(png), plain) << what;
    EXPECT_EQ(ImageData::decoderSize(png, ImageHeader::Format::png), (ImageData::PixelSize{6, 5})) << what;
  }
}

TEST(ImageHeader, APNGForDrawingKeepsOnlyTheChunksThatDrawIt) {
  struct Case {
    const char* what;
    Data png;
    std::vector<std::string> kept;
  };
  const std::vector<std::string> none{"IHDR", "IDAT", "IEND"};
  Data trailing = pngOfChunks({"IDAT", "IEND"});
  trailing.insert(trailing.end(), {'j', 'u', 'n', 'k', 0, 0, 0, 0, 0});
  Data cutText = pngOfChunks({"IDAT", "tEXt"});
  cutText.resize(cutText.size() - 3);
  const Case cases[] = {
      {"text and time", pngOfChunks({"tEXt", "zTXt", "iTXt", "IDAT", "tIME", "zTXt", "IEND"}), none},
      {"what draws it", pngOfChunks({"PLTE", "tRNS", "gAMA", "cHRM", "sRGB", "iCCP", "pHYs", "IDAT", "IEND"}),
       {"IHDR", "PLTE", "tRNS", "gAMA", "cHRM", "sRGB", "iCCP", "pHYs", "IDAT", "IEND"}},
      {"profiles after the first, which the decoder inflates and passes over",
       pngOfChunks({"iCCP", "gAMA", "iCCP", "zTXt", "gAMA", "IDAT", "iCCP", "IEND"}),
       {"IHDR", "iCCP", "gAMA", "gAMA", "IDAT", "IEND"}},
      {"frames of an animation", pngOfChunks({"acTL", "fcTL", "IDAT", "fcTL", "fdAT", "fcTL", "fdAT", "IEND"}),
       {"IHDR", "acTL", "fcTL", "IDAT", "fcTL", "fdAT", "fcTL", "fdAT", "IEND"}},
      {"private and unknown ancillary chunks", pngOfChunks({"prVt", "sPLT", "hIST", "bKGD", "IDAT", "IEND"}), none},
      {"an unknown critical chunk, which the decoder refuses", pngOfChunks({"CRIT", "IDAT", "IEND"}),
       {"IHDR", "CRIT", "IDAT", "IEND"}},
      {"bytes after the end", trailing, none},
      {"a text chunk cut short", cutText, none},
      {"text after the data and no end", pngOfChunks({"IDAT", "tEXt"}), none},
      {"data cut short", Data(trailing.begin(), trailing.begin() + 45), {"IHDR"}},
  };
  for (const auto& c : cases) EXPECT_EQ(chunkTypes(ImageHeader::pngForDrawing(c.png)), c.kept) << c.what;
  // Nothing left out, nothing changed.
  Data whole = pngOfChunks({"sRGB", "IDAT", "IDAT", "IEND"});
  EXPECT_EQ(ImageHeader::pngForDrawing(whole), whole);
  for (const Data& other : {Data(), dataFromString("GIF89a"), jpegPicture(3, 2)})
    EXPECT_EQ(ImageHeader::pngForDrawing(other), other);
}

// A PNG whose file ends inside its image data is a part of a picture: the decoder makes the rows
// it has and tells no error.
TEST(ImageDecoding, APNGCutInItsImageDataIsRefused) {
  Data whole = largePNG();
  auto types = chunkTypes(whole);
  ASSERT_EQ(types.back(), "IEND");
  Data textAfter(whole.begin(), whole.end() - 12);
  pngChunk(textAfter, "tEXt", dataFromString(std::string("Comment\0after", 13)));
  Data textAfterCut(textAfter.begin(), textAfter.end() - 5);
  struct Case {
    const char* what;
    Data bytes;
    bool refused;
  };
  const Case cases[] = {
      {"cut half-way", Data(whole.begin(), whole.begin() + std::ptrdiff_t(whole.size() / 2)), true},
      {"cut a byte short of its data's end", Data(whole.begin(), whole.end() - 17), true},
      {"cut after its data, before the next chunk", Data(whole.begin(), whole.end() - 12), true},
      {"cut in the chunk after its data", Data(whole.begin(), whole.end() - 4), false},
      {"whole", whole, false},
      {"cut in a text chunk after its data", textAfterCut, false},
  };
  for (const auto& c : cases) {
    auto decoded = ImageDecoding::decode(c.bytes, "cut.png");
    ASSERT_EQ(decoded.has_value(), !c.refused) << c.what;
    if (!c.refused) {
      EXPECT_EQ(decoded->image.pixels, (std::pair<long, long>{2000, 2000})) << c.what;
      continue;
    }
    EXPECT_EQ(decoded.error().code, ImageData::notAnImage) << c.what;
    EXPECT_EQ(decoded.error().message, "The picture is cut short: its data ends before its last row") << c.what;
    EXPECT_FALSE(ImageData::decodeBitmap(c.bytes)) << c.what;
    EXPECT_FALSE(ImageData::storableImage(c.bytes)) << c.what;
    EXPECT_FALSE(ImageDecoding::mayBeImage(c.bytes)) << c.what;
  }
}

// A progressive decoder draws the whole picture again after each scan: a picture of many
// scans costs their count times its pixels.
TEST(ImageHeader, AJPEGsScansAreCountedAndBounded) {
  const auto bound = ImageData::maximumScans;
  struct Case {
    const char* what;
    Data bytes;
    std::uint32_t scans;
    bool refused;
  };
  Data restarts = jpegProgressive(40, 24, 2);
  // Restart markers, fill bytes and a comment between scans, and a scan marker inside the comment.
  Data between{0xFF, 0xD0, 0xFF, 0xFF, 0xFF, 0xFE, 0, 6, 0xFF, 0xDA, 0, 8};
  restarts.insert(restarts.end() - 2, between.begin(), between.end());
  const Case cases[] = {
      {"baseline", jpegPicture(40, 24), 1, false},
      {"progressive, as the usual encoders make it", jpegProgressive(40, 24), 6, false},
      {"with other segments between its scans", restarts, 8, false},
      {"as many scans as may be", jpegProgressive(40, 24, int(bound) - 6), bound, false},
      {"one scan more", jpegProgressive(40, 24, int(bound) - 5), bound + 1, true},
      {"200 scans of 8192 × 8192", jpegProgressive(8192, 8192, 194), 200, true},
  };
  for (const auto& c : cases) {
    auto header = ImageHeader::read(c.bytes);
    ASSERT_TRUE(header) << c.what;
    EXPECT_EQ(header->scans, c.scans) << c.what;
    auto decoded = ImageDecoding::decode(c.bytes, "scans.jpg");
    ASSERT_EQ(decoded.has_value(), !c.refused) << c.what;
    if (!c.refused) {
      EXPECT_EQ(decoded->image.pixels, (std::pair<long, long>{40, 24})) << c.what;
      continue;
    }
    EXPECT_EQ(decoded.error().code, ImageData::tooLarge) << c.what;
    EXPECT_NE(decoded.error().message.find("too many scans: " + std::to_string(c.scans)), std::string::npos)
        << decoded.error().message;
    EXPECT_FALSE(ImageData::storableImage(c.bytes)) << c.what;
    EXPECT_FALSE(ImageDecoding::mayBeImage(c.bytes)) << c.what;
  }
  // The ordinary progressive picture decodes, grey where its blocks are empty.
  auto grey = ImageEncoding::decode(jpegProgressive(40, 24));
  ASSERT_TRUE(grey);
  EXPECT_NEAR(grey->pixel(20, 12)[0], 128, 2);
}

// The pages' engine draws no TIFF: it is stored as its picture in PNG.
TEST(ImageDecoding, ATIFFIsStoredAsPNG) {
  Data tiff = ImageEncoding::tiff(solidBitmap(30, 20, 200, 10, 10));
  auto decoded = ImageDecoding::decode(tiff, "scan.tiff");
  ASSERT_TRUE(decoded) << decoded.error().message;
  auto stored = ImageHeader::read(decoded->bytesToStore);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->format, ImageHeader::Format::png);
  EXPECT_EQ(decoded->image.pixels, (std::pair<long, long>{30, 20}));
  auto back = ImageEncoding::decode(decoded->bytesToStore);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->pixel(15, 10)[0], 200);
  auto kept = ImageData::storableImage(tiff);
  ASSERT_TRUE(kept);
  EXPECT_EQ(ImageHeader::read(*kept)->format, ImageHeader::Format::png);
}

// Found by fuzzing: a TIFF decoder makes room for one strip or tile of coded rows, which its
// header sizes apart from the picture; 57856 samples to a pixel made a 300 × 200 picture ask for
// 3.4 GB. Such a header is refused; what libtiff's own tools write still decodes.
TEST(ImageHeader, ATIFFsDecoderMayHoldLittleMoreThanItsPicture) {
  struct Hostile {
    const char* what;
    Data bytes;
  };
  const Hostile hostile[] = {
      {"57856 samples to a pixel", tiffPicture(300, 200, std::nullopt, 1, {{277, 57856}})},
      {"60000 samples in separate planes", tiffPicture(300, 200, std::nullopt, 1, {{277, 60000}, {284, 2}})},
      {"tiles of 65536 × 65536 on a picture of 16 × 16", tiffPicture(16, 16, std::nullopt, 1, {{322, 65536}, {323, 65536}})},
      {"tiles of 1 × 1, one table entry each", tiffPicture(4000, 4000, std::nullopt, 1, {{322, 1}, {323, 1}})},
      {"65535 bits to a sample", tiffPicture(3000, 2000, std::nullopt, 1, {{258, 65535}})},
  };
  for (const auto& c : hostile) {
    auto checked = ImageData::checkedBitmap(c.bytes);
    ASSERT_FALSE(checked) << c.what;
    EXPECT_EQ(checked.error().code, ImageData::tooLarge) << c.what;
    EXPECT_NE(checked.error().message.find("too much memory"), std::string::npos) << checked.error().message;
    EXPECT_FALSE(ImageData::decodeBitmap(c.bytes)) << c.what;
    EXPECT_FALSE(ImageData::storableImage(c.bytes)) << c.what;
    EXPECT_FALSE(ImageDecoding::decode(c.bytes, "scan.tiff")) << c.what;
  }
  // Many samples to a pixel within the bound, and a strip for every row, are no lie.
  EXPECT_TRUE(ImageData::checkedBitmap(tiffPicture(300, 200, std::nullopt, 1, {{277, 8}})));
  EXPECT_TRUE(ImageData::checkedBitmap(tiffPicture(8, 8000000, std::nullopt, 1, {{278, 1}})));

  auto dir = freshFolder("tiffcp");
  Data original = ImageEncoding::tiff(solidBitmap(300, 200, 30, 160, 90));
  {
    std::ofstream out(dir / "in.tiff", std::ios::binary);
    out.write(reinterpret_cast<const char*>(original.data()), std::streamsize(original.size()));
  }
  const char* layouts[] = {"-r 1", "-r 7 -c lzw", "-t -w 16 -l 16", "-t -w 256 -l 256 -c zip", "-p separate",
                           "-p separate -t -w 32 -l 32", "-c packbits"};
  for (const char* layout : layouts) {
    SCOPED_TRACE(layout);
    std::string out;
    ASSERT_EQ(run(std::string("tiffcp ") + layout + " '" + (dir / "in.tiff").string() + "' '" +
                      (dir / "out.tiff").string() + "' 2>&1", &out), 0) << out;
    std::ifstream in(dir / "out.tiff", std::ios::binary);
    Data bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto decoded = ImageData::decodeBitmap(bytes);
    ASSERT_TRUE(decoded) << decoded.error().message;
    ASSERT_EQ(gdk_pixbuf_get_width(decoded->get()), 300);
    ASSERT_EQ(gdk_pixbuf_get_height(decoded->get()), 200);
    const guchar* pixel = gdk_pixbuf_get_pixels(decoded->get()) + 150 * gdk_pixbuf_get_rowstride(decoded->get()) +
                          250 * gdk_pixbuf_get_n_channels(decoded->get());
    EXPECT_EQ((std::array<int, 3>{pixel[0], pixel[1], pixel[2]}), (std::array<int, 3>{30, 160, 90}));
  }
}

// A render leaves unpainted what an opaque picture hides: only a header that says so for every
// pixel it draws may call it opaque.
TEST(ImageHeader, APictureIsOpaqueOnlyWhenItsHeaderLeavesNoPixelClear) {
  Bitmap clear = *Bitmap::make(8, 4);
  GObjectPtr<GdkPixbuf> rgb(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 8, 4));
  gdk_pixbuf_fill(rgb.get(), 0x336699ff);
  Data png = *ImageData::pngOf(rgb.get());
  auto withColour = [&](std::uint8_t type) {
    Data d = png;
    d[25] = type;
    return d;
  };
  // The chunk goes straight after IHDR, before the pixels.
  auto withChunk = [&](const char* type, Data body) {
    Data chunk;
    pngChunk(chunk, type, body);
    Data d = png;
    d.insert(d.begin() + 33, chunk.begin(), chunk.end());
    return d;
  };
  Data animation;
  putBig(animation, 2, 4);
  putBig(animation, 0, 4);
  struct Case {
    const char* what;
    Data bytes;
    bool opaque;
  } cases[] = {
      {"an RGB PNG", png, true},
      {"a grey PNG", withColour(0), true},
      {"a PNG of a palette", withColour(3), true},
      {"an RGBA PNG", ImageEncoding::png(solidBitmap(8, 4, 10, 20, 30)), false},
      {"a grey PNG with alpha", withColour(4), false},
      {"an RGB PNG with a transparent colour", withChunk("tRNS", {0, 1, 0, 2, 0, 3}), false},
      {"an animated RGB PNG", withChunk("acTL", animation), false},
      {"a JPEG", jpegPicture(8, 4), true},
      {"a lossy WebP", WebP::encode(solidBitmap(8, 4, 200, 100, 50), 0.8f), true},
      {"a lossy WebP with alpha", WebP::encode(clear, 0.8f), false},
      {"a lossless WebP", WebP::encode(solidBitmap(8, 4, 200, 100, 50), 1.0f), false},
      {"a GIF", gifPicture(8, 4, 1), false},
      {"a TIFF", noiseTiff(8, 4), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto facts = ImageHeader::read(c.bytes);
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->opaque, c.opaque);
  }
}
