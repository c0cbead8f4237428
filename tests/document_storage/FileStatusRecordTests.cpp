#include <gtest/gtest.h>

#include "document/storage/KXFileStatusRecord.h"
#include "platform/Crypto.h"

namespace {

Data digestOf(const std::string& text) {
  auto d = crypto::sha1(dataFromString(text));
  return Data(d.begin(), d.end());
}

KXFileStatusRecord::Known known(std::int64_t size, const std::string& content) {
  return {{2049, 77, size, 1700000000123456789, 1700000000987654321}, {size, digestOf(content)}, 0xc0ffee00u + static_cast<std::uint32_t>(size)};
}

std::optional<KXFileStatusRecord::Files> decode(const std::string& text) {
  return KXFileStatusRecord::decode(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

const std::string kHeader = "korvel-file-status 2\n";
const std::string kDigest = "0123456789abcdef0123456789abcdef01234567 89abcdef";

}  // namespace

TEST(FileStatusRecord, DecodesWhatItEncodes) {
  KXFileStatusRecord::Files files{{"design/document.json", known(2, "{}")},
                                  {"code/a file with\nnewline and spaces.js", known(0, "")},
                                  {".cache/images/512/x.png", known(3, "png")}};
  auto decoded = decode(KXFileStatusRecord::encode(files));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, files);
  EXPECT_EQ(decode(kHeader), KXFileStatusRecord::Files{});
}

TEST(FileStatusRecord, LeavesOutWhatItCouldNotReadBack) {
  KXFileStatusRecord::Files files{{"code/a.js", known(1, "a")},
                                  {"../outside.js", known(1, "b")},
                                  {".hidden", known(1, "c")},
                                  {"code/b.js", {{1, 2, 1, 3, 4}, {1, std::nullopt}}}};
  auto decoded = decode(KXFileStatusRecord::encode(files));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->size(), 1u);
  EXPECT_TRUE(decoded->count("code/a.js"));
}

TEST(FileStatusRecord, RefusesAnyMalformedRecordWhole) {
  const std::string good = "1 2 3 4 5 3 " + kDigest + " 4:a.js\n";
  ASSERT_TRUE(decode(kHeader + good));
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"earlier header, without checksums", "korvel-file-status 1\n1 2 3 4 5 3 0123456789abcdef0123456789abcdef01234567 4:a.js\n"},
      {"upper-case checksum", kHeader + "1 2 3 4 5 3 0123456789abcdef0123456789abcdef01234567 89ABCDEF 4:a.js\n"},
      {"short checksum", kHeader + "1 2 3 4 5 3 0123456789abcdef0123456789abcdef01234567 89abcde 4:a.js\n"},
      {"no checksum", kHeader + "1 2 3 4 5 3 0123456789abcdef0123456789abcdef01234567 4:a.js\n"},
      {"no header", good},
      {"truncated line", kHeader + good.substr(0, good.size() - 3)},
      {"no final newline", kHeader + good.substr(0, good.size() - 1)},
      {"name longer than the line", kHeader + "1 2 3 4 5 3 " + kDigest + " 9:a.js\n"},
      {"name length past the limit", kHeader + "1 2 3 4 5 3 " + kDigest + " 99999:a.js\n"},
      {"upper-case digest", kHeader + "1 2 3 4 5 3 0123456789ABCDEF0123456789abcdef01234567 89abcdef 4:a.js\n"},
      {"short digest", kHeader + "1 2 3 4 5 3 0123 89abcdef 4:a.js\n"},
      {"sizes disagree", kHeader + "1 2 3 4 5 7 " + kDigest + " 4:a.js\n"},
      {"negative size", kHeader + "1 2 -3 4 5 -3 " + kDigest + " 4:a.js\n"},
      {"negative device", kHeader + "-1 2 3 4 5 3 " + kDigest + " 4:a.js\n"},
      {"plus sign", kHeader + "+1 2 3 4 5 3 " + kDigest + " 4:a.js\n"},
      {"number too large", kHeader + "1 2 3 99999999999999999999 5 3 " + kDigest + " 4:a.js\n"},
      {"missing field", kHeader + "1 2 3 4 3 " + kDigest + " 4:a.js\n"},
      {"two spaces", kHeader + "1  2 3 4 5 3 " + kDigest + " 4:a.js\n"},
      {"name leaves the folder", kHeader + "1 2 3 4 5 3 " + kDigest + " 7:../a.js\n"},
      {"absolute name", kHeader + "1 2 3 4 5 3 " + kDigest + " 5:/a.js\n"},
      {"name not of the document", kHeader + "1 2 3 4 5 3 " + kDigest + " 5:.a.js\n"},
      {"name held twice", kHeader + good + good},
      {"trailing bytes", kHeader + good + "x"},
      {"too large", kHeader + std::string(KXFileStatusRecord::maximumSize, 'x')},
  };
  for (const auto& [why, text] : cases) EXPECT_FALSE(decode(text)) << why;
}
