// A design's pictures are made once for everyone who wants them: requests, outputs and pages
// of one file share a read and a decode; a file far larger than its pixels is never handed on
// whole; a picture whose data does not decode is refused.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "export/Bitmap.h"
#include "export/ExportFileWriter.h"
#include "platform/FileSystem.h"
#include "platform/ImageData.h"
#include "platform/PictureStore.h"
#include "support/HostilePictures.h"
#include "support/SolidBitmap.h"
#include "support/TestEnvironment.h"
#include "support/TiffKinds.h"

using namespace testenv;
namespace stdfs = std::filesystem;

namespace {

UniqueFd openFile(const stdfs::path& file) { return UniqueFd(::open(file.c_str(), O_RDONLY | O_CLOEXEC)); }

Data redPNG(int width, int height) { return ImageEncoding::png(solidBitmap(width, height, 255, 0, 0)); }

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
    auto answer = PictureStore::shared().get(openFile(file));
    if (!c.type) {
      EXPECT_FALSE(answer) << c.name;
      continue;
    }
    ASSERT_TRUE(answer) << c.name << ": " << answer.error().message;
    EXPECT_EQ((*answer)->type, c.type) << c.name;
    if (c.asItIs) EXPECT_EQ((*answer)->bytes, c.bytes) << c.name;
    else EXPECT_LT((*answer)->bytes.size(), std::size_t(1) << 20) << c.name;
    auto drawn = ImageEncoding::decode((*answer)->bytes);
    ASSERT_TRUE(drawn) << c.name;
    EXPECT_EQ(drawn->width, c.width) << c.name;
    EXPECT_EQ(drawn->height, c.height) << c.name;
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
  for (auto& answer : answers) askers.emplace_back([&] { answer = PictureStore::shared().get(openFile(file)); });
  for (auto& t : askers) t.join();
  EXPECT_EQ(PictureStore::shared().made(), before + 1);
  for (auto& answer : answers) {
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->get(), answers[0]->get());
  }
  // The file written again is another picture.
  writeBytes(file, tiffPicture(64, 32));
  auto again = PictureStore::shared().get(openFile(file));
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
    PictureStore::shared().request(openFile(folder / ("noise" + std::to_string(i) + ".tiff")),
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
    auto answer = PictureStore::shared().get(openFile(folder / c.file), c.asker);
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
  auto answer = PictureStore::shared().get(openFile(folder / "held.tiff"));
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
