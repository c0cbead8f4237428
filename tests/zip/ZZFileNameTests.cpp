#include "zip/ZZFileName.h"
#include "zip/ZZCompressedContent.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(ZZFileName, CodePage437DecodesHighBytesAsThatCodePage) {
  std::vector<std::uint8_t> name = {'a', 0x80, 0x81, 0xE1, 0xFE, 0xFF};
  EXPECT_EQ(zzDecodeFileName(name, ZZFileNameEncoding::codePage437), "aÇüß■\u00A0");
  // The same bytes are not UTF-8, so with the UTF-8 flag the name does not decode.
  EXPECT_EQ(zzDecodeFileName(name, ZZFileNameEncoding::utf8), std::nullopt);
}

TEST(ZZFileName, UTF8IsCheckedStrictly) {
  auto ok = std::string("résumé/naïve €.txt");
  EXPECT_EQ(zzDecodeFileName(std::vector<std::uint8_t>(ok.begin(), ok.end()), ZZFileNameEncoding::utf8), ok);
  EXPECT_FALSE(zzIsValidUTF8(std::vector<std::uint8_t>{0xC0, 0x80}));        // overlong
  EXPECT_FALSE(zzIsValidUTF8(std::vector<std::uint8_t>{0xED, 0xA0, 0x80}));  // surrogate
  EXPECT_FALSE(zzIsValidUTF8(std::vector<std::uint8_t>{0xE2, 0x82}));        // cut short
}

TEST(ZZFileName, AlreadyCompressedFormatsAreKnownByTheirExtension) {
  struct Case {
    const char* name;
    bool compressed;
  } cases[] = {{"design/images/a.png", true}, {"A.JPG", true},       {"x/photo.jpeg", true}, {"f.woff2", true},
               {"i.webp", true},              {"old.zip", true},     {"log.gz", true},       {"code/a.js", false},
               {"doc.json", false},           {"png", false},        {".png", false},        {"dir.png/file", false},
               {"a.", false},                 {"image.pngx", false}, {"", false},            {"x.svg", false}};
  for (const auto& c : cases) EXPECT_EQ(zzIsCompressedFileName(c.name), c.compressed) << c.name;
}

}  // namespace
