#include "ZZHeaders.h"

std::optional<ZZExtraField> ZZExtraField::find(std::span<const std::uint8_t> extra, std::uint16_t headerID) {
  ZZByteReader r(extra);
  while (r.remaining() >= 4) {
    std::uint16_t id = r.u16();
    std::uint16_t size = r.u16();
    auto data = r.bytes(size);
    if (!r.ok()) return std::nullopt;
    if (id == headerID) return ZZExtraField{id, data};
  }
  return std::nullopt;
}

std::optional<ZZWinZipAESExtraField> ZZWinZipAESExtraField::find(std::span<const std::uint8_t> extra) {
  auto field = ZZExtraField::find(extra, headerID);
  if (!field || field->data.size() < dataSize) return std::nullopt;
  ZZByteReader r(field->data);
  ZZWinZipAESExtraField f;
  f.version = r.u16();
  f.vendorID = r.u16();
  std::uint8_t strength = r.u8();
  f.compressionMethod = r.u16();
  if (strength < 1 || strength > 3) return std::nullopt;
  f.encryptionStrength = static_cast<ZZAESEncryptionStrength>(strength);
  return f;
}

std::size_t ZZWinZipAESExtraField::saltLength(ZZAESEncryptionStrength s) {
  return 4 + 4 * static_cast<std::size_t>(s);  // 8, 12, 16
}

std::size_t ZZWinZipAESExtraField::keyLength(ZZAESEncryptionStrength s) {
  return 8 + 8 * static_cast<std::size_t>(s);  // 16, 24, 32
}

ZZLocalFileHeader ZZLocalFileHeader::read(ZZByteReader& r) {
  ZZLocalFileHeader h;
  h.signature = r.u32();
  h.versionNeededToExtract = r.u16();
  h.generalPurposeBitFlag = static_cast<ZZGeneralPurposeBitFlag>(r.u16());
  h.compressionMethod = r.u16();
  h.lastModFileTime = r.u16();
  h.lastModFileDate = r.u16();
  h.crc32 = r.u32();
  h.compressedSize = r.u32();
  h.uncompressedSize = r.u32();
  h.fileNameLength = r.u16();
  h.extraFieldLength = r.u16();
  return h;
}

void ZZLocalFileHeader::appendTo(Data& out) const {
  ZZByteWriter w(out);
  w.u32(signature);
  w.u16(versionNeededToExtract);
  w.u16(static_cast<std::uint16_t>(generalPurposeBitFlag));
  w.u16(compressionMethod);
  w.u16(lastModFileTime);
  w.u16(lastModFileDate);
  w.u32(crc32);
  w.u32(compressedSize);
  w.u32(uncompressedSize);
  w.u16(fileNameLength);
  w.u16(extraFieldLength);
}

ZZCentralFileHeader ZZCentralFileHeader::read(ZZByteReader& r) {
  ZZCentralFileHeader h;
  h.signature = r.u32();
  h.versionMadeBy = r.u8();
  h.fileAttributeCompatibility = static_cast<ZZFileAttributeCompatibility>(r.u8());
  h.versionNeededToExtract = r.u16();
  h.generalPurposeBitFlag = static_cast<ZZGeneralPurposeBitFlag>(r.u16());
  h.compressionMethod = r.u16();
  h.lastModFileTime = r.u16();
  h.lastModFileDate = r.u16();
  h.crc32 = r.u32();
  h.compressedSize = r.u32();
  h.uncompressedSize = r.u32();
  h.fileNameLength = r.u16();
  h.extraFieldLength = r.u16();
  h.fileCommentLength = r.u16();
  h.diskNumberStart = r.u16();
  h.internalFileAttributes = r.u16();
  h.externalFileAttributes = r.u32();
  h.relativeOffsetOfLocalHeader = r.u32();
  return h;
}

void ZZCentralFileHeader::appendTo(Data& out) const {
  ZZByteWriter w(out);
  w.u32(signature);
  w.u8(versionMadeBy);
  w.u8(static_cast<std::uint8_t>(fileAttributeCompatibility));
  w.u16(versionNeededToExtract);
  w.u16(static_cast<std::uint16_t>(generalPurposeBitFlag));
  w.u16(compressionMethod);
  w.u16(lastModFileTime);
  w.u16(lastModFileDate);
  w.u32(crc32);
  w.u32(compressedSize);
  w.u32(uncompressedSize);
  w.u16(fileNameLength);
  w.u16(extraFieldLength);
  w.u16(fileCommentLength);
  w.u16(diskNumberStart);
  w.u16(internalFileAttributes);
  w.u32(externalFileAttributes);
  w.u32(relativeOffsetOfLocalHeader);
}

void ZZDataDescriptor::appendTo(Data& out) const {
  ZZByteWriter w(out);
  w.u32(signature);
  w.u32(crc32);
  w.u32(compressedSize);
  w.u32(uncompressedSize);
}

ZZEndOfCentralDirectoryRecord ZZEndOfCentralDirectoryRecord::read(ZZByteReader& r) {
  ZZEndOfCentralDirectoryRecord e;
  e.signature = r.u32();
  e.numberOfThisDisk = r.u16();
  e.numberOfTheDiskWithTheStartOfTheCentralDirectory = r.u16();
  e.totalNumberOfEntriesInTheCentralDirectoryOnThisDisk = r.u16();
  e.totalNumberOfEntriesInTheCentralDirectory = r.u16();
  e.sizeOfTheCentralDirectory = r.u32();
  e.offsetOfStartOfCentralDirectory = r.u32();
  e.zipFileCommentLength = r.u16();
  return e;
}

void ZZEndOfCentralDirectoryRecord::appendTo(Data& out) const {
  ZZByteWriter w(out);
  w.u32(signature);
  w.u16(numberOfThisDisk);
  w.u16(numberOfTheDiskWithTheStartOfTheCentralDirectory);
  w.u16(totalNumberOfEntriesInTheCentralDirectoryOnThisDisk);
  w.u16(totalNumberOfEntriesInTheCentralDirectory);
  w.u32(sizeOfTheCentralDirectory);
  w.u32(offsetOfStartOfCentralDirectory);
  w.u16(zipFileCommentLength);
}

ZZEncryptionMode zzEncryptionMode(ZZGeneralPurposeBitFlag flags, std::span<const std::uint8_t> extraField) {
  if (!zzHasFlag(flags, ZZGeneralPurposeBitFlag::encrypted)) return ZZEncryptionMode::none;
  if (ZZExtraField::find(extraField, ZZWinZipAESExtraField::headerID)) return ZZEncryptionMode::winZipAES;
  if (zzHasFlag(flags, ZZGeneralPurposeBitFlag::strongEncryption)) return ZZEncryptionMode::strong;
  return ZZEncryptionMode::standard;
}
