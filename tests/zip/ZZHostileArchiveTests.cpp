// Archives made to mislead: central entries that share local records, local names that
// differ from central ones, and sizes that lie.

#include <gtest/gtest.h>

#include "ZipTestSupport.h"
#include "support/TestEnvironment.h"

using namespace ziptest;

namespace {

// Offsets of the central headers of a handmade archive.
std::vector<std::size_t> centralHeaders(const Data& zip) {
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i + 4 <= zip.size(); ++i)
    if (zip[i] == 0x50 && zip[i + 1] == 0x4b && zip[i + 2] == 0x01 && zip[i + 3] == 0x02) at.push_back(i);
  return at;
}

void setLocalOffset(Data& zip, std::size_t centralHeader, std::uint32_t offset) {
  for (int k = 0; k < 4; ++k) zip[centralHeader + 42 + k] = static_cast<std::uint8_t>(offset >> (8 * k));
}

}  // namespace

TEST(ZZHostileArchive, MisleadingLocalRecordsAreRefused) {
  Data text = toData("the same bytes, read once and only once");
  struct Case {
    const char* what;
    std::function<Data()> make;
    long openCode;  // -1: opens
    long readCode;  // for the second entry, when it opens
  };
  const Case cases[] = {
      {"two central entries over one local record",
       [&] {
         Data zip = makeRawZip({storedEntry("a.txt", text), storedEntry("b.txt", text)});
         setLocalOffset(zip, centralHeaders(zip)[1], 0);
         return zip;
       },
       2, -1},
      {"a local record that starts inside another's data",
       [&] {
         Data zip = makeRawZip({storedEntry("a.txt", text), storedEntry("b.txt", text)});
         setLocalOffset(zip, centralHeaders(zip)[1], 40);
         return zip;
       },
       2, -1},
      {"a local header that names another entry",
       [&] {
         RawEntry renamed = storedEntry("b.txt", text);
         renamed.localName = "c.txt";
         return makeRawZip({storedEntry("a.txt", text), renamed});
       },
       -1, 3},
      {"an honest archive", [&] { return makeRawZip({storedEntry("a.txt", text), deflatedEntry("b.txt", text)}); },
       -1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto archive = tryOpenData(c.make());
    EXPECT_EQ(zipCode(archive), c.openCode);
    if (!archive) continue;
    const auto& entry = (*archive)->entries().at(1);
    EXPECT_EQ(zipCode(entry->newData()), c.readCode);
    EXPECT_EQ(zipCode(entry->newStream()), c.readCode);
  }
}

TEST(ZZHostileArchive, ALyingDeclaredSizeCostsNoMemory) {
  // 600 KB that do not compress, declared as a thousand times more.
  Data content = randomData(600 * 1024, 7);
  RawEntry plain = deflatedEntry("big.bin", content);
  plain.uncompressedSize = static_cast<std::uint32_t>(content.size() * 1000);
  RawEntry locked = traditionalEntry("locked.bin", content, "pw", true);
  locked.uncompressedSize = plain.uncompressedSize;
  for (const auto& entry : {plain, locked}) {
    SCOPED_TRACE(entry.name);
    auto archive = openData(makeRawZip({entry}));
    long growth = testenv::peakGrowthInChild([&] { (void)archive->entries()[0]->newData("pw"); });
    EXPECT_GE(growth, 0);
    EXPECT_LT(growth, 100 * 1024) << "kilobytes";
    EXPECT_EQ(zipCode(archive->entries()[0]->newData("pw")), 14);
  }
}
