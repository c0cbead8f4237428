// What image bytes are, what a document stores of them, and the SVG steps before insertion.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include "PDFFixtures.h"
#include "export/Bitmap.h"
#include "support/SolidBitmap.h"
#include "export/ImageDecoding.h"
#include "export/SVGInsertion.h"
#include "export/WebP.h"
#include "platform/ImageData.h"
#include "support/AnimatedPictures.h"
#include "support/TestEnvironment.h"

namespace {

bool isPNG(const Data& d) { return d.size() > 8 && d[0] == 0x89 && d[1] == 'P' && d[2] == 'N' && d[3] == 'G'; }

std::pair<double, double> pixels(const DecodedImage& d) {
  return {double(d.image.pixels->first), double(d.image.pixels->second)};
}

}  // namespace

TEST(ImageData, RecognisesFormatsByTheirBytes) {
  Data webp = WebP::encode(testenv::solidBitmap(3, 2, 1, 2, 3), 1.0f);
  Data png = ImageEncoding::png(testenv::solidBitmap(5, 4, 1, 2, 3));
  EXPECT_TRUE(ImageData::isWebP(webp));
  EXPECT_FALSE(ImageData::isWebP(png));
  EXPECT_FALSE(ImageData::isWebP(dataFromString("RIFF1234WAVEfmt ")));
  EXPECT_TRUE(ImageData::isPDF(dataFromString("%PDF-1.7")));
  EXPECT_TRUE(ImageData::isPostScript(dataFromString("%!PS-Adobe-3.0 EPSF-3.0")));
  EXPECT_TRUE(ImageData::isPostScript(Data{0xC5, 0xD0, 0xD3, 0xC6, 0, 0}));
  EXPECT_EQ(ImageData::bitmapSize(webp), (ImageData::PixelSize{3, 2}));
  EXPECT_EQ(ImageData::bitmapSize(png), (ImageData::PixelSize{5, 4}));
  EXPECT_EQ(ImageData::bitmapSize(ImageEncoding::tiff(testenv::solidBitmap(7, 6, 0, 0, 0))), (ImageData::PixelSize{7, 6}));
  for (const Data& no : {Data(), dataFromString("abc"), dataFromString("<html></html>"), Data(png.begin(), png.begin() + 12),
                         dataFromString(std::string_view("RIFF\0\0\0\0WEBPVP8 ", 16))})
    EXPECT_FALSE(ImageData::bitmapSize(no));
}

TEST(ImageData, StoresBitmapsAsTheyAreAndDrawingsAsPNG) {
  Data png = ImageEncoding::png(testenv::solidBitmap(5, 4, 1, 2, 3));
  EXPECT_EQ(*ImageData::storableImage(png), png);
  auto fromPdf = ImageData::storableImage(greenPDF(30, 20));
  ASSERT_TRUE(fromPdf);
  EXPECT_EQ(ImageData::bitmapSize(*fromPdf), (ImageData::PixelSize{30, 20}));
  EXPECT_FALSE(ImageData::storableImage(greenPDF(30000, 20)));
  EXPECT_FALSE(ImageData::storableImage(greenPDF(19000, 19000))) << "too many pixels";
  EXPECT_EQ(ImageData::storableImage(dataFromString("abc")).error().code, ImageData::notAnImage);
  EXPECT_FALSE(ImageData::storableImage(dataFromString("%PDF-1.4 nothing")));
  auto slow = ImageData::rasterisePostScript(dataFromString("%!PS\n{} loop\n"), std::chrono::milliseconds(500));
  ASSERT_FALSE(slow);
  EXPECT_EQ(slow.error().message, "Ghostscript took too long");
}

TEST(ImageDecoding, WebPReachesItsDecoderByNameOrBytesAndIsStoredAsPNG) {
  Data webp = WebP::encode(testenv::solidBitmap(40, 30, 200, 10, 10), 1.0f);
  Data png = ImageEncoding::png(testenv::solidBitmap(5, 4, 1, 2, 3));
  struct Case {
    const char* what;
    Data bytes;
    std::optional<std::string> name;
    std::optional<std::pair<double, double>> size;
    bool storedAsPNG;
  };
  const Case cases[] = {
      {"WebP named .webp", webp, "photo.webp", std::pair{40.0, 30.0}, true},
      {"WebP under another name", webp, "photo.png", std::pair{40.0, 30.0}, true},
      {"WebP without a name", webp, std::nullopt, std::pair{40.0, 30.0}, true},
      {"PNG named .webp goes to the WebP decoder", png, "photo.webp", std::nullopt, false},
      {"PNG named .WEBP goes to the general decoder", png, "photo.WEBP", std::pair{5.0, 4.0}, true},
      {"PDF", greenPDF(12, 9), "a.pdf", std::pair{12.0, 9.0}, true},
      {"text", dataFromString("abc"), "abc.png", std::nullopt, false},
      {"nothing", Data(), std::nullopt, std::nullopt, false},
  };
  for (const auto& c : cases) {
    auto decoded = ImageDecoding::imageFromData(c.bytes, c.name);
    ASSERT_EQ(decoded.has_value(), c.size.has_value()) << c.what;
    if (!decoded) continue;
    EXPECT_EQ(pixels(*decoded), *c.size) << c.what;
    EXPECT_EQ(isPNG(decoded->bytesToStore), c.storedAsPNG) << c.what;
  }
  // A WebP whose header promises more pixels than a design holds is not decoded.
  Data huge = webp;
  ASSERT_EQ(std::string(huge.begin() + 12, huge.begin() + 16), "VP8L");
  // Lossless header: width and height minus one in 14 bits each, alpha, version 0.
  huge[21] = 0xFF, huge[22] = 0xFF, huge[23] = 0xFF, huge[24] = 0x1F;
  EXPECT_EQ(ImageData::bitmapSize(huge), (ImageData::PixelSize{16384, 16384}));
  EXPECT_FALSE(ImageDecoding::imageFromData(huge, "huge.webp"));
  // A bitmap the general decoder reads is stored byte for byte.
  EXPECT_EQ(ImageDecoding::imageFromData(png, "a.png")->bytesToStore, png);
  auto stored = ImageDecoding::imageFromData(webp, std::nullopt)->bytesToStore;
  auto back = ImageEncoding::decode(stored);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->pixel(20, 15)[0], 200);
}

TEST(SVGInsertion, MeasuresBeforeDeclaringTheNamespaceAndJudgesStyleability) {
  struct Case {
    const char* svg;
    std::optional<std::pair<double, double>> size;
    bool styleable;
    bool gainsNamespace;
  };
  const Case cases[] = {
      {R"(<svg width="2in" height="10"><path d="M0 0"/></svg>)", std::pair{192.0, 10.0}, true, true},
      {R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 30 40"><path fill="red"/></svg>)",
       std::pair{30.0, 40.0}, false, false},
      {R"(<svg viewBox="0 0 8 8"><path fill="red" stroke="currentColor"/></svg>)", std::pair{8.0, 8.0}, true, true},
      {R"(<svg xmlns:x="urn:x"><style>p{}</style></svg>)", std::pair{0.0, 0.0}, false, false},
      {R"(<html><svg/></html>)", std::nullopt, false, false},
      {R"(<svg>)", std::nullopt, false, false},
      {"", std::nullopt, false, false},
  };
  for (const auto& c : cases) {
    auto prepared = SVGInsertion::prepare(dataFromString(c.svg));
    ASSERT_EQ(prepared.has_value(), c.size.has_value()) << c.svg;
    if (!prepared) continue;
    EXPECT_EQ((std::pair{prepared->width, prepared->height}), *c.size) << c.svg;
    EXPECT_EQ(prepared->styleable, c.styleable) << c.svg;
    EXPECT_EQ(prepared->xml.find("<svg xmlns=\"http://www.w3.org/2000/svg\"") != std::string::npos,
              c.gainsNamespace || std::string(c.svg).find("xmlns=") != std::string::npos)
        << prepared->xml;
    EXPECT_TRUE(SVGInsertion::prepare(dataFromString(prepared->xml))) << "the text written back parses again";
  }
}

// An animated WebP decodes to its first frame, as the engine first shows it, and is stored as it
// came, so that it keeps moving; one cut short is refused.
TEST(ImageDecoding, AnAnimatedWebPIsStoredAsItCameAndItsFirstFrameDecodes) {
  const Data moving = testenv::animatedWebP(testenv::freshFolder("animated-webp"), 30, 20,
                                            {{255, 0, 0}, {0, 0, 255}}, 100);
  ASSERT_FALSE(moving.empty()) << "img2webp made no animation";
  auto first = ImageData::decodeBitmap(moving);
  ASSERT_TRUE(first) << first.error().message;
  ASSERT_EQ(gdk_pixbuf_get_width(first->get()), 30);
  ASSERT_EQ(gdk_pixbuf_get_height(first->get()), 20);
  const guchar* p = gdk_pixbuf_get_pixels(first->get()) + 10 * gdk_pixbuf_get_rowstride(first->get()) +
                    15 * gdk_pixbuf_get_n_channels(first->get());
  EXPECT_GT(p[0], 200);
  EXPECT_LT(p[2], 60);
  for (auto name : {std::optional<std::string>("moving.webp"), std::optional<std::string>()}) {
    auto stored = ImageDecoding::decode(moving, name);
    ASSERT_TRUE(stored) << stored.error().message;
    EXPECT_EQ(stored->bytesToStore, moving);
    EXPECT_EQ(pixels(*stored), std::make_pair(30.0, 20.0));
  }
  Data cut(moving.begin(), moving.begin() + std::ptrdiff_t(moving.size() * 2 / 3));
  EXPECT_FALSE(ImageDecoding::decode(cut, std::string("moving.webp")));
}
