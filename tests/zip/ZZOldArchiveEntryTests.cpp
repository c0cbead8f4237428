#include "zip/ZZOldArchiveEntry.h"

#include <gtest/gtest.h>

#include <fstream>

#include "ZipTestSupport.h"
#include "support/TestEnvironment.h"

using namespace ziptest;

namespace {

std::shared_ptr<ZZArchiveEntry> only(const Data& zip) {
  static std::vector<std::shared_ptr<ZZArchive>> keep;
  keep.push_back(openData(zip));
  return keep.back()->entries().at(0);
}

TEST(ZZOldArchiveEntry, StoredAndDeflatedContentReadsBack) {
  Data text = toData("Pack my box with five dozen liquor jugs.");
  Data big = randomData(300000, 5);
  EXPECT_EQ(*only(makeRawZip({storedEntry("s", text)}))->newData(), text);
  EXPECT_EQ(*only(makeRawZip({deflatedEntry("d", big)}))->newData(), big);

  auto entry = only(makeRawZip({deflatedEntry("d", big)}));
  auto stream = *entry->newStream();
  stream->open();
  Data out;
  std::uint8_t one;
  for (std::ptrdiff_t n; (n = stream->read(&one, 1)) > 0;) out.push_back(one);
  EXPECT_EQ(out, big);
  EXPECT_EQ(stream->streamStatus(), ZZStreamStatus::atEnd);
}

TEST(ZZOldArchiveEntry, AWrongCrcIsAnErrorWhenTheEntryIsReadWhole) {
  for (auto make : {storedEntry, deflatedEntry}) {
    RawEntry e = make("a", toData("checked"));
    e.crc32 ^= 1;
    auto entry = only(makeRawZip({e}));
    auto data = entry->newData();
    EXPECT_EQ(zipCode(data), 14);
    EXPECT_EQ(data.error().intInfo(ZZEntryIndexKey), 0);
    auto stream = *entry->newStream();
    stream->open();
    std::uint8_t buffer[64];
    EXPECT_EQ(stream->read(buffer, sizeof buffer), 7);
    EXPECT_EQ(stream->read(buffer, sizeof buffer), -1);
  }
}

TEST(ZZOldArchiveEntry, DeclaredSizesThatTheDataCannotHoldAreRefused) {
  RawEntry huge = deflatedEntry("a", toData("tiny"));
  huge.uncompressedSize = 0xFFFFFFF0u;  // 4 GiB from a few bytes
  EXPECT_EQ(zipCode(only(makeRawZip({huge}))->newData()), 14);

  RawEntry stored = storedEntry("a", toData("tiny"));
  stored.uncompressedSize = 5;
  EXPECT_EQ(zipCode(only(makeRawZip({stored}))->newData()), 14);

  RawEntry past = storedEntry("a", toData("tiny"));
  past.compressedSize = past.uncompressedSize = 1000;  // runs into the central directory
  EXPECT_EQ(zipCode(only(makeRawZip({past}))->newStream()), 14);

  RawEntry shortDeflate = deflatedEntry("a", randomData(2000, 9));
  shortDeflate.uncompressedSize += 10;
  EXPECT_EQ(zipCode(only(makeRawZip({shortDeflate}))->newData()), 14);
}

TEST(ZZOldArchiveEntry, MethodsAndEncryptionThatCannotBeRead) {
  RawEntry bzip = storedEntry("a", toData("x"));
  bzip.method = 12;
  EXPECT_EQ(zipCode(only(makeRawZip({bzip}))->newData()), 9);

  RawEntry strong = storedEntry("a", Data(20, 1));
  strong.flags = 0x41;
  EXPECT_EQ(zipCode(only(makeRawZip({strong}))->newStream()), 10);

  RawEntry noLocalField = aesEntry("a", toData("x"), "", 1, 2, false);
  noLocalField.localExtra.clear();
  EXPECT_EQ(zipCode(only(makeRawZip({noLocalField}))->newData()), 10);

  RawEntry shortTraditional = traditionalEntry("a", toData("x"), "", false);
  shortTraditional.data.resize(11);
  shortTraditional.compressedSize = 11;
  EXPECT_EQ(zipCode(only(makeRawZip({shortTraditional}))->newData()), 14);

  RawEntry shortAES = aesEntry("a", Data(), "", 3, 2, false);
  shortAES.data.resize(shortAES.data.size() - 1);
  shortAES.compressedSize -= 1;
  EXPECT_EQ(zipCode(only(makeRawZip({shortAES}))->newData()), 14);
}

TEST(ZZOldArchiveEntry, EncryptedEntries) {
  Data text = toData("a secret that is long enough to be deflated, deflated, deflated");
  for (bool deflate : {false, true}) {
    auto traditional = only(makeRawZip({traditionalEntry("t", text, "pw", deflate)}));
    EXPECT_TRUE(traditional->encrypted());
    EXPECT_EQ(*traditional->newData("pw"), text);
    EXPECT_EQ(zipCode(traditional->newData("wrong")), 12);
    for (int ae : {1, 2}) {
      auto aes = only(makeRawZip({aesEntry("e", text, "pw", 3, ae, deflate)}));
      EXPECT_EQ(aes->compressionMethod(), deflate ? 8 : 0);
      EXPECT_EQ(*aes->newData("pw"), text);
      EXPECT_EQ(zipCode(aes->newData("nope")), 12);
      EXPECT_TRUE(aes->check());
    }
  }
  // AE-1 keeps the CRC-32, so it is checked.
  RawEntry ae1 = aesEntry("e", text, "pw", 1, 1, true);
  ae1.crc32 ^= 0x100;
  EXPECT_EQ(zipCode(only(makeRawZip({ae1}))->newData("pw")), 14);
  // With sizes after the data, the traditional check byte comes from the time.
  RawEntry timed = traditionalEntry("t", text, "pw", false);
  timed.dataDescriptor = true;
  timed.time = static_cast<std::uint16_t>((timed.crc32 >> 16) & 0xffff);
  EXPECT_EQ(*only(makeRawZip({timed}))->newData("pw"), text);
}

TEST(ZZOldArchiveEntry, CheckComparesLocalAndCentralHeaders) {
  EXPECT_TRUE(only(makeRawZip({deflatedEntry("a", toData("same"))}))->check());
  RawEntry renamed = storedEntry("a", toData("x"));
  renamed.localName = "b";
  EXPECT_EQ(zipCode(only(makeRawZip({renamed}))->check()), 3);
  RawEntry descriptor = storedEntry("a", toData("x"));
  descriptor.dataDescriptor = true;
  EXPECT_TRUE(only(makeRawZip({descriptor}))->check());
  descriptor.descriptorSignature = false;
  EXPECT_TRUE(only(makeRawZip({descriptor}))->check());
}

TEST(ZZOldArchiveEntry, DataProviderRewindsToTheStart) {
  Data big = randomData(5000, 4);
  auto entry = only(makeRawZip({deflatedEntry("a", big)}));
  auto provider = *entry->newDataProvider();
  Data first(100);
  EXPECT_EQ(provider->getBytes(first.data(), 100), 100u);
  EXPECT_EQ(provider->skipForward(4000), 4000u);
  Data rest(2000);
  EXPECT_EQ(provider->getBytes(rest.data(), 2000), 900u);
  EXPECT_EQ(provider->skipForward(0), 0u);
  provider->rewind();
  Data again(100);
  EXPECT_EQ(provider->getBytes(again.data(), 100), 100u);
  EXPECT_EQ(again, first);
  EXPECT_EQ(Data(big.begin(), big.begin() + 100), first);
}

TEST(ZZOldArchiveEntry, AFileTruncatedWhileOpenGivesErrors) {
  auto dir = testenv::freshFolder("entry");
  Data zip = makeRawZip({storedEntry("a", randomData(100000, 1)), deflatedEntry("b", randomData(100000, 2))});
  std::ofstream(dir / "t.zip", std::ios::binary).write(reinterpret_cast<const char*>(zip.data()), zip.size());
  auto archive = *ZZArchive::archiveWithURL(dir / "t.zip");
  std::filesystem::resize_file(dir / "t.zip", 1000);
  EXPECT_TRUE(archive->entries()[0]->newData().error().underlying);
  EXPECT_EQ(zipCode(archive->entries()[0]->newData()), 14);
  EXPECT_EQ(zipCode(archive->entries()[1]->newData()), 3);
  EXPECT_FALSE(readAll(*archive));
}

TEST(ZZOldArchiveEntry, NamesFollowTheirEncoding) {
  RawEntry cp437 = storedEntry("caf\x82", toData("x"));
  EXPECT_EQ(only(makeRawZip({cp437}))->fileName(), "café");
  RawEntry utf8 = storedEntry("café", toData("x"));
  utf8.flags = 0x800;
  auto entry = only(makeRawZip({utf8}));
  EXPECT_EQ(entry->encoding(), ZZFileNameEncoding::utf8);
  EXPECT_EQ(entry->fileName(), "café");
  EXPECT_EQ(entry->fileNameWithEncoding(ZZFileNameEncoding::codePage437), "caf├⌐");
  RawEntry invalid = storedEntry("caf\x82", toData("x"));
  invalid.flags = 0x800;
  EXPECT_EQ(only(makeRawZip({invalid}))->fileName(), std::nullopt);
}

TEST(ZZOldArchiveEntry, FileSystemNamesKeepTheBytesAUnixHostWrote) {
  struct Case {
    const char* what;
    std::string name;
    std::uint16_t flags;
    std::uint8_t host;
    std::optional<std::string> fileSystemName;
  } cases[] = {
      {"unix, no flag, not UTF-8", "caf\xe9.js", 0, 3, std::string("caf\xe9.js")},
      {"unix, no flag, ASCII", "cafe.js", 0, 3, std::string("cafe.js")},
      {"dos, no flag, not UTF-8", "caf\x82", 0, 0, std::string("caf\u00e9")},
      {"unix, flagged UTF-8", "caf\u00e9", 0x800, 3, std::string("caf\u00e9")},
      {"unix, flagged but not UTF-8", "caf\xe9", 0x800, 3, std::nullopt},
  };
  for (const auto& c : cases) {
    RawEntry raw = storedEntry(c.name, toData("x"));
    raw.flags = c.flags;
    raw.host = c.host;
    EXPECT_EQ(only(makeRawZip({raw}))->fileSystemName(), c.fileSystemName) << c.what;
  }
}

}  // namespace
