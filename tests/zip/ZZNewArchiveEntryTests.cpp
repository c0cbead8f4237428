#include "zip/ZZNewArchiveEntry.h"

#include <gtest/gtest.h>

#include "ZipTestSupport.h"
#include "zip/ZZByteReader.h"
#include "zip/ZZHeaders.h"

using namespace ziptest;

namespace {

struct Written {
  Data bytes;
  ZZCentralFileHeader central;
  ZZLocalFileHeader local;
};

Written write(const std::shared_ptr<ZZArchiveEntry>& entry) {
  auto data = std::make_shared<Data>();
  auto archive = *ZZArchive::archiveWithData(data, {{ZZOpenOptionsCreateIfMissingKey, true}});
  auto r = archive->updateEntries({entry});
  if (!r) throw std::runtime_error(r.error().description());
  Written w{*data, {}, {}};
  ZZByteReader local(w.bytes);
  w.local = ZZLocalFileHeader::read(local);
  std::uint32_t cd = zzGetU32(w.bytes.data() + w.bytes.size() - 6);
  ZZByteReader central(std::span<const std::uint8_t>(w.bytes).subspan(cd));
  w.central = ZZCentralFileHeader::read(central);
  return w;
}

std::uint16_t flags(const ZZCentralFileHeader& h) { return static_cast<std::uint16_t>(h.generalPurposeBitFlag); }

TEST(ZZNewArchiveEntry, FlagsAndMethodFollowTheCompressionLevel) {
  auto now = std::chrono::system_clock::now();
  auto dataBlock = [] { return Result<Data>(toData("content")); };
  struct Case {
    int level;
    std::uint16_t flags;
    std::uint16_t method;
  } cases[] = {{0, 0x0808, 0}, {-1, 0x0808, 8}, {9, 0x080a, 8}, {1, 0x080e, 8}, {3, 0x080c, 8}, {6, 0x0808, 8}};
  for (const auto& c : cases) {
    auto w = write(ZZArchiveEntry::archiveEntryWithFileName("f", 0100600, now, c.level, dataBlock, nullptr, nullptr));
    EXPECT_EQ(flags(w.central), c.flags) << c.level;
    EXPECT_EQ(static_cast<std::uint16_t>(w.local.generalPurposeBitFlag), c.flags);
    EXPECT_EQ(w.central.compressionMethod, c.method);
    EXPECT_EQ(w.central.uncompressedSize, 7u);
    EXPECT_EQ(w.central.crc32, crc32Of(toData("content")));
    EXPECT_EQ(w.central.externalFileAttributes, 0100600u << 16);
    EXPECT_EQ(w.central.versionMadeBy, 30);
    // Readers take CRC and sizes from the central header or the descriptor.
    EXPECT_EQ(w.local.crc32, 0u);
    EXPECT_EQ(w.local.compressedSize, 0u);
  }
  auto stored = write(ZZArchiveEntry::archiveEntryWithFileName("f", false, dataBlock));
  EXPECT_EQ(stored.central.compressedSize, stored.central.uncompressedSize);
  std::size_t descriptor = ZZLocalFileHeader::fixedSize + 1 + 7;
  EXPECT_EQ(zzGetU32(stored.bytes.data() + descriptor), ZZDataDescriptor::signatureValue);
  EXPECT_EQ(zzGetU32(stored.bytes.data() + descriptor + 8), 7u);
  EXPECT_EQ(zzGetU32(stored.bytes.data() + descriptor + 12), 7u);
}

TEST(ZZNewArchiveEntry, AFolderHasNoDataAndNoDescriptor) {
  auto w = write(ZZArchiveEntry::archiveEntryWithDirectoryName("dir/"));
  EXPECT_EQ(flags(w.central), 0x0800);
  EXPECT_EQ(w.central.compressionMethod, 0);
  EXPECT_EQ(w.central.compressedSize, 0u);
  EXPECT_EQ(w.central.externalFileAttributes >> 16, 040755u);
  EXPECT_EQ(w.central.relativeOffsetOfLocalHeader, 0u);
  EXPECT_EQ(zzGetU32(w.bytes.data() + w.bytes.size() - 6), ZZLocalFileHeader::fixedSize + 4);
}

TEST(ZZNewArchiveEntry, EverySourceOfBytesReadsBack) {
  Data big = randomData(200000, 8);
  auto streamEntry = ZZArchiveEntry::archiveEntryWithFileName("stream", true, [&](ZZOutputStream& s) -> Result<void> {
    s.open();
    for (std::size_t i = 0; i < big.size(); i += 4096)
      if (s.write(big.data() + i, std::min<std::size_t>(4096, big.size() - i)) < 0) return fail(*s.streamError());
    s.close();
    return {};
  });
  auto consumerEntry = ZZArchiveEntry::archiveEntryWithFileName("consumer", false, [&](ZZDataConsumer& c) -> Result<void> {
    if (c.putBytes(big.data(), big.size()) != big.size()) return fail(Error("test", 1));
    return {};
  });
  auto data = std::make_shared<Data>();
  auto archive = *ZZArchive::archiveWithData(data, {{ZZOpenOptionsCreateIfMissingKey, true}});
  ASSERT_TRUE(archive->updateEntries({streamEntry, consumerEntry}));
  ASSERT_EQ(archive->entries().size(), 2u);
  for (const auto& entry : archive->entries()) {
    EXPECT_EQ(*entry->newData(), big);
    EXPECT_TRUE(entry->check());
  }
  EXPECT_EQ(archive->entries()[0]->compressionMethod(), 8);
  EXPECT_EQ(archive->entries()[1]->compressionMethod(), 0);
}

TEST(ZZNewArchiveEntry, HasNoContentBeforeItIsWritten) {
  auto entry = ZZArchiveEntry::archiveEntryWithFileName("n", true, [] { return Result<Data>(Data{}); });
  EXPECT_EQ(entry->fileName(), "n");
  EXPECT_TRUE(entry->compressed());
  EXPECT_EQ(entry->uncompressedSize(), 0u);
  EXPECT_FALSE(entry->newData());
  EXPECT_FALSE(entry->newStream());
  EXPECT_FALSE(entry->check());
}

}  // namespace
