#pragma once
// The records of a single-disk zip archive without Zip64 (all fields little-endian, no padding).
// Records are parsed from untrusted bytes into values through ZZByteReader and written by
// appending to byte buffers; nothing is read through a pointer cast.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "ZZByteReader.h"
#include "platform/Data.h"

enum class ZZGeneralPurposeBitFlag : std::uint16_t {
  none = 0,
  encrypted = 0x0001,
  maximumCompression = 0x0002,
  fastCompression = 0x0004,
  superFastCompression = 0x0006,
  sizeInDataDescriptor = 0x0008,
  strongEncryption = 0x0040,
  fileNameUTF8Encoded = 0x0800,
};

constexpr ZZGeneralPurposeBitFlag operator|(ZZGeneralPurposeBitFlag a, ZZGeneralPurposeBitFlag b) {
  return static_cast<ZZGeneralPurposeBitFlag>(static_cast<std::uint16_t>(static_cast<std::uint16_t>(a) |
                                                                          static_cast<std::uint16_t>(b)));
}
constexpr ZZGeneralPurposeBitFlag operator&(ZZGeneralPurposeBitFlag a, ZZGeneralPurposeBitFlag b) {
  return static_cast<ZZGeneralPurposeBitFlag>(static_cast<std::uint16_t>(static_cast<std::uint16_t>(a) &
                                                                          static_cast<std::uint16_t>(b)));
}
constexpr bool zzHasFlag(ZZGeneralPurposeBitFlag flags, ZZGeneralPurposeBitFlag f) {
  return (flags & f) != ZZGeneralPurposeBitFlag::none;
}

enum class ZZCompressionMethod : std::uint16_t { stored = 0, deflated = 8 };

enum class ZZFileAttributeCompatibility : std::uint8_t { msdos = 0, unixSystem = 3, ntfs = 10 };

inline constexpr std::uint8_t ZZMsdosReadOnlyAttribute = 0x01;
inline constexpr std::uint8_t ZZMsdosVolumeLabelAttribute = 0x08;
inline constexpr std::uint8_t ZZMsdosDirectoryAttribute = 0x10;

// Encryption of an entry as its flags and extra fields declare it.
enum class ZZEncryptionMode { none = 0, standard = 1, strong = 2, winZipAES = 3 };

enum class ZZAESEncryptionStrength : std::uint8_t { aes128 = 1, aes192 = 2, aes256 = 3 };

struct ZZExtraField {
  std::uint16_t headerID = 0;
  std::span<const std::uint8_t> data;

  // The first field with `headerID` in an extra area. The walk stops at a field whose
  // 4 + data size does not fit in what is left of the area.
  static std::optional<ZZExtraField> find(std::span<const std::uint8_t> extra, std::uint16_t headerID);
};

struct ZZWinZipAESExtraField {
  static constexpr std::uint16_t headerID = 0x9901;
  static constexpr std::size_t dataSize = 7;
  std::uint16_t version = 0;  // 1: AE-1 (CRC-32 kept), 2: AE-2 (CRC-32 is 0)
  std::uint16_t vendorID = 0;
  ZZAESEncryptionStrength encryptionStrength = ZZAESEncryptionStrength::aes128;
  std::uint16_t compressionMethod = 0;

  // None unless the field is there with all of its 7 bytes and a known strength.
  static std::optional<ZZWinZipAESExtraField> find(std::span<const std::uint8_t> extra);
  static std::size_t saltLength(ZZAESEncryptionStrength s);
  static std::size_t keyLength(ZZAESEncryptionStrength s);
};

struct ZZLocalFileHeader {
  static constexpr std::uint32_t signatureValue = 0x04034b50;
  static constexpr std::size_t fixedSize = 30;

  std::uint32_t signature = signatureValue;
  std::uint16_t versionNeededToExtract = 0;
  ZZGeneralPurposeBitFlag generalPurposeBitFlag = ZZGeneralPurposeBitFlag::none;
  std::uint16_t compressionMethod = 0;
  std::uint16_t lastModFileTime = 0;
  std::uint16_t lastModFileDate = 0;
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint16_t fileNameLength = 0;
  std::uint16_t extraFieldLength = 0;

  // Reads the fixed 30 bytes; the name and extra fields follow and are read separately.
  static ZZLocalFileHeader read(ZZByteReader& r);
  void appendTo(Data& out) const;
  std::uint64_t variableLength() const { return std::uint64_t(fileNameLength) + extraFieldLength; }
};

struct ZZCentralFileHeader {
  static constexpr std::uint32_t signatureValue = 0x02014b50;
  static constexpr std::size_t fixedSize = 46;
  static constexpr std::size_t localHeaderOffsetPosition = 42;

  std::uint32_t signature = signatureValue;
  std::uint8_t versionMadeBy = 0;
  ZZFileAttributeCompatibility fileAttributeCompatibility = ZZFileAttributeCompatibility::msdos;
  std::uint16_t versionNeededToExtract = 0;
  ZZGeneralPurposeBitFlag generalPurposeBitFlag = ZZGeneralPurposeBitFlag::none;
  std::uint16_t compressionMethod = 0;
  std::uint16_t lastModFileTime = 0;
  std::uint16_t lastModFileDate = 0;
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint16_t fileNameLength = 0;
  std::uint16_t extraFieldLength = 0;
  std::uint16_t fileCommentLength = 0;
  std::uint16_t diskNumberStart = 0;
  std::uint16_t internalFileAttributes = 0;
  std::uint32_t externalFileAttributes = 0;
  std::uint32_t relativeOffsetOfLocalHeader = 0;

  static ZZCentralFileHeader read(ZZByteReader& r);
  void appendTo(Data& out) const;
  std::uint64_t totalLength() const {
    return fixedSize + std::uint64_t(fileNameLength) + extraFieldLength + fileCommentLength;
  }
};

struct ZZDataDescriptor {
  static constexpr std::uint32_t signatureValue = 0x08074b50;
  static constexpr std::size_t size = 16;
  static constexpr std::size_t sizeWithoutSignature = 12;

  std::uint32_t signature = signatureValue;
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;

  void appendTo(Data& out) const;
};

struct ZZEndOfCentralDirectoryRecord {
  static constexpr std::uint32_t signatureValue = 0x06054b50;
  static constexpr std::size_t fixedSize = 22;
  static constexpr std::size_t maximumCommentLength = 65535;

  std::uint32_t signature = signatureValue;
  std::uint16_t numberOfThisDisk = 0;
  std::uint16_t numberOfTheDiskWithTheStartOfTheCentralDirectory = 0;
  std::uint16_t totalNumberOfEntriesInTheCentralDirectoryOnThisDisk = 0;
  std::uint16_t totalNumberOfEntriesInTheCentralDirectory = 0;
  std::uint32_t sizeOfTheCentralDirectory = 0;
  std::uint32_t offsetOfStartOfCentralDirectory = 0;
  std::uint16_t zipFileCommentLength = 0;

  static ZZEndOfCentralDirectoryRecord read(ZZByteReader& r);
  void appendTo(Data& out) const;
};

// The format's limits without Zip64.
inline constexpr std::uint64_t ZZMaximumOffset = 0xFFFFFFFFu;
inline constexpr std::size_t ZZMaximumEntryCount = 0xFFFF;
inline constexpr std::size_t ZZMaximumFileNameLength = 0xFFFF;

// The encryption an entry declares through its flags and extra fields.
ZZEncryptionMode zzEncryptionMode(ZZGeneralPurposeBitFlag flags, std::span<const std::uint8_t> extraField);
