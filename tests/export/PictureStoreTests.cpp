// A design's pictures are made once for everyone who wants them: requests, outputs and pages
// of one file share a read and a decode; a file far larger than its pixels is never handed on
// whole; a picture whose data does not decode is refused.

#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <span>
#include <future>
#include <thread>
#include <vector>

#include "export/Bitmap.h"
#include "export/ExportFileWriter.h"
#include "export/WebP.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/ImageData.h"
#include "platform/ImageHeader.h"
#include "platform/MemoryBudget.h"
#include "platform/PictureStore.h"
#include "platform/QuickPng.h"
#include "support/InlinedPictures.h"
#include "support/AnimatedPictures.h"
#include "support/HostilePictures.h"
#include "support/SolidBitmap.h"
#include "support/TestEnvironment.h"
#include "support/TiffKinds.h"

using namespace testenv;
namespace stdfs = std::filesystem;

namespace {

UniqueFd openFile(const stdfs::path& file) { return UniqueFd(::open(file.c_str(), O_RDONLY | O_CLOEXEC)); }

Data redPNG(int width, int height) { return ImageEncoding::png(solidBitmap(width, height, 255, 0, 0)); }

// The picture handed on decodes at `width` × `height`.
void expectSize(const Data& picture, int width, int height, const std::string& what) {
  auto drawn = ImageEncoding::decode(picture);
  ASSERT_TRUE(drawn) << what;
  EXPECT_EQ(drawn->width, width) << what;
  EXPECT_EQ(drawn->height, height) << what;
}

}  // namespace

TEST(PictureStore, WhatAPageIsGivenOfEachPicture) {
  auto folder = freshFolder("picture-store-kinds");
  const Data png = redPNG(40, 30);
  Data padded = redPNG(1, 1);
  padded.resize(padded.size() + (std::size_t(3) << 20), 0);
  struct Case {
    const char* name;
    Data bytes;
    const char* type;  // none: refused
    int width, height;
    bool asItIs;
  } cases[] = {
      {"honest PNG", png, "image/png", 40, 30, true},
      {"PNG padded far past its pixels", padded, "image/png", 1, 1, false},
      {"TIFF", tiffPicture(300, 200), "image/png", 300, 200, false},
      {"JPEG in TIFF whose strips do not decode", tiffPicture(8000, 8000, {}, 1, {{259, 7}}), nullptr, 0, 0, false},
      {"text", Data{'h', 'e', 'l', 'l', 'o'}, nullptr, 0, 0, false},
  };
  for (const auto& c : cases) {
    auto file = folder / c.name;
    writeBytes(file, c.bytes);
    auto answer = PictureStore::shared().get(openFile(file), {});
    if (!c.type) {
      EXPECT_FALSE(answer) << c.name;
      continue;
    }
    ASSERT_TRUE(answer) << c.name << ": " << answer.error().message;
    EXPECT_EQ((*answer)->type, c.type) << c.name;
    if (c.asItIs) EXPECT_EQ((*answer)->bytes, c.bytes) << c.name;
    else EXPECT_LT((*answer)->bytes.size(), std::size_t(1) << 20) << c.name;
    expectSize((*answer)->bytes, c.width, c.height, c.name);
  }
}

// Many asking at once, as the outputs of one export and a page's requests do.
TEST(PictureStore, OnePictureIsMadeOnceForEveryoneWhoAsks) {
  auto folder = freshFolder("picture-store-once");
  auto file = folder / "large.tiff";
  writeBytes(file, tiffPicture(2048, 2048));
  const std::size_t before = PictureStore::shared().made();
  std::vector<PictureStore::Answer> answers(24);
  std::vector<std::thread> askers;
  for (auto& answer : answers) askers.emplace_back([&] { answer = PictureStore::shared().get(openFile(file), {}); });
  for (auto& t : askers) t.join();
  EXPECT_EQ(PictureStore::shared().made(), before + 1);
  for (auto& answer : answers) {
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->get(), answers[0]->get());
  }
  // The file written again is another picture.
  writeBytes(file, tiffPicture(64, 32));
  auto again = PictureStore::shared().get(openFile(file), {});
  ASSERT_TRUE(again);
  EXPECT_EQ(PictureStore::shared().made(), before + 2);
  EXPECT_EQ(ImageEncoding::decode((*again)->bytes)->width, 64);

  // Every output of an export inlines the TIFF: one decode for all of them.
  auto project = freshFolder("picture-store-export");
  ASSERT_TRUE(fs::writeInside(project, "design/images/Xq81Vb", tiffPicture(1024, 768)));
  const std::size_t exported = PictureStore::shared().made();
  std::vector<Result<std::string>> texts(6, std::string());
  std::vector<std::thread> outputs;
  for (auto& text : texts)
    outputs.emplace_back([&] {
      text = ExportFileWriter::replaceBase64Templates("<img src=\"##base64-file:design/images/Xq81Vb##\">", project);
    });
  for (auto& t : outputs) t.join();
  EXPECT_EQ(PictureStore::shared().made(), exported + 1);
  for (auto& text : texts) {
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, *texts[0]);
    EXPECT_NE(text->find("data:image/png;base64,iVBOR"), std::string::npos);
  }
}

namespace {

using Clock = std::chrono::steady_clock;

// Waits, polling, until `ready` holds or `seconds` pass.
bool waitUntil(const std::function<bool()>& ready, double seconds) {
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (!ready()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

// Askers take their turns, and large decodes wait apart: while one page's large pictures are made
// (8192 × 3840 of noise each, a few dozen kilobytes of TIFF that take seconds to make into PNG),
// another page's small picture and an export's small TIFF are answered at once, and the large
// ones are all made in their turn.
TEST(PictureStore, ASmallPictureIsAnsweredAtOnceWhileAnotherAskersLargeOnesAreMade) {
  auto folder = freshFolder("picture-store-turns");
  constexpr int flood = 2;
  for (int i = 0; i < flood; ++i) {
    Data noise = noiseTiff(8192, 3840, std::uint32_t(i + 1));
    ASSERT_LT(noise.size(), std::size_t(100) << 10);
    writeBytes(folder / ("noise" + std::to_string(i) + ".tiff"), noise);
  }
  writeBytes(folder / "small.png", redPNG(40, 30));
  writeBytes(folder / "small.tiff", tiffPicture(300, 200));
  std::atomic<int> made{0}, drawn{0};
  for (int i = 0; i < flood; ++i)
    PictureStore::shared().request(openFile(folder / ("noise" + std::to_string(i) + ".tiff")), {},
                                   [&](const PictureStore::Answer& answer) {
                                     if (answer && (*answer)->type == "image/png") ++drawn;
                                     ++made;
                                   },
                                   "a page of large pictures");
  struct Case {
    const char* asker;
    const char* file;
  } cases[] = {{"another page", "small.png"}, {"an export", "small.tiff"}};
  for (const auto& c : cases) {
    const auto asked = Clock::now();
    auto answer = PictureStore::shared().get(openFile(folder / c.file), {}, c.asker);
    const double seconds = std::chrono::duration<double>(Clock::now() - asked).count();
    ASSERT_TRUE(answer) << c.asker << ": " << answer.error().message;
    EXPECT_LT(seconds, 5.0) << c.asker << " waited behind the large pictures";
  }
  EXPECT_TRUE(waitUntil([&] { return made == flood; }, 600)) << made << " of " << flood << " made";
  EXPECT_EQ(drawn, flood);
}

// Reservations are served in the order they are asked for: a decode larger than the whole bound
// is made within 30 s while 8 threads go on decoding smaller pictures one after another.
TEST(PictureStore, ALargeDecodeIsMadeInItsTurnBesideEightThreadsOfSmallerOnes) {
  const Data small = tiffPicture(2048, 2048), large = tiffPicture(8192, 8192);
  auto smallHeader = ImageData::checkedBitmap(small), largeHeader = ImageData::checkedBitmap(large);
  ASSERT_TRUE(smallHeader && largeHeader);
  ASSERT_GT(PictureStore::decodeCost(*smallHeader), PictureStore::smallDecode);
  ASSERT_GT(PictureStore::decodeCost(*largeHeader), MemoryBudget::decodedPictures().capacity());
  std::atomic<bool> stop{false};
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      while (!stop)
        if (!PictureStore::decode(small, *smallHeader)) ++failed;
    });
  EXPECT_TRUE(waitUntil([] { return MemoryBudget::decodedPictures().held() > 0; }, 60));
  auto done = std::make_shared<std::promise<bool>>();
  auto decoded = done->get_future();
  std::thread alone([&, done] { done->set_value(bool(PictureStore::decode(large, *largeHeader))); });
  const bool inTime = decoded.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  stop = true;
  for (auto& t : threads) t.join();
  alone.join();
  EXPECT_TRUE(inTime) << "the large decode was still waiting after 30 s";
  EXPECT_TRUE(decoded.get());
  EXPECT_EQ(failed, 0);
}

// What a picture holds counts against its bound while it is held, by the store too, and is given
// back when the last holder lets it go; work that needs the bound comes before what is kept.
TEST(PictureStore, APictureMadeCountsAgainstItsBoundWhileItIsHeld) {
  auto folder = freshFolder("picture-store-held");
  writeBytes(folder / "held.tiff", tiffPicture(1000, 1000));
  MemoryBudget& small = MemoryBudget::smallDecodedPictures();
  // A reservation of the whole bound: it goes when nothing else holds it, kept pictures let go.
  auto wholeBound = [&] { auto whole = small.reserve(small.capacity()); };
  wholeBound();
  ASSERT_EQ(small.held(), 0u);
  auto answer = PictureStore::shared().get(openFile(folder / "held.tiff"), {});
  ASSERT_TRUE(answer) << answer.error().message;
  const std::size_t size = (*answer)->bytes.size();
  EXPECT_EQ((*answer)->held.budget(), &small);
  EXPECT_EQ(small.held(), size);
  {
    // Work larger than the whole bound waits for other work, not for pictures held elsewhere,
    // which may be held for long.
    auto alone = small.reserve(small.capacity() + 1);
    EXPECT_EQ(small.held(), size + small.capacity() + 1);
  }
  answer = PictureStore::Answer();
  EXPECT_EQ(small.held(), size) << "kept by the store";
  wholeBound();
  EXPECT_EQ(small.held(), 0u);
}

// A picture is handed at about the pixels it is drawn at: reduced, its shape kept, as little as
// covers them both ways; as it is when it has at most twice their pixels or nothing is asked.
TEST(PictureStore, APictureIsHandedAtAboutTheSizeItIsDrawnAt) {
  struct Sizes {
    int width, height;
    PictureStore::Drawn drawn;
    int handedWidth, handedHeight;
  } sizes[] = {
      {4000, 3000, {80, 80}, 107, 80},     {8000, 8000, {80, 80}, 80, 80},   {2000, 1000, {100, 100}, 200, 100},
      {100, 100, {80, 80}, 100, 100},      {100, 100, {70, 70}, 70, 70},     {300, 200, {600, 400}, 300, 200},
      {8000, 2000, {260, 80}, 320, 80},    {8000, 8000, {0, 0}, 8000, 8000}, {8000, 8000, {80, 0}, 8000, 8000},
  };
  for (const auto& s : sizes) {
    auto handed = PictureStore::handedSize(s.width, s.height, s.drawn);
    EXPECT_EQ(handed, (ImageData::PixelSize{s.handedWidth, s.handedHeight}))
        << s.width << "x" << s.height << " drawn " << s.drawn.width << "x" << s.drawn.height << ": " << handed.width
        << "x" << handed.height;
  }

  auto folder = freshFolder("picture-store-drawn");
  const Data png = redPNG(100, 100);
  struct Case {
    const char* name;
    Data bytes;
    PictureStore::Drawn drawn;
    const char* type;
    int width, height;
    bool asItIs;
  } cases[] = {
      {"TIFF drawn small", tiffPicture(4000, 3000), {80, 80}, "image/png", 107, 80, false},
      {"TIFF drawn whole", tiffPicture(400, 300), {0, 0}, "image/png", 400, 300, false},
      {"JPEG drawn small", jpegPicture(2000, 1000), {100, 100}, "image/jpeg", 200, 100, false},
      {"PNG drawn at nearly its size", png, {80, 80}, "image/png", 100, 100, true},
      {"PNG drawn small", png, {20, 10}, "image/png", 20, 20, false},
  };
  for (const auto& c : cases) {
    auto file = folder / c.name;
    writeBytes(file, c.bytes);
    auto answer = PictureStore::shared().get(openFile(file), c.drawn);
    ASSERT_TRUE(answer) << c.name << ": " << answer.error().message;
    EXPECT_EQ((*answer)->type, c.type) << c.name;
    if (c.asItIs) {
      EXPECT_EQ((*answer)->bytes, c.bytes) << c.name;
    }
    expectSize((*answer)->bytes, c.width, c.height, c.name);
  }

  // An animation keeps moving however small it is drawn: it is handed as it is.
  const std::vector<Colour> colours{{255, 0, 0}, {0, 0, 255}, {0, 255, 0}};
  Data apng = redPNG(120, 120);
  Data control;
  putBig(control, 3, 4);
  putBig(control, 0, 4);
  Data chunk;
  pngChunk(chunk, "acTL", control);
  apng.insert(apng.begin() + 33, chunk.begin(), chunk.end());
  struct Animation {
    const char* name;
    Data bytes;
    const char* type;
  } animations[] = {
      {"animated GIF", animatedGif(120, 120, colours, 10), "image/gif"},
      {"animated WebP", animatedWebP(freshFolder("picture-store-webp"), 120, 120, colours, 100), "image/webp"},
      {"animated PNG", apng, "image/png"},
  };
  for (const auto& a : animations) {
    ASSERT_FALSE(a.bytes.empty()) << a.name;
    auto file = folder / a.name;
    writeBytes(file, a.bytes);
    auto answer = PictureStore::shared().get(openFile(file), {64, 64});
    ASSERT_TRUE(answer) << a.name << ": " << answer.error().message;
    EXPECT_EQ((*answer)->type, a.type) << a.name;
    EXPECT_EQ((*answer)->bytes, a.bytes) << a.name;
  }
}

// The reduced copies made beside a document serve a picture drawn small: the smallest that
// covers the drawn size, never a link that stands in for a copy not yet made.
TEST(PictureStore, AReducedCopyServesWhereItCoversTheDrawnSize) {
  auto cache = freshFolder("picture-store-copies");
  ASSERT_TRUE(fs::writeInside(cache, "512/pic", redPNG(1024, 768)));
  ASSERT_TRUE(fs::writeInside(cache, "2048/pic", redPNG(4096, 3072)));
  ASSERT_TRUE(fs::writeInside(cache, "elsewhere.png", redPNG(2048, 1536)));
  stdfs::create_directories(cache / "1024");
  stdfs::create_symlink(cache / "elsewhere.png", cache / "1024" / "pic");
  struct Case {
    PictureStore::Drawn drawn;
    int width;  // of the copy given; 0: none
  } cases[] = {{{80, 80}, 1024}, {{1024, 768}, 1024}, {{1500, 1000}, 4096}, {{5000, 100}, 0}, {{0, 0}, 0}};
  for (const auto& c : cases) {
    auto copy = PictureStore::reducedCopy(cache, "pic", c.drawn);
    std::string what = std::to_string(c.drawn.width) + "x" + std::to_string(c.drawn.height);
    ASSERT_EQ(bool(copy), c.width > 0) << what;
    if (!copy) continue;
    auto bytes = fs::readAll(copy->get(), "copy", std::size_t(64) << 20);
    ASSERT_TRUE(bytes) << what;
    EXPECT_EQ(ImageData::bitmapSize(*bytes)->width, c.width) << what;
  }
  EXPECT_FALSE(PictureStore::reducedCopy(cache, "other", {80, 80}));
}

// Whether a picture is an animation is found by a walk of its headers, past its pixels and
// within its bounds: an APNG whose text before its animation chunk is 12 MB, or a GIF whose first
// frame is 4 MB, costs a few reads and the first frame's blocks; a GIF whose first frame is past
// the bound can't be told, after no more than the bound is read.
TEST(PictureStore, AnAnimationIsToldByItsHeadersAlone) {
  const std::vector<Colour> two{{255, 0, 0}, {0, 0, 255}}, one{{255, 0, 0}};
  auto folder = freshFolder("animation-look");
  // 12 MB of text, then (in the animation) its control chunk: two frames.
  Data text, control;
  pngChunk(text, "tEXt", Data(12u << 20, 'x'));
  putBig(control, 2, 4);
  putBig(control, 0, 4);
  pngChunk(text, "acTL", control);
  Data apng = ImageEncoding::png(solidBitmap(6, 5, 9, 8, 7)), stillPng = apng;
  apng.insert(apng.begin() + 33, text.begin(), text.end());
  stillPng.insert(stillPng.begin() + 33, text.begin(), text.end() - 20);
  struct Case {
    const char* what;
    Data bytes;
    std::optional<bool> animates;
    std::uint64_t mostRead;
  } cases[] = {
      {"GIF of two frames", animatedGif(64, 64, two, 10), true, 1 << 20},
      {"GIF of one frame", animatedGif(64, 64, one, 10), false, 1 << 20},
      {"GIF of two frames, the first of 4 MB", animatedGif(2000, 2000, two, 10), true, 5u << 20},
      {"GIF whose first frame is past the bound", animatedGif(4800, 4800, two, 10), std::nullopt,
       ImageHeader::maximumAnimationLookBytes},
      {"WebP of two frames", animatedWebP(folder, 64, 64, two, 100), true, 1 << 20},
      {"WebP", WebP::encode(solidBitmap(64, 64, 1, 2, 3), 1.0f), false, 1 << 20},
      {"PNG of two frames after 12 MB of text", apng, true, 1 << 20},
      {"PNG with 12 MB of text", stillPng, false, 1 << 20},
      {"JPEG", ImageEncoding::jpeg(solidBitmap(64, 64, 1, 2, 3), 90), false, 1 << 20},
      {"nothing", Data(), false, 0},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(c.bytes.empty() && c.mostRead) << c.what;
    std::uint64_t read = 0;
    auto readAt = [&](std::uint64_t offset, std::span<std::uint8_t> into) {
      std::size_t count = std::min<std::size_t>(into.size(), c.bytes.size() - std::size_t(offset));
      std::copy_n(c.bytes.begin() + std::ptrdiff_t(offset), count, into.begin());
      read += count;
      return count;
    };
    EXPECT_EQ(ImageHeader::isAnimation(readAt, c.bytes.size()), c.animates) << c.what;
    EXPECT_LE(read, c.mostRead) << c.what;
    auto facts = ImageHeader::read(c.bytes);
    if (c.animates) {
      EXPECT_EQ(*c.animates, facts && facts->frames > 1) << c.what;
    }
  }
}

// Many requests for one file at once share one look at it; the file changed is looked at again.
TEST(PictureStore, ManyAskingWhetherAFileIsAnAnimationShareOneLook) {
  auto folder = freshFolder("animation-looks");
  ASSERT_TRUE(fs::writeInside(folder, "moving.gif", animatedGif(1000, 1000, {{255, 0, 0}, {0, 0, 255}}, 10)));
  auto before = PictureStore::animationLooks();
  std::vector<std::future<bool>> asked;
  for (int i = 0; i < 16; ++i)
    asked.push_back(std::async(std::launch::async, [&] {
      return PictureStore::isAnimation(openFile(folder / "moving.gif").get());
    }));
  for (auto& a : asked) EXPECT_TRUE(a.get());
  EXPECT_EQ(PictureStore::animationLooks() - before, 1u);
  ASSERT_TRUE(fs::writeInside(folder, "moving.gif", redPNG(10, 10)));
  EXPECT_FALSE(PictureStore::isAnimation(openFile(folder / "moving.gif").get()));
  EXPECT_EQ(PictureStore::animationLooks() - before, 2u);
  EXPECT_FALSE(PictureStore::isAnimation(-1));
}

// A rendered output holds each picture at most at the pixels it draws (300 per inch of a PDF
// page); HTML and SVG keep the file as stored.
TEST(PictureStore, ARenderedOutputInlinesEachPictureAtMostAtThePixelsItDraws) {
  using Type = ExportFileDescriptor::Type;
  struct Drawn {
    Type type;
    PictureStore::Drawn drawn;
  } outputs[] = {{Type::png, {260, 80}}, {Type::jpg, {260, 80}}, {Type::webp, {260, 80}}, {Type::pdf, {1084, 334}},
                 {Type::html, {0, 0}},   {Type::svg, {0, 0}}};
  for (const auto& o : outputs) {
    auto drawn = ExportFileWriter::drawnPixels(o.type, 260, 80);
    EXPECT_EQ(drawn.width, o.drawn.width) << ExportFileDescriptor::rawValue(o.type);
    EXPECT_EQ(drawn.height, o.drawn.height) << ExportFileDescriptor::rawValue(o.type);
  }

  auto project = freshFolder("picture-store-inlined");
  ASSERT_TRUE(fs::writeInside(project, "design/images/large", tiffPicture(4000, 3000)));
  ASSERT_TRUE(fs::writeInside(project, "design/images/photo", jpegPicture(2000, 2000)));
  ASSERT_TRUE(fs::writeInside(project, "design/images/small.png", redPNG(40, 30)));
  const std::string text = "<img src=\"##base64-file:design/images/large##\"><img src=\"##base64-file:design/images/photo##\">"
                           "<img src=\"##base64-file:design/images/small.png##\"><img src=\"##base64-file:design/images/large##\">";
  struct Case {
    std::optional<PictureStore::Drawn> drawn;
    std::vector<std::pair<int, int>> sizes;  // of the pictures inlined, in order
  } cases[] = {
      {PictureStore::Drawn{260, 80}, {{260, 195}, {260, 260}, {40, 30}, {260, 195}}},
      {PictureStore::Drawn{813, 250}, {{813, 610}, {813, 813}, {40, 30}, {813, 610}}},
      {std::nullopt, {{4000, 3000}, {2000, 2000}, {40, 30}, {4000, 3000}}},
  };
  for (const auto& c : cases) {
    auto inlined = ExportFileWriter::inlineFiles(text, project, c.drawn);
    ASSERT_TRUE(inlined);
    auto sizes = testenv::inlinedSizes(*inlined);
    EXPECT_EQ(sizes, c.sizes);
    // What the page decodes: each picture once.
    std::size_t pictureBytes = 0;
    for (std::size_t i = 0; i < 3 && sizes.size() == 4; ++i)
      pictureBytes += 4 * std::size_t(sizes[i].first) * std::size_t(sizes[i].second);
    if (c.drawn) {
      EXPECT_EQ(inlined->pictureBytes, pictureBytes);
    }
  }
  // HTML and SVG as before: the stored JPEG as it is.
  auto whole = ExportFileWriter::replaceBase64Templates("##base64-file:design/images/photo##", project);
  ASSERT_TRUE(whole);
  EXPECT_EQ(*whole, "data:image/jpeg;base64," + crypto::base64Encode(jpegPicture(2000, 2000)));
}

// The size a page names, rounded up to a power of two on each side; nothing unless both sides
// are whole numbers in range.
TEST(PictureStore, APageNamesTheSizeItDrawsAPictureAt) {
  struct Case {
    const char* address;
    int width, height;
  } cases[] = {
      {"korvel-picture:a.png?width=80&height=80", 128, 128},
      {"korvel-picture:a.png?height=1&width=16", 16, 16},
      {"korvel-picture:a%20b.png?width=17&height=4096&other=1", 32, 4096},
      {"korvel-picture:a.png?width=32767&height=20000", 32767, 32767},
      {"korvel-picture:a.png?width=32768&height=80", 0, 0},
      {"korvel-picture:a.png?width=0&height=80", 0, 0},
      {"korvel-picture:a.png?width=-5&height=80", 0, 0},
      {"korvel-picture:a.png?width=8x&height=80", 0, 0},
      {"korvel-picture:a.png?width=80", 0, 0},
      {"korvel-picture:a.png?17", 0, 0},
      {"korvel-picture:a.png", 0, 0},
      {"not an address", 0, 0},
  };
  for (const auto& c : cases) {
    auto drawn = PictureStore::drawnIn(c.address);
    EXPECT_EQ(drawn.width, c.width) << c.address;
    EXPECT_EQ(drawn.height, c.height) << c.address;
  }
}

namespace {

// A picture of `width` × `height` of opaque noise, which PNG hardly compresses.
Bitmap noiseBitmap(int width, int height, std::uint32_t seed) {
  auto bitmap = *Bitmap::make(width, height);
  std::uint32_t state = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < bitmap.rgba.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    bitmap.rgba[i] = (i % 4 == 3) ? 255 : std::uint8_t(state >> 24);
  }
  return bitmap;
}

std::size_t openFiles() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : stdfs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

}  // namespace

// One picture asked at every drawn size a page can name (each side a power of two from 16 to the
// largest, 144 sizes) is made once for each size it is handed at, a few dozen at most, and every
// request is answered at the size it is handed at.
TEST(PictureStore, APictureAskedAtEverySizeIsMadeAtAFewSizes) {
  auto folder = freshFolder("picture-store-sizes");
  const Bitmap noise = noiseBitmap(200, 170, 7);
  const Data png = ImageEncoding::png(noise);
  ASSERT_GT(png.size(), std::size_t(100) << 10);
  writeBytes(folder / "noise.png", png);
  std::vector<int> sides;
  for (int side = 16; side < PictureStore::maximumDrawnSide; side *= 2) sides.push_back(side);
  sides.push_back(PictureStore::maximumDrawnSide);
  const std::size_t made = PictureStore::shared().made();
  struct Asked {
    PictureStore::Drawn drawn;
    std::promise<PictureStore::Answer> answer;
  };
  std::vector<std::unique_ptr<Asked>> asked;
  for (int width : sides)
    for (int height : sides) {
      asked.push_back(std::make_unique<Asked>());
      Asked* a = asked.back().get();
      a->drawn = {width, height};
      PictureStore::shared().request(openFile(folder / "noise.png"), a->drawn,
                                     [a](const PictureStore::Answer& answer) { a->answer.set_value(answer); },
                                     "a page of many sizes");
    }
  ASSERT_EQ(asked.size(), 144u);
  for (auto& a : asked) {
    auto future = a->answer.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(300)), std::future_status::ready);
    auto answer = future.get();
    std::string what = std::to_string(a->drawn.width) + "x" + std::to_string(a->drawn.height);
    ASSERT_TRUE(answer) << what << ": " << answer.error().message;
    auto handed = PictureStore::handedSize(200, 170, a->drawn);
    expectSize((*answer)->bytes, handed.width, handed.height, what);
  }
  EXPECT_LE(PictureStore::shared().made() - made, 24u) << "one picture made at too many sizes";
}

// Requests that can open their file again wait without it: 2,000 pictures asked at once hold a
// few files open, not one each, and every one is answered.
TEST(PictureStore, ThousandsOfPicturesWaitingHoldFewFilesOpen) {
  auto folder = freshFolder("picture-store-files");
  constexpr int count = 2000;
  for (int i = 0; i < count; ++i) writeBytes(folder / ("p" + std::to_string(i) + ".png"), redPNG(8 + i % 7, 8));
  const std::size_t before = openFiles();
  std::atomic<int> answered{0}, drawn{0};
  std::size_t mostOpen = 0;
  for (int i = 0; i < count; ++i) {
    auto path = folder / ("p" + std::to_string(i) + ".png");
    PictureStore::shared().request(
        openFile(path), {},
        [&](const PictureStore::Answer& answer) {
          if (answer) ++drawn;
          ++answered;
        },
        "a page of thousands", [path]() -> Result<UniqueFd> { return openFile(path); });
    mostOpen = std::max(mostOpen, openFiles());
  }
  while (answered < count) {
    mostOpen = std::max(mostOpen, openFiles());
    ASSERT_TRUE(waitUntil([&] { return answered == count || openFiles() > before + 64; }, 300));
  }
  EXPECT_EQ(drawn, count);
  EXPECT_LT(mostOpen, before + 64) << "files held open by waiting requests";
}

// A large picture made whole is a PNG of its very pixels, however its rows were cut to be
// deflated on many cores; a picture of greys is written as a grey one.
TEST(PictureStore, APictureMadeWholeOnManyCoresHasItsOwnPixels) {
  struct Case {
    int width, height;
    bool grey;
  } cases[] = {{1500, 1000, false}, {1001, 1999, false}, {1200, 1100, true}};
  for (const auto& c : cases) {
    Bitmap noise = noiseBitmap(c.width, c.height, std::uint32_t(c.width));
    if (c.grey)
      for (std::size_t i = 0; i < noise.rgba.size(); i += 4) noise.rgba[i + 1] = noise.rgba[i + 2] = noise.rgba[i];
    const Data png = ImageEncoding::png(noise);
    auto picture = ImageData::decodeBitmap(png);
    ASSERT_TRUE(picture);
    auto quick = QuickPng::encode(std::move(*picture));
    ASSERT_TRUE(quick) << quick.error().message;
    ASSERT_GT(quick->size(), 26u);
    EXPECT_EQ((*quick)[25], c.grey ? 0 : 6) << "its colour type: grey, or colour with alpha";
    auto back = ImageEncoding::decode(*quick);
    ASSERT_TRUE(back) << c.width << "x" << c.height;
    ASSERT_EQ(back->width, c.width);
    ASSERT_EQ(back->height, c.height);
    EXPECT_TRUE(back->rgba == noise.rgba) << c.width << "x" << c.height << ": pixels differ";
  }
}

// What a large picture is deflated into grows with what it holds: one that compresses costs
// little beside its pixels.
TEST(PictureStore, APictureMadeWholeOnManyCoresHoldsAboutItsPng) {
  const int side = 4000;
  Bitmap smooth = *Bitmap::make(side, side);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) {
      auto* p = smooth.rgba.data() + (std::size_t(y) * side + std::size_t(x)) * 4;
      p[0] = std::uint8_t(x * 255 / side), p[1] = std::uint8_t(y * 255 / side), p[2] = 90, p[3] = 255;
    }
  auto picture = ImageData::decodeBitmap(ImageEncoding::png(smooth));
  ASSERT_TRUE(picture);
  smooth = Bitmap();
  std::size_t pixelBytes = std::size_t(gdk_pixbuf_get_rowstride(picture->get())) * side;
  long grew = testenv::peakGrowthInChild([&] {
    auto quick = QuickPng::encode(std::move(*picture));
    if (!quick || quick->size() > pixelBytes / 50) _exit(3);
  });
  EXPECT_GE(grew, 0) << "not encoded, or not compressed";
  EXPECT_LT(grew, long(pixelBytes / 1024 / 4)) << "KB beside " << (pixelBytes >> 20) << " MB of pixels";
}

// Work no one waits for (a reduced copy) gives way: it goes only once no reservation that someone
// waits for is waiting, whenever it asked, and never holds one up.
TEST(PictureStore, WorkNoOneWaitsForGivesWayToWorkSomeoneDoes) {
  MemoryBudget budget(100);
  // Who found the budget full, told by the reclaiming each reservation that waits asks for.
  std::mutex mutex;
  std::set<std::thread::id> lacking;
  budget.reclaimWith([&](std::size_t) {
    std::lock_guard lock(mutex);
    lacking.insert(std::this_thread::get_id());
  });
  auto waiting = [&](const std::thread& thread) {
    std::lock_guard lock(mutex);
    return lacking.count(thread.get_id()) > 0;
  };
  auto holding = budget.reserve(80);
  std::atomic<int> order{0}, pressingAt{0}, givingAt{0};
  // The one that gives way asks first, the one someone waits for after it.
  std::thread giving([&] {
    auto ticket = budget.reserve(60, true);
    givingAt = ++order;
  });
  ASSERT_TRUE(waitUntil([&] { return waiting(giving); }, 30));
  std::thread pressing([&] {
    auto ticket = budget.reserve(50);
    pressingAt = ++order;
  });
  ASSERT_TRUE(waitUntil([&] { return waiting(pressing); }, 30));
  holding.release();
  pressing.join();
  giving.join();
  EXPECT_EQ(pressingAt, 1);
  EXPECT_EQ(givingAt, 2);
  EXPECT_EQ(budget.held(), 0u);
}

// A TIFF of 82 KB whose 8192 × 8192 of noise no encoding makes smaller than its 64 MB of pixels
// is refused whole, where a page's engine would hold it in several copies; the same noise drawn
// smaller, or a quarter as large whole, is answered.
TEST(PictureStore, APictureMadeFarLargerThanItsFileIsRefused) {
  auto folder = freshFolder("picture-store-largest-made");
  struct Case {
    const char* name;
    std::uint32_t side;
    PictureStore::Drawn drawn;
    int width;  // 0: refused as too large
  } cases[] = {
      {"whole", 8192, {}, 0},
      {"drawn at 1024", 8192, {1024, 1024}, 1024},
      {"a quarter as large, whole", 4096, {}, 4096},
  };
  for (const auto& c : cases) {
    auto file = folder / (std::string(c.name) + ".tiff");
    const Data noise = noiseTiff(c.side, c.side, 7);
    ASSERT_LT(noise.size(), std::size_t(84) << 10);
    writeBytes(file, noise);
    auto answer = PictureStore::shared().get(openFile(file), c.drawn);
    if (!c.width) {
      ASSERT_FALSE(answer) << c.name;
      EXPECT_EQ(answer.error().code, ImageData::tooLarge) << c.name;
      continue;
    }
    ASSERT_TRUE(answer) << c.name << ": " << answer.error().message;
    EXPECT_LE((*answer)->bytes.size(), PictureStore::largestMade(noise.size())) << c.name;
    expectSize((*answer)->bytes, c.width, c.width, c.name);
  }
}
