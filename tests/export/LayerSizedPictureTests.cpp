// A rendered export holds each picture at no more than its layer takes: a PDF at 300 per inch of
// the layer, a bitmap at the layer's pixels, whatever the size of the page around it; and a
// picture the page can't take is named, not the whole page refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/Bitmap.h"
#include "export/ExportFileWriter.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/ImageData.h"
#include "support/HostilePictures.h"
#include "support/InlinedPictures.h"
#include "support/SolidBitmap.h"
#include "support/TestEnvironment.h"

namespace {

using Type = ExportFileDescriptor::Type;

using testenv::inlinedSizes;

std::string image(const std::string& reference) { return "<img src=\"##base64-file:" + reference + "##\">"; }

TEST(LayerSizedPictures, ARenderedExportHoldsEachPictureAtTheSizeOfItsLayer) {
  auto project = testenv::freshFolder("layer-sized");
  ASSERT_TRUE(fs::writeInside(project, "design/images/photo", testenv::jpegPicture(3000, 3000)));
  ASSERT_TRUE(fs::writeInside(project, "design/images/small.png",
                              ImageEncoding::png(testenv::solidBitmap(40, 30, 255, 0, 0))));
  // A page of 560 × 560 CSS pixels.
  struct Case {
    const char* what;
    Type type;
    std::string text;
    std::vector<std::pair<int, int>> sizes;
  } cases[] = {
      // 100 pt at 300 per inch, not the page's 2334 (which the photo hardly exceeds: it goes whole).
      {"a PDF's layer of 100 × 100", Type::pdf, image("design/images/photo?size=100x100"), {{417, 417}}},
      {"a PDF's layer without its size", Type::pdf, image("design/images/photo"), {{3000, 3000}}},
      // Covering a stretched layer both ways; each size of the one file made once.
      {"a PDF's layers of two sizes", Type::pdf,
       image("design/images/photo?size=200x50") + image("design/images/photo?size=100x100") +
           image("design/images/photo?size=200x50"),
       {{834, 834}, {417, 417}, {834, 834}}},
      // Never more than the page draws.
      {"a PDF's layer past the page", Type::pdf, image("design/images/photo?size=5000x5000"), {{3000, 3000}}},
      {"a PNG's layer past the page", Type::png, image("design/images/photo?size=5000x100"), {{560, 560}}},
      {"a PNG's layer of 100 × 100", Type::png, image("design/images/photo?size=100x100"), {{100, 100}}},
      {"a WebP's layer of 300 × 150", Type::webp, image("design/images/photo?size=300x150"), {{300, 300}}},
      // A picture smaller than its layer as it is.
      {"a small picture", Type::pdf, image("design/images/small.png?size=100x100"), {{40, 30}}},
      // HTML and SVG keep the file as stored.
      {"HTML", Type::html, image("design/images/photo?size=100x100"), {{3000, 3000}}},
      {"SVG", Type::svg, image("design/images/photo?size=100x100"), {{3000, 3000}}},
      // What is not a layer's size is part of the file's name, as before: no such file.
      {"a size of nothing", Type::pdf, image("design/images/photo?size=0x100"), {{0, 0}}},
      {"half a size", Type::pdf, image("design/images/photo?size=100"), {{0, 0}}},
      {"a size of words", Type::pdf, image("design/images/photo?size=axb"), {{0, 0}}},
      {"a size past its bounds", Type::pdf, image("design/images/photo?size=100000x100"), {{0, 0}}},
      {"a size as a query of two", Type::pdf, image("design/images/photo?width=100&amp;height=100"), {{0, 0}}},
  };
  for (const auto& c : cases) {
    // As an export of the page writes it.
    auto inlined = ExportFileWriter::inlineFiles(c.text, project, ExportFileWriter::drawnPixels(c.type, 560, 560),
                                                 ExportFileWriter::pixelsPerCSSPixel(c.type));
    ASSERT_TRUE(inlined) << c.what;
    EXPECT_EQ(inlinedSizes(*inlined), c.sizes) << c.what;
    EXPECT_EQ(inlined->text.find("##"), std::string::npos) << c.what;
  }
}

}  // namespace

namespace {

// A file of `bytes` bytes that is no picture (mostly a hole: nothing is written).
void writePlainFile(const std::filesystem::path& file, std::uintmax_t bytes) {
  std::ofstream(file, std::ios::binary) << "plain";
  std::filesystem::resize_file(file, bytes);
}

}  // namespace

// A page whose files fill most of what one page inlines: a picture the store makes past what is
// left is named (an empty data address), and the page is written with the rest, a small picture
// after it and each later reference to it included. Plain files past the bound still refuse
// the page.
TEST(LayerSizedPictures, APictureMadeLargerThanThePageCanStillTakeIsNamedAndThePageWritten) {
  auto project = testenv::freshFolder("made-large");
  writePlainFile(project / "one.bin", 45u << 20);
  writePlainFile(project / "two.bin", 45u << 20);
  ASSERT_TRUE(fs::writeInside(project, "design/images/noise", testenv::noiseTiff(3000, 3000)));
  ASSERT_TRUE(fs::writeInside(project, "design/images/small.png",
                              ImageEncoding::png(testenv::solidBitmap(40, 30, 255, 0, 0))));
  const std::string text = image("one.bin") + image("two.bin") + image("design/images/noise?size=3000x3000") +
                           image("design/images/small.png?size=40x30") + image("design/images/noise?size=3000x3000");
  auto inlined = ExportFileWriter::inlineFiles(text, project, ExportFileWriter::drawnPixels(Type::png, 3000, 3000));
  ASSERT_TRUE(inlined) << inlined.error().message;
  auto sizes = inlinedSizes(*inlined);
  ASSERT_EQ(sizes.size(), 5u);
  EXPECT_EQ(sizes[2], std::make_pair(0, 0)) << "the noise, named";
  EXPECT_EQ(sizes[3], std::make_pair(40, 30));
  EXPECT_EQ(sizes[4], std::make_pair(0, 0)) << "the noise again, named";
  EXPECT_EQ(inlined->text.find("##"), std::string::npos);
  EXPECT_LE(inlined->text.size(), text.size() + ExportFileWriter::maximumInlined);

  // A third plain file passes the bound: the page is refused, as before.
  writePlainFile(project / "three.bin", 45u << 20);
  auto refused = ExportFileWriter::inlineFiles(text + image("three.bin"), project,
                                               ExportFileWriter::drawnPixels(Type::png, 3000, 3000));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, ExportErrors::tooMuchInlined);
}

namespace {

// Pictures drawn together share what one page may draw: past it, the largest are drawn smaller,
// each at no more than one level, and the small ones as they were.
TEST(LayerSizedPictures, PicturesDrawnTogetherShareWhatOnePageDraws) {
  using D = PictureStore::Drawn;
  struct Case {
    const char* what;
    std::vector<D> sizes;
    double pixels;
    std::vector<D> expected;
  } cases[] = {
      {"within", {{100, 100}, {200, 50}}, 20000, {{100, 100}, {200, 50}}},
      {"one past", {{400, 100}}, 10000, {{200, 50}}},
      {"the large share what the small leave", {{10, 10}, {1000, 1000}, {1000, 1000}}, 20100, {{10, 10}, {100, 100}, {100, 100}}},
      {"none asked stays none", {{0, 0}, {1000, 1000}}, 10000, {{0, 0}, {100, 100}}},
      {"never below a pixel", {{1000, 1}}, 100, {{316, 1}}},
      {"nothing", {}, 100, {}},
  };
  for (const auto& c : cases) {
    auto got = PictureStore::within(c.sizes, c.pixels);
    ASSERT_EQ(got.size(), c.expected.size()) << c.what;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].width, c.expected[i].width) << c.what << " " << i;
      EXPECT_EQ(got[i].height, c.expected[i].height) << c.what << " " << i;
    }
  }
}

// A page of twelve 2000 × 2000 layers, each of its own 3000 × 3000 photo (108 megapixels at 300
// per inch of a PDF page): every photo is inlined, smaller, the whole within twice what such a
// page draws (the store hands a picture up to twice the pixels asked rather than make it again);
// a PDF's pictures at fewer, since its renderer holds each twice.
TEST(LayerSizedPictures, ManyLargePicturesOfOnePageAreEachDrawnSmaller) {
  auto project = testenv::freshFolder("layer-sized-many");
  std::string text;
  for (int i = 0; i < 12; ++i) {
    std::string name = "design/images/photo" + std::to_string(i);
    ASSERT_TRUE(fs::writeInside(project, name, testenv::jpegPicture(3000, 3000)));
    text += image(name + "?size=2000x2000");
  }
  struct Case {
    Type type;
    int page;
    double most;
  } cases[] = {{Type::pdf, 8000, ExportFileWriter::maximumPrintedPixels},
               {Type::png, 24000, ExportFileWriter::maximumDrawnPixels}};
  for (const auto& c : cases) {
    auto inlined = ExportFileWriter::inlineFiles(text, project, ExportFileWriter::drawnPixels(c.type, c.page, c.page),
                                                 ExportFileWriter::pixelsPerCSSPixel(c.type),
                                                 ExportFileWriter::drawnPixelsInAll(c.type));
    ASSERT_TRUE(inlined);
    auto sizes = inlinedSizes(*inlined);
    ASSERT_EQ(sizes.size(), 12u);
    double pixels = 0;
    for (auto [w, h] : sizes) {
      EXPECT_GT(w, 0);
      EXPECT_LT(w, 3000);
      pixels += double(w) * h;
    }
    EXPECT_LE(pixels, 2 * c.most) << int(c.type);
    EXPECT_GT(pixels, c.most / 2) << int(c.type);
  }
}

}  // namespace
