// File templates, the preview cache and the WebP codec.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "export/ExportFileWriter.h"
#include "export/ExportPreviewCache.h"
#include "export/HTMLRenderer.h"
#include "export/WebP.h"
#include "platform/Crypto.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "platform/ImageData.h"
#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"

namespace stdfs = std::filesystem;

namespace {

std::string b64(const std::string& s) { return crypto::base64Encode(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size())); }

TEST(Base64Templates, InlineProjectFilesWithTheirMediaType) {
  auto project = testenv::freshFolder("project");
  auto outside = testenv::freshFolder("outside");
  const std::string png = "\x89PNG\r\n\x1a\nrest", jpeg = "\xff\xd8\xff\xe0jpeg";
  std::ofstream(project / "a.png", std::ios::binary) << png;
  std::ofstream(project / "with space.jpg", std::ios::binary) << jpeg;
  std::ofstream(outside / "secret.png", std::ios::binary) << png;
  stdfs::create_symlink(outside / "secret.png", project / "link.png");
  const std::string p = project.string();
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"no template", "no template"},
      {"<img src=\"##base64-file:" + p + "/a.png##\">", "<img src=\"data:image/png;base64," + b64(png) + "\">"},
      {"##base64-file:" + p + "/a.png####base64-file:" + p + "/with%20space.jpg##",
       "data:image/png;base64," + b64(png) + "data:image/jpeg;base64," + b64(jpeg)},
      {"😀\r\n##base64-file:a.png## tail", "😀\r\ndata:image/png;base64," + b64(png) + " tail"},
      {"##base64-file:" + p + "/a.png\n##", "##base64-file:" + p + "/a.png\n##"},
      {"x ##base64-file:## y", "x data:image/png;base64, y"},
      {"##base64-file:" + p + "/bad%zz##", "data:image/png;base64,"},
      {"##base64-file:" + outside.string() + "/secret.png##", "data:image/png;base64,"},
      {"##base64-file:" + p + "/../outside/secret.png##", "data:image/png;base64,"},
      {"##base64-file:" + p + "/link.png##", "data:image/png;base64,"},
  };
  for (const auto& c : cases) EXPECT_EQ(*ExportFileWriter::replaceBase64Templates(c.in, project), c.out) << c.in;
  EXPECT_EQ(*ExportFileWriter::replaceBase64Templates("##base64-file:/etc/hostname##", {}), "data:image/png;base64,");
}

TEST(Base64Templates, AllThatOnePageInlinesIsBounded) {
  auto project = testenv::freshFolder("project");
  // One 16 MB image named 60 times: 2.5 KB of HTML that would grow to 1.3 GB.
  {
    std::ofstream big(project / "big.png", std::ios::binary);
    big << "\x89PNG\r\n\x1a\n";
    big.seekp(16 * 1024 * 1024 - 1);
    big.put('\0');
  }
  std::string reference = "<img src=\"##base64-file:" + (project / "big.png").string() + "##\">";
  std::string hostile;
  for (int i = 0; i < 60; ++i) hostile += reference;
  long grew = testenv::peakGrowthInChild([&] {
    auto refused = ExportFileWriter::replaceBase64Templates(hostile, project);
    if (refused || refused.error().code != ExportErrors::tooMuchInlined) _exit(3);
  });
  EXPECT_GE(grew, 0) << "the refusal did not happen";
  EXPECT_LT(grew, 200 * 1024) << "KB";  // far from the 1.3 GB it would build

  // Within the bound the file is inlined at every reference.
  std::string three;
  for (int i = 0; i < 3; ++i) three += reference;
  auto inlined = ExportFileWriter::replaceBase64Templates(three, project);
  ASSERT_TRUE(inlined);
  EXPECT_GT(inlined->size(), 3u * 22369621);
  EXPECT_LE(inlined->size(), three.size() + ExportFileWriter::maximumInlined);
  EXPECT_EQ(inlined->find("##base64-file"), std::string::npos);

  // Files are read in pieces; the pieces join into the one encoding of the whole file.
  for (std::size_t size : {0u, 1u, 196607u, 196608u, 196609u, 500001u}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
    std::ofstream(project / "piece.bin", std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_EQ(*ExportFileWriter::replaceBase64Templates("a##base64-file:piece.bin##b##base64-file:piece.bin##", project),
              "adata:application/octet-stream;base64," + b64(bytes) + "bdata:application/octet-stream;base64," + b64(bytes))
        << size;
  }
}

TEST(PreviewCache, EntriesLiveWithTheirFiles) {
  ExportPreviewCache cache;
  auto a = cache.fileFor("k1", "a.png"), b = cache.fileFor("k2", "b.png");
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(cache.fileFor("k1", "../x.png"));
  EXPECT_FALSE(cache.fileFor("..", "x.png"));
  ASSERT_TRUE(fs::createDirectories(a->parent_path()));
  ASSERT_TRUE(fs::createDirectories(b->parent_path()));
  cache.set("k1", *a);
  EXPECT_FALSE(cache.get("k1"));  // no file yet
  std::ofstream(*a) << "a";
  std::ofstream(*b) << "b";
  EXPECT_EQ(cache.get("k1"), a);
  cache.set("k1", *a);  // the same again changes nothing
  EXPECT_TRUE(stdfs::exists(*a));
  cache.set("k2", *b);
  cache.set("k1", std::nullopt);
  EXPECT_FALSE(stdfs::exists(*a));
  stdfs::remove(*b);
  EXPECT_FALSE(cache.get("k2"));
  cache.clear();  // the failed deletion of the missing file is ignored
  EXPECT_EQ(cache.count(), 0u);

  for (int i = 0; i < 105; ++i) {
    auto f = cache.fileFor("n" + std::to_string(i), "f.html");
    ASSERT_TRUE(fs::createDirectories(f->parent_path()));
    ASSERT_TRUE(fs::writeAtomically(*f, std::string_view("x")));
    cache.set("n" + std::to_string(i), *f);
  }
  EXPECT_EQ(cache.count(), ExportPreviewCache::countLimit);
  EXPECT_FALSE(stdfs::exists(*cache.fileFor("n0", "f.html")));
  EXPECT_TRUE(cache.get("n104"));
}

TEST(PreviewCache, TwoDocumentsNeverShareAFolder) {
  ExportPreviewCache one, two;
  EXPECT_NE(one.folder(), two.folder());
  EXPECT_NE(one.fileFor("k", "a.png"), two.fileFor("k", "a.png"));
  auto folder = one.folder();
  { ExportPreviewCache gone; folder = gone.folder(); }
  EXPECT_FALSE(stdfs::exists(folder));
}

TEST(PreviewCache, KeyCoversEveryFieldAndQuality) {
  ExportFileDescriptor base{"<div data-editor=\"x1\">a</div>", std::nullopt, 10, 20, ExportFileDescriptor::Type::png, "a.png"};
  auto key = ExportPreviewCache::key(base, 0.8, 0.9);
  EXPECT_EQ(key.size(), 32u);
  auto same = base;
  same.html = "<div data-editor=\"other_2\">a</div>";
  EXPECT_EQ(ExportPreviewCache::key(same, 0.8, 0.9), key);
  std::vector<ExportFileDescriptor> different(7, base);
  different[0].html = "<div data-editor=\"x-1\">a</div>";  // not a word: stays
  different[1].svg = "";
  different[2].width = 11;
  different[3].height = 21;
  different[4].type = ExportFileDescriptor::Type::jpg;
  different[5].name = "b.png";
  different[6].html = "<div>b</div>";
  for (const auto& d : different) EXPECT_NE(ExportPreviewCache::key(d, 0.8, 0.9), key) << d.encode().dump();
  EXPECT_NE(ExportPreviewCache::key(base, 0.7, 0.9), key);
  EXPECT_NE(ExportPreviewCache::key(base, 0.8, 1.0), key);
}

Bitmap gradient(int w, int h) {
  auto b = *Bitmap::make(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      auto* p = b.rgba.data() + (static_cast<std::size_t>(y) * w + x) * 4;
      p[0] = static_cast<std::uint8_t>(x), p[1] = static_cast<std::uint8_t>(y), p[2] = 200, p[3] = x < w / 2 ? 255 : 128;
    }
  return b;
}

TEST(WebPCodec, LosslessRoundTripKeepsStraightAlphaPixels) {
  auto picture = gradient(300, 200);
  auto file = WebP::encode(picture, 1.0f);
  ASSERT_FALSE(file.empty());
  auto back = WebP::decode(file);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->width, 300);
  EXPECT_EQ(back->height, 200);
  EXPECT_EQ(back->rgba, picture.rgba);
  EXPECT_EQ(picture.rgba[0], 0);  // the caller's pixels stay as they were
}

TEST(WebPCodec, QualityAndBadInput) {
  auto picture = gradient(64, 64);
  auto lossy = WebP::encode(picture, 0.5f);
  ASSERT_FALSE(lossy.empty());
  auto lossless = WebP::encode(picture, 1.0f);
  EXPECT_EQ(stringFromData(lossy).find("VP8L"), std::string::npos);
  EXPECT_NE(stringFromData(lossless).find("VP8L"), std::string::npos);
  EXPECT_TRUE(WebP::encode(picture, 1.5f).empty());
  EXPECT_TRUE(WebP::encode(Bitmap{}, 0.5f).empty());
  EXPECT_FALSE(WebP::decode({}));
  EXPECT_FALSE(WebP::decode(dataFromString("not a webp file at all")));
  Data truncated(lossy.begin(), lossy.begin() + static_cast<long>(lossy.size() / 2));
  EXPECT_FALSE(WebP::decode(truncated));  // the header reads, the pixels do not
}

TEST(WebPCodec, UnstoredQualityIsASensibleDefault) {
  Defaults::standard().remove("RWExportWebPQuality");
  EXPECT_GT(ExportFileWriter::webPQualityFactor(), 0.5f);
  EXPECT_LT(ExportFileWriter::webPQualityFactor(), 1.0f);
  Defaults::standard().setDouble("RWExportWebPQuality", 1.0);
  EXPECT_EQ(ExportFileWriter::webPQualityFactor(), 1.0f);
  Defaults::standard().remove("RWExportWebPQuality");
}

// A renderer whose every page is the same picture; it counts what its holds keep.
class PictureRenderer : public HTMLRenderer {
 public:
  explicit PictureRenderer(Bitmap picture) : picture_(std::move(picture)) {}
  std::shared_ptr<void> hold(std::size_t bytes) override {
    most = std::max(most, held += bytes);
    return std::shared_ptr<void>(nullptr, [this, bytes](void*) {
      letGoOnTheMainThread = std::this_thread::get_id() == mainThread;
      held -= bytes;
    });
  }
  std::atomic<std::size_t> held{0};
  std::size_t most = 0;
  std::atomic<bool> letGoOnTheMainThread{true};
  const std::thread::id mainThread = std::this_thread::get_id();
  std::shared_ptr<Work> addWork(std::shared_ptr<Work> w, BitmapCallback c) override {
    MainQueue::async([c, picture = picture_] { c(picture); });
    return w;
  }
  std::shared_ptr<Work> addWork(std::shared_ptr<Work> w, PDFCallback c) override {
    MainQueue::async([c] { c(std::nullopt); });
    return w;
  }

 private:
  Bitmap picture_;
};

// The stored quality as the export writes it: 0 is the smallest file, not a missing value.
TEST(WebPExport, EveryStoredQualityFromZeroToOneIsUsed) {
  PictureRenderer renderer(gradient(200, 150));
  auto folder = testenv::freshFolder("webp");
  ExportFileDescriptor file;
  file.html = "<p>page</p>";
  file.width = 200;
  file.height = 150;
  file.type = ExportFileDescriptor::Type::webp;
  int count = 0;
  auto written = [&](std::optional<nlohmann::json> stored) -> std::uintmax_t {
    if (stored)
      Defaults::standard().set("RWExportWebPQuality", *stored);
    else
      Defaults::standard().remove("RWExportWebPQuality");
    std::string name = "export-" + std::to_string(++count) + ".webp";
    bool done = false, ok = false;
    ExportFileWriter::write(file, folder, name, folder, renderer, [&](bool result) { ok = result, done = true; });
    EXPECT_TRUE(RunLoop::runUntil([&] { return done; }, 30));
    Defaults::standard().remove("RWExportWebPQuality");
    EXPECT_TRUE(ok) << (stored ? stored->dump() : "unset");
    std::error_code ec;
    auto size = stdfs::file_size(folder / name, ec);
    EXPECT_FALSE(ec) << name;
    return ec ? 0 : size;
  };
  auto zero = written(0.0), low = written(0.01), high = written(0.9), unset = written(std::nullopt);
  EXPECT_LT(zero, high);
  EXPECT_LE(zero, low);
  EXPECT_LT(low, high);
  EXPECT_EQ(unset, high) << "nothing stored: the default";
  // What is no quality falls back to the default as well.
  for (const auto& invalid : {nlohmann::json(-0.5), nlohmann::json(1.5), nlohmann::json("0.2"), nlohmann::json(nullptr)})
    EXPECT_EQ(written(invalid), high) << invalid.dump();
}

// A grainy frame, which hardly compresses, is encoded within twice its own pixels, at every lossy
// quality the export may use (the encoder would keep every coefficient's tokens: seven times).
TEST(WebPExport, AGrainyFrameIsEncodedWithinTwiceItsPixels) {
  const int side = 3000;
  auto frame = *Bitmap::make(side, side);
  std::uint32_t state = 5;
  for (std::size_t i = 0; i < frame.rgba.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    frame.rgba[i] = i % 4 == 3 ? 255 : std::uint8_t(state >> 24);
  }
  for (float quality : {0.0f, 0.9f}) {
    long grew = testenv::peakGrowthInChild([&] {
      if (WebP::encode(frame, quality).empty()) _exit(3);
    });
    EXPECT_GE(grew, 0) << "not encoded at " << quality;
    EXPECT_LT(grew, long(2 * frame.rgba.size() / 1024)) << "KB at " << quality;
  }
}

TEST(BitmapCapture, PremultipliedPixelsAreUnpremultiplied) {
  // Half-transparent pure red, premultiplied: 0x80800000.
  std::uint32_t row[2] = {0x80800000u, 0xFF00FF00u};
  auto b = Bitmap::fromPremultipliedARGB(reinterpret_cast<const std::uint8_t*>(row), 2, 1, 8);
  ASSERT_TRUE(b);
  EXPECT_EQ((std::vector<int>{b->rgba[0], b->rgba[1], b->rgba[2], b->rgba[3]}), (std::vector<int>{255, 0, 0, 128}));
  EXPECT_EQ((std::vector<int>{b->rgba[4], b->rgba[5], b->rgba[6], b->rgba[7]}), (std::vector<int>{0, 255, 0, 255}));
  EXPECT_FALSE(Bitmap::make(0, 10));
  EXPECT_FALSE(Bitmap::make(10, -1));
}

// A large frame is encoded beside the main loop, its bitmap and the encoder's copy held against
// the renders' memory until the encoder lets them go, before the export is done.
TEST(BitmapExport, LargeFramesAreEncodedBesideTheMainLoop) {
  const int side = 3000;
  PictureRenderer renderer(gradient(side, side));
  auto folder = testenv::freshFolder("large");
  ExportFileDescriptor file;
  file.html = "<p>page</p>";
  file.width = side;
  file.height = side;
  using Type = ExportFileDescriptor::Type;
  for (auto [type, name] : {std::pair{Type::png, "large.png"}, {Type::jpg, "large.jpg"}, {Type::webp, "large.webp"}}) {
    SCOPED_TRACE(name);
    file.type = type;
    renderer.most = 0;
    renderer.letGoOnTheMainThread = true;
    bool ok = false, done = false;
    std::size_t heldAtEnd = 1;
    ExportFileWriter::write(file, folder, name, folder, renderer, [&](bool result) {
      ok = result;
      heldAtEnd = renderer.held;
      done = true;
    });
    ASSERT_TRUE(RunLoop::runUntil([&] { return done; }, 120));
    EXPECT_TRUE(ok);
    EXPECT_EQ(renderer.most, 2 * Bitmap::byteCount(side, side));
    EXPECT_EQ(heldAtEnd, 0u);
    // The bitmap is let go where it was encoded.
    EXPECT_FALSE(renderer.letGoOnTheMainThread) << "encoded on the main loop";
    auto bytes = fs::readFile(folder / name);
    ASSERT_TRUE(bytes);
    auto size = ImageData::bitmapSize(*bytes);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->width, side);
    EXPECT_EQ(size->height, side);
  }
}

}  // namespace
