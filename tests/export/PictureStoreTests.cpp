// A design's pictures are made once for everyone who wants them: requests, outputs and pages
// of one file share a read and a decode; a file far larger than its pixels is never handed on
// whole; a picture whose data does not decode is refused.

#include <fcntl.h>
#include <gtest/gtest.h>

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
