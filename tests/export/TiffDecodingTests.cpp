// TIFF files as people bring them and as earlier documents hold them: every kind the system's
// TIFF library reads is drawn the way its file says, announced at its drawn size, and bounded
// before a pixel is decoded, in the big layout as in the classic one.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "export/Bitmap.h"
#include "export/ExportFileWriter.h"
#include "export/ImageDecoding.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/ImageData.h"
#include "platform/ImageHeader.h"
#include "platform/PictureStore.h"
#include "support/HostilePictures.h"
#include "support/SolidBitmap.h"
#include "support/TestEnvironment.h"
#include "support/TiffKinds.h"

using namespace testenv;

namespace {

// The corners of a drawn picture, three pixels in.
void expectCorners(const Bitmap& picture, const std::array<Mark, 4>& corners, const std::string& what) {
  const int right = picture.width - 4, bottom = picture.height - 4;
  const std::pair<int, int> at[4] = {{3, 3}, {right, 3}, {3, bottom}, {right, bottom}};
  const char* names[4] = {"top left", "top right", "bottom left", "bottom right"};
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t* p = picture.pixel(at[i].first, at[i].second);
    EXPECT_TRUE(looksLike(p, corners[std::size_t(i)]))
        << what << ", " << names[i] << ": " << int(p[0]) << "," << int(p[1]) << "," << int(p[2]);
  }
}

// A big-layout (64-bit) little-endian TIFF directory of the entries given as (tag, type, count,
// value), the value in the entry's eight bytes; `directoryAt` and `count` may lie.
struct BigEntry {
  std::uint32_t tag, type;
  std::uint64_t count, value;
};
Data bigTiff(const std::vector<BigEntry>& entries, std::uint64_t directoryAt = 16,
             std::optional<std::uint64_t> count = std::nullopt) {
  Data d{'I', 'I', '+', 0, 8, 0, 0, 0};
  auto put64 = [&](std::uint64_t v) {
    putLittle(d, std::uint32_t(v), 4);
    putLittle(d, std::uint32_t(v >> 32), 4);
  };
  put64(directoryAt);
  put64(count.value_or(entries.size()));
  for (const auto& e : entries) {
    putLittle(d, e.tag, 2);
    putLittle(d, e.type, 2);
    put64(e.count);
    put64(e.value);
  }
  put64(0);
  d.resize(d.size() + 64, 0);
  return d;
}

}  // namespace

TEST(TiffDecoding, EveryKindIsDrawnAsItsFileSaysAtItsDrawnSize) {
  auto folder = freshFolder("tiff-kinds");
  for (const auto& kind : tiffKinds(folder)) {
    SCOPED_TRACE(kind.name);
    ASSERT_FALSE(kind.bytes.empty()) << "tiffcp failed";
    auto header = ImageHeader::read(kind.bytes);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->width, std::uint32_t(kind.width));
    EXPECT_EQ(header->height, std::uint32_t(kind.height));
    EXPECT_EQ(ImageData::decoderSize(kind.bytes, ImageHeader::Format::tiff), (ImageData::PixelSize{kind.width, kind.height}));
    // What the page is told and what the document stores.
    auto decoded = ImageDecoding::decode(kind.bytes, "scan.tiff");
    ASSERT_TRUE(decoded) << decoded.error().message;
    EXPECT_EQ(decoded->image.pixels, (std::pair<long, long>{kind.width, kind.height}));
    EXPECT_EQ(decoded->image.pointWidth, kind.width);
    EXPECT_EQ(decoded->image.pointHeight, kind.height);
    auto stored = ImageEncoding::decode(decoded->bytesToStore);
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->width, kind.width);
    ASSERT_EQ(stored->height, kind.height);
    expectCorners(*stored, kind.corners, kind.name);
  }
}

// What the system's TIFF library can't draw is refused in words that say so.
TEST(TiffDecoding, AKindThatCantBeDrawnIsRefusedPlainly) {
  TiffLayout floating;
  floating.bits = 32;
  auto decoded = ImageDecoding::decode(writtenTiff(floating), "scan.tiff");
  ASSERT_FALSE(decoded);
  EXPECT_EQ(decoded.error().code, ImageData::notAnImage);
  EXPECT_NE(decoded.error().message.find("can't be drawn"), std::string::npos) << decoded.error().message;
  EXPECT_NE(decoded.error().message.find("32"), std::string::npos) << decoded.error().message;
}

// A quarter turn swaps the densities as it swaps the sides: 144 per inch across the stored rows
// is 144 per inch down the drawn picture.
TEST(TiffDecoding, ATurnedPictureMeasuresItsDrawnSidesByTheirOwnDensity) {
  TiffLayout layout;
  layout.orientation = 6;
  layout.density = std::pair{144u, 72u};
  auto decoded = ImageDecoding::decode(writtenTiff(layout), "scan.tiff");
  ASSERT_TRUE(decoded) << decoded.error().message;
  EXPECT_EQ(decoded->image.pixels, (std::pair<long, long>{30, 40}));
  EXPECT_EQ(decoded->image.pointWidth, 30);
  EXPECT_EQ(decoded->image.pointHeight, 20);
  layout.orientation = 1;
  decoded = ImageDecoding::decode(writtenTiff(layout), "scan.tiff");
  ASSERT_TRUE(decoded) << decoded.error().message;
  EXPECT_EQ(decoded->image.pointWidth, 20);
  EXPECT_EQ(decoded->image.pointHeight, 30);
}

// The big layout's offsets and counts are 64 bits: each is held to the bytes there are, and the
// sizes and buffer tags to the same bounds as in the classic layout.
TEST(TiffDecoding, TheBigLayoutIsBoundedAsTheClassicOne) {
  const std::vector<BigEntry> plain = {{256, 4, 1, 40}, {257, 4, 1, 30}, {258, 3, 1, 8}, {277, 3, 1, 1}};
  auto read = ImageHeader::read(bigTiff(plain));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->width, 40u);
  EXPECT_EQ(read->height, 30u);
  auto with = [&](std::vector<BigEntry> extra) {
    auto entries = plain;
    for (auto e : extra) {
      auto at = std::find_if(entries.begin(), entries.end(), [&](const BigEntry& x) { return x.tag == e.tag; });
      if (at != entries.end()) *at = e;
      else entries.push_back(e);
    }
    return bigTiff(entries);
  };
  struct Case {
    const char* what;
    Data bytes;
    std::optional<long> code;  // none: no picture at all
  };
  const Case cases[] = {
      {"a directory 1 TB into a small file", bigTiff(plain, std::uint64_t(1) << 40), std::nullopt},
      {"a directory beyond every offset", bigTiff(plain, ~std::uint64_t(0)), std::nullopt},
      {"2^60 entries", bigTiff(plain, 16, std::uint64_t(1) << 60), std::nullopt},
      {"a width beyond 32 bits", with({{256, 16, 1, std::uint64_t(1) << 32}}), std::nullopt},
      {"a width of two numbers", with({{256, 16, 2, 40}}), std::nullopt},
      {"bits per sample at an offset beyond the file", with({{258, 3, 8, std::uint64_t(1) << 50}}), std::nullopt},
      {"rows per strip beyond 32 bits", with({{278, 16, 1, std::uint64_t(1) << 33}}), std::nullopt},
      {"40000 × 30000 pixels", with({{256, 16, 1, 40000}, {257, 16, 1, 30000}}), ImageData::tooLarge},
      {"tiles of 65536 × 65536 on 40 × 30", with({{322, 16, 1, 65536}, {323, 16, 1, 65536}}), ImageData::tooLarge},
      {"60000 samples in separate planes", with({{277, 16, 1, 60000}, {284, 3, 1, 2}}), ImageData::tooLarge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto checked = ImageData::checkedBitmap(c.bytes);
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error().code, c.code ? *c.code : long(ImageData::notAnImage)) << checked.error().message;
    EXPECT_FALSE(ImageDecoding::decode(c.bytes, "scan.tiff"));
  }
  // Found by fuzzing: the decoder takes an orientation of any whole-number type. A BYTE turns
  // the picture for the header as for the decoder; a signed one is refused.
  auto turned = ImageHeader::read(with({{274, 1, 1, 6}}));
  ASSERT_TRUE(turned);
  EXPECT_EQ(turned->width, 30u);
  EXPECT_EQ(turned->height, 40u);
  EXPECT_FALSE(ImageHeader::read(with({{274, 8, 1, 6}})));
}

// Pictures of earlier documents are TIFF files as they came: a page that inlines one gets its
// picture in PNG, which pages draw, never bytes of an unknown type; the file stays as it is.
TEST(TiffDecoding, AStoredTIFFIsInlinedAsItsPictureInPNG) {
  auto project = freshFolder("stored-tiff");
  auto folder = freshFolder("stored-tiff-kinds");
  TiffLayout layout;
  layout.orientation = 6;
  const Data stored = tiffcp(folder, "-8 -c lzw", {writtenTiff(layout)});
  ASSERT_FALSE(stored.empty());
  ASSERT_TRUE(fs::writeInside(project, "design/images/Xq81Vb", stored));
  auto text = ExportFileWriter::replaceBase64Templates("<img src=\"##base64-file:design/images/Xq81Vb##\">", project);
  ASSERT_TRUE(text);
  const std::string prefix = "<img src=\"data:image/png;base64,";
  ASSERT_EQ(text->rfind(prefix, 0), 0u) << text->substr(0, 80);
  EXPECT_EQ(text->find("octet-stream"), std::string::npos);
  auto end = text->find('"', prefix.size());
  auto png = crypto::base64Decode(text->substr(prefix.size(), end - prefix.size()));
  ASSERT_TRUE(png);
  auto picture = ImageEncoding::decode(*png);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 30);
  EXPECT_EQ(picture->height, 40);
  expectCorners(*picture, drawnCorners(6), "inlined");
  EXPECT_EQ(*fs::readFile(project / "design/images/Xq81Vb"), stored);
  // A large one, made PNG as it is read and encoded in many pieces, is its very pixels.
  const Data noise = noiseTiff(1500, 1300, 9);
  ASSERT_TRUE(fs::writeInside(project, "design/images/noise", noise));
  auto large = ExportFileWriter::replaceBase64Templates("##base64-file:design/images/noise##", project);
  ASSERT_TRUE(large);
  ASSERT_EQ(large->rfind("data:image/png;base64,", 0), 0u);
  auto largePng = crypto::base64Decode(large->substr(22));
  ASSERT_TRUE(largePng);
  EXPECT_GT(largePng->size(), 3u * 65536);
  auto made = ImageEncoding::decode(*largePng), drawn = ImageEncoding::decode(noise);
  ASSERT_TRUE(made);
  ASSERT_TRUE(drawn);
  EXPECT_TRUE(made->rgba == drawn->rgba);
  // A TIFF beyond the bounds of every picture inlines nothing.
  ASSERT_TRUE(fs::writeInside(project, "design/images/huge", tiffHeader(40000, 30000)));
  EXPECT_EQ(*ExportFileWriter::replaceBase64Templates("##base64-file:design/images/huge##", project),
            "data:image/png;base64,");
}

namespace {

// A little-endian TIFF of one JPEG-compressed strip: `frame` as the strip, under a header that
// claims `width` × `height` in strips of `rows`.
Data jpegInTiff(const Data& frame, std::uint32_t width, std::uint32_t height, std::uint32_t rows) {
  const std::uint32_t bitsAt = afterTiffDirectory(10), frameAt = bitsAt + 6;
  Data d = tiffDirectory({{256, 4, 1, width}, {257, 4, 1, height}, {258, 3, 3, bitsAt}, {259, 3, 1, 7},
                          {262, 3, 1, 6}, {273, 4, 1, frameAt}, {277, 3, 1, 3}, {278, 4, 1, rows},
                          {279, 4, 1, std::uint32_t(frame.size())}, {284, 3, 1, 1}});
  for (int i = 0; i < 3; ++i) putLittle(d, 8, 2);
  d.insert(d.end(), frame.begin(), frame.end());
  return d;
}

}  // namespace

// A JPEG-in-TIFF's strips hold JPEG frames of the strip's size. One whose frame is smaller than
// its strip does not match its header, and is refused as damaged, not drawn blank at the size
// the header claims: 64 megapixels from a few hundred bytes.
TEST(TiffDecoding, AJPEGInTIFFWhoseFrameIsNotItsStripsSizeIsRefusedAsDamaged) {
  const Data frame = ImageEncoding::jpeg(solidBitmap(16, 16, 0, 200, 0), 50);
  const Data large = ImageEncoding::jpeg(solidBitmap(40, 32, 0, 200, 0), 50);
  struct Case {
    const char* what;
    Data bytes;
    int width, height;  // 0: refused as damaged
  } cases[] = {
      {"a 16 × 16 frame in one strip of 8000 × 8000", jpegInTiff(frame, 8000, 8000, 8000), 0, 0},
      {"a 16 × 16 frame in one strip of 16 × 16", jpegInTiff(frame, 16, 16, 16), 16, 16},
      {"a 40 × 32 frame in one strip of 40 × 30", jpegInTiff(large, 40, 30, 30), 40, 30},
      {"a 16 × 16 frame in a strip of 32 × 16", jpegInTiff(frame, 32, 16, 16), 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto header = ImageData::checkedBitmap(c.bytes);
    ASSERT_TRUE(header) << header.error().message;
    auto decoded = ImageData::decodeBitmap(c.bytes, *header);
    if (!c.width) {
      ASSERT_FALSE(decoded);
      EXPECT_EQ(decoded.error().code, ImageData::notAnImage);
      EXPECT_NE(decoded.error().message.find("does not match its header"), std::string::npos) << decoded.error().message;
      continue;
    }
    ASSERT_TRUE(decoded) << decoded.error().message;
    EXPECT_EQ(gdk_pixbuf_get_width(decoded->get()), c.width);
    EXPECT_EQ(gdk_pixbuf_get_height(decoded->get()), c.height);
    const guchar* p = gdk_pixbuf_get_pixels(decoded->get());
    EXPECT_TRUE(looksLike(p, Mark::green, 60)) << int(p[0]) << "," << int(p[1]) << "," << int(p[2]);
  }
  // The same file as a design holds it: no picture, in no output.
  EXPECT_LT(cases[0].bytes.size(), std::size_t(1024));
  EXPECT_FALSE(ImageDecoding::decode(cases[0].bytes, "scan.tiff"));
}

namespace {

// A picture whose every pixel differs from its neighbours, with alpha of its own if asked.
Bitmap pattern(int width, int height, bool alpha) {
  auto bitmap = *Bitmap::make(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      auto* p = bitmap.rgba.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 4;
      p[0] = std::uint8_t(x * 7 + y);
      p[1] = std::uint8_t(y);
      p[2] = std::uint8_t(y >> 8 ^ x);
      p[3] = alpha ? std::uint8_t(255 - (x + y) % 64) : 255;
    }
  return bitmap;
}

}  // namespace

// A picture in many pieces goes through the decoder a few rows at a time, band by band on every
// core: each layout gives back every pixel where it was, the last rows of a band and of the
// picture too.
TEST(TiffDecoding, APictureInManyPiecesComesBackPixelForPixel) {
  auto folder = freshFolder("tiff-pieces");
  struct Case {
    const char* options;
    int width, height;
    bool alpha;
  } cases[] = {
      {"-r 1", 97, 700, false},         {"-r 7 -c lzw", 97, 701, false},
      {"-r 1 -c zip", 97, 700, true},   {"-t -w 16 -l 16 -c lzw", 97, 701, false},
      {"-r 3 -c lzw", 2101, 2003, false},  // past four megapixels: in bands on every core
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.options) + (c.alpha ? ", with alpha" : ""));
    const Bitmap source = pattern(c.width, c.height, c.alpha);
    const Data tiff = tiffcp(folder, c.options, {ImageEncoding::tiff(source)});
    ASSERT_FALSE(tiff.empty()) << "tiffcp failed";
    auto decoded = ImageEncoding::decode(tiff);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->width, c.width);
    ASSERT_EQ(decoded->height, c.height);
    int wrong = 0, firstX = -1, firstY = -1;
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < c.width; ++x) {
        const std::uint8_t *p = decoded->pixel(x, y), *q = source.pixel(x, y);
        // Alpha goes through the library premultiplied: a colour may move by a step or two.
        int slack = c.alpha ? 2 : 0;
        bool same = p[3] == q[3];
        for (int k = 0; k < 3; ++k) same = same && std::abs(int(p[k]) - int(q[k])) <= slack;
        if (!same && wrong++ == 0) firstX = x, firstY = y;
      }
    EXPECT_EQ(wrong, 0) << "the first at " << firstX << ", " << firstY;
  }
}

// A picture drawn whole is made PNG as its rows are read, band by band: every layout gives its
// very pixels (a grey one as grey), and a large one costs far less than its picture.
TEST(TiffDecoding, APictureMadePngAsItIsReadHasItsOwnPixels) {
  auto folder = freshFolder("tiff-png");
  struct Case {
    const char* what;
    Data tiff;
    std::uint8_t colourType;
  } cases[] = {
      {"strips of a row", tiffcp(folder, "-r 1", {ImageEncoding::tiff(pattern(97, 700, false))}), 6},
      {"strips with alpha", tiffcp(folder, "-r 1 -c zip", {ImageEncoding::tiff(pattern(97, 700, true))}), 6},
      {"tiles", tiffcp(folder, "-t -w 16 -l 16 -c lzw", {ImageEncoding::tiff(pattern(97, 701, false))}), 6},
      {"in bands on every core", tiffcp(folder, "-r 3 -c lzw", {ImageEncoding::tiff(pattern(2101, 2003, false))}), 6},
      {"grey", noiseTiff(1500, 1300, 3), 0},
      {"one strip: whole", tiffcp(folder, "-r 5000", {ImageEncoding::tiff(pattern(300, 200, false))}), 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(c.tiff.empty()) << "tiffcp failed";
    auto header = ImageData::checkedBitmap(c.tiff);
    ASSERT_TRUE(header);
    auto png = ImageData::tiffAsPng(c.tiff, *header, SIZE_MAX);
    ASSERT_TRUE(png) << png.error().message;
    ASSERT_GT(png->size(), 26u);
    EXPECT_EQ((*png)[25], c.colourType) << "its colour type";
    auto made = ImageEncoding::decode(*png), whole = ImageEncoding::decode(c.tiff);
    ASSERT_TRUE(made);
    ASSERT_TRUE(whole);
    ASSERT_EQ(made->width, whole->width);
    ASSERT_EQ(made->height, whole->height);
    EXPECT_TRUE(made->rgba == whole->rgba) << "pixels differ";
    // Past what it may be, none is made.
    auto refused = ImageData::tiffAsPng(c.tiff, *header, png->size() / 2);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, ImageData::tooLarge);
  }
  // 8192 × 6144 of grey noise in 70 KB: its picture would be 151 MB.
  const Data noise = noiseTiff(8192, 6144, 1, 0xC0);
  auto header = ImageData::checkedBitmap(noise);
  ASSERT_TRUE(header);
  long grew = peakGrowthInChild([&] {
    if (!ImageData::tiffAsPng(noise, *header, std::size_t(48) << 20)) _exit(3);
  });
  EXPECT_GE(grew, 0) << "not made";
  EXPECT_LT(grew, 64 * 1024) << "KB";
}

// A picture handed smaller is reduced as its rows are read: each pixel is the average of the
// stored pixels it covers (the rows two bands share too), and no whole picture is made first.
TEST(TiffDecoding, APictureReducedAsItIsReadAveragesWhatEachPixelCovers) {
  auto folder = freshFolder("tiff-reduced");
  struct Case {
    const char* options;
    int width, height;
    bool alpha;
    int toWidth, toHeight;
  } cases[] = {
      {"-r 1", 97, 700, false, 32, 175},
      {"-r 7 -c lzw", 97, 701, false, 50, 99},
      {"-r 1 -c zip", 97, 700, true, 31, 233},
      {"-t -w 16 -l 16 -c lzw", 97, 701, false, 1, 1},
      {"-r 3 -c lzw", 2101, 2003, false, 700, 667},  // in bands, rows shared between them
      {"-r 5 -c zip", 2101, 2003, true, 1050, 1001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.options) + (c.alpha ? ", with alpha" : "") + " to " + std::to_string(c.toWidth) +
                 " x " + std::to_string(c.toHeight));
    const Data tiff = tiffcp(folder, c.options, {ImageEncoding::tiff(pattern(c.width, c.height, c.alpha))});
    ASSERT_FALSE(tiff.empty()) << "tiffcp failed";
    auto header = ImageData::checkedBitmap(tiff);
    ASSERT_TRUE(header);
    auto whole = ImageEncoding::decode(tiff);
    ASSERT_TRUE(whole);
    auto reduced = ImageData::decodeTiff(tiff, *header, ImageData::PixelSize{c.toWidth, c.toHeight});
    ASSERT_TRUE(reduced) << reduced.error().message;
    GdkPixbuf* made = reduced->get();
    ASSERT_EQ(gdk_pixbuf_get_width(made), c.toWidth);
    ASSERT_EQ(gdk_pixbuf_get_height(made), c.toHeight);
    const int channels = gdk_pixbuf_get_n_channels(made);
    // Each stored pixel falls in the made pixel its place scales to; its colour counts as much
    // as its alpha.
    std::vector<double> sums(std::size_t(c.toWidth) * c.toHeight * 5, 0);
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < c.width; ++x) {
        auto X = std::int64_t(x) * c.toWidth / c.width, Y = std::int64_t(y) * c.toHeight / c.height;
        double* sum = sums.data() + (Y * c.toWidth + X) * 5;
        const std::uint8_t* p = whole->pixel(x, y);
        for (int k = 0; k < 3; ++k) sum[k] += double(p[k]) * p[3];
        sum[3] += p[3];
        sum[4] += 1;
      }
    int wrong = 0, firstX = -1, firstY = -1;
    for (int Y = 0; Y < c.toHeight; ++Y)
      for (int X = 0; X < c.toWidth; ++X) {
        const double* sum = sums.data() + (std::size_t(Y) * c.toWidth + X) * 5;
        const guchar* p = gdk_pixbuf_get_pixels(made) + std::size_t(Y) * gdk_pixbuf_get_rowstride(made) + X * channels;
        bool same = channels == 3 || std::abs(p[3] - sum[3] / sum[4]) <= 1.0;
        // Alpha goes through the library premultiplied: a colour may move by a step or two.
        for (int k = 0; k < 3; ++k) same = same && std::abs(p[k] - (sum[3] > 0 ? sum[k] / sum[3] : 0)) <= 2.0;
        if (!same && wrong++ == 0) firstX = X, firstY = Y;
      }
    EXPECT_EQ(wrong, 0) << "the first at " << firstX << ", " << firstY;
  }
}

// A picture reduced as it is read holds the picture made and a few rows, not its whole: the store
// reserves that much for it, so that the pictures of a pile are made side by side, and what it is
// seen to hold stays within that. One decoded whole first (turned, or not smaller) reserves its whole.
TEST(TiffDecoding, APictureReducedAsItIsReadReservesWhatItHolds) {
  const Data noise = noiseTiff(8192, 6144, 1, 0xC0), turned = tiffPicture(6144, 8192, {}, 1, {{274, 6}});
  auto noiseHeader = ImageData::checkedBitmap(noise), turnedHeader = ImageData::checkedBitmap(turned);
  ASSERT_TRUE(noiseHeader && turnedHeader);
  ASSERT_EQ(turnedHeader->orientation, 6);
  using Size = ImageData::PixelSize;
  const std::size_t whole = PictureStore::decodeCost(*noiseHeader), turnedWhole = PictureStore::decodeCost(*turnedHeader);
  struct Case {
    const char* what;
    const Data& bytes;
    const ImageHeader::Facts& header;
    std::optional<Size> to;
    std::size_t least, most;
  } cases[] = {
      {"drawn small", noise, *noiseHeader, Size{650, 490}, 8 * 650 * 490, PictureStore::smallDecode},
      {"at its largest reduced copy", noise, *noiseHeader, Size{4096, 3072}, std::size_t(8) * 4096 * 3072, whole / 3},
      {"at its own size", noise, *noiseHeader, Size{8192, 6144}, whole, whole},
      {"not reduced", noise, *noiseHeader, std::nullopt, whole, whole},
      {"narrower only", noise, *noiseHeader, Size{650, 6144}, whole, whole},
      {"turned", turned, *turnedHeader, Size{490, 650}, turnedWhole, turnedWhole},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t cost = PictureStore::decodeCost(c.bytes, c.header, c.to);
    EXPECT_GE(cost, c.least);
    EXPECT_LE(cost, c.most);
  }
  const Size copy{4096, 3072};
  const std::size_t reserved = PictureStore::decodeCost(noise, *noiseHeader, copy);
  long grew = peakGrowthInChild([&] {
    auto made = ImageData::decodeTiff(noise, *noiseHeader, copy);
    if (!made || gdk_pixbuf_get_width(made->get()) != copy.width || gdk_pixbuf_get_height(made->get()) != copy.height)
      _exit(3);
  });
  EXPECT_GE(grew, 0) << "not decoded at its reduced size";
  EXPECT_LT(grew, long(reserved / 1024)) << "KB held where " << (reserved >> 10) << " KB are reserved";
}
