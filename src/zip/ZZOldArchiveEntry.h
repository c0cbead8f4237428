#pragma once
// An entry of a loaded archive. It keeps its central header and the archive's input; the local
// header and the data are read on demand, every length checked against the bytes that hold
// the entries (everything before the central directory).

#include "ZZArchiveEntry.h"
#include "ZZChannel.h"
#include "ZZError.h"
#include "ZZHeaders.h"

class ZZOldArchiveEntry : public ZZArchiveEntry {
 public:
  // `rawCentralHeader` holds the header with its name, extra fields and comment.
  ZZOldArchiveEntry(std::shared_ptr<const ZZChannelInput> input, std::size_t index, const ZZCentralFileHeader& header,
                    Data rawCentralHeader, std::uint64_t centralDirectoryOffset);

  std::size_t index() const { return index_; }
  ZZEncryptionMode encryptionMode() const { return encryptionMode_; }

  std::uint16_t compressionMethod() const override;
  bool compressed() const override { return compressionMethod() != 0; }
  bool encrypted() const override { return zzHasFlag(central_.generalPurposeBitFlag, ZZGeneralPurposeBitFlag::encrypted); }
  std::chrono::system_clock::time_point lastModified() const override;
  std::uint32_t crc32() const override { return central_.crc32; }
  std::uint32_t compressedSize() const override { return central_.compressedSize; }
  std::uint32_t uncompressedSize() const override { return central_.uncompressedSize; }
  std::uint16_t fileMode() const override;
  Data rawFileName() const override;
  ZZFileNameEncoding encoding() const override;
  std::optional<std::string> fileSystemName() const override;

  Result<std::unique_ptr<ZZInputStream>> newStream(std::string_view password = {}) const override;
  Result<Data> newData(std::string_view password = {}) const override;
  Result<std::unique_ptr<ZZDataProvider>> newDataProvider(std::string_view password = {}) const override;
  Result<void> check() const override;
  Result<std::unique_ptr<ZZArchiveEntryWriter>> newWriterCanSkipLocalFile(bool canSkipLocalFile) const override;

 private:
  struct LocalFile {
    std::uint64_t offset = 0;
    ZZLocalFileHeader header;
    Data fileName;
    Data extraField;
    std::uint64_t dataOffset = 0;
    std::uint64_t dataLength = 0;
    ZZDataDescriptor descriptor;        // when the local flags say the sizes follow the data
    std::uint64_t descriptorLength = 0;  // 16, or 12 for a descriptor written without its signature
    std::uint64_t length() const { return dataOffset - offset + dataLength + descriptorLength; }
  };
  // Where the bytes to decrypt or inflate are, and how to treat them.
  struct Source {
    std::uint64_t dataOffset = 0;
    std::uint64_t dataLength = 0;
    Data encryptionHeader;
    std::optional<ZZWinZipAESExtraField> aes;  // from the local header
  };

  std::span<const std::uint8_t> centralExtraField() const;
  Result<LocalFile> localFile() const;
  Result<Source> source() const;
  Result<std::unique_ptr<ZZInputStream>> makeStream(const Source& source, std::string_view password) const;
  std::optional<std::uint32_t> expectedCrc32() const;
  Error entryError(ZZErrorCode code, std::string message) const;

  std::shared_ptr<const ZZChannelInput> input_;
  std::size_t index_;
  ZZCentralFileHeader central_;
  Data rawCentralHeader_;
  std::uint64_t centralDirectoryOffset_;
  ZZEncryptionMode encryptionMode_;
};
