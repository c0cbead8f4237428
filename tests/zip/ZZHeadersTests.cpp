#include "zip/ZZHeaders.h"

#include <gtest/gtest.h>

namespace {

TEST(ZZByteReader, AShortReadSticks) {
  std::vector<std::uint8_t> bytes = {1, 0, 2, 0, 0};
  ZZByteReader r(bytes);
  EXPECT_EQ(r.u16(), 1);
  EXPECT_EQ(r.u32(), 0u);  // only 3 bytes left
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.u8(), 0);
  EXPECT_FALSE(r.ok());
}

TEST(ZZExtraField, AFieldThatOverrunsTheAreaEndsTheWalk) {
  // A 4-byte field, then one claiming 200 bytes with the AES id.
  std::vector<std::uint8_t> extra = {0x55, 0x54, 4, 0, 1, 2, 3, 4, 0x01, 0x99, 200, 0, 1, 0};
  EXPECT_TRUE(ZZExtraField::find(extra, 0x5455));
  EXPECT_FALSE(ZZExtraField::find(extra, 0x9901));
  EXPECT_FALSE(ZZWinZipAESExtraField::find(extra));
}

TEST(ZZExtraField, TheAESFieldNeedsAllSevenBytesAndAKnownStrength) {
  std::vector<std::uint8_t> full = {0x01, 0x99, 7, 0, 2, 0, 'A', 'E', 3, 8, 0};
  auto aes = ZZWinZipAESExtraField::find(full);
  ASSERT_TRUE(aes);
  EXPECT_EQ(aes->version, 2);
  EXPECT_EQ(aes->encryptionStrength, ZZAESEncryptionStrength::aes256);
  EXPECT_EQ(aes->compressionMethod, 8);

  std::vector<std::uint8_t> shortField = {0x01, 0x99, 6, 0, 2, 0, 'A', 'E', 3, 8};
  EXPECT_FALSE(ZZWinZipAESExtraField::find(shortField));
  std::vector<std::uint8_t> badStrength = {0x01, 0x99, 7, 0, 2, 0, 'A', 'E', 4, 8, 0};
  EXPECT_FALSE(ZZWinZipAESExtraField::find(badStrength));
}

TEST(ZZHeaders, CentralHeaderRoundTrips) {
  ZZCentralFileHeader h;
  h.versionMadeBy = 30;
  h.fileAttributeCompatibility = ZZFileAttributeCompatibility::unixSystem;
  h.generalPurposeBitFlag = ZZGeneralPurposeBitFlag::fileNameUTF8Encoded | ZZGeneralPurposeBitFlag::sizeInDataDescriptor;
  h.crc32 = 0xdeadbeef;
  h.fileNameLength = 3;
  h.relativeOffsetOfLocalHeader = 0x01020304;
  Data bytes;
  h.appendTo(bytes);
  ASSERT_EQ(bytes.size(), ZZCentralFileHeader::fixedSize);
  EXPECT_EQ(zzGetU32(bytes.data() + ZZCentralFileHeader::localHeaderOffsetPosition), 0x01020304u);
  ZZByteReader r(bytes);
  auto back = ZZCentralFileHeader::read(r);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(static_cast<std::uint16_t>(back.generalPurposeBitFlag), 0x0808);
  EXPECT_EQ(back.crc32, 0xdeadbeefu);
  EXPECT_EQ(back.totalLength(), 49u);
}

}  // namespace
