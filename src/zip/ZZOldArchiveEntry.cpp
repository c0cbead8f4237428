#include "ZZOldArchiveEntry.h"

#include <algorithm>

#include "ZZAESDecryptInputStream.h"
#include "ZZAttributes.h"
#include "ZZChannelInputStream.h"
#include "ZZError.h"
#include "ZZFileName.h"
#include "ZZInflateInputStream.h"
#include "ZZOldArchiveEntryWriter.h"
#include "ZZStandardDecryptInputStream.h"
#include "ZZVerifyingInputStream.h"

namespace {

// Deflate cannot expand data by more than this factor; a larger declared size is a lie that
// must not turn into an allocation.
constexpr std::uint64_t kMaximumDeflateRatio = 1032;

}  // namespace

ZZOldArchiveEntry::ZZOldArchiveEntry(std::shared_ptr<const ZZChannelInput> input, std::size_t index,
                                     const ZZCentralFileHeader& header, Data rawCentralHeader,
                                     std::uint64_t centralDirectoryOffset)
    : input_(std::move(input)),
      index_(index),
      central_(header),
      rawCentralHeader_(std::move(rawCentralHeader)),
      centralDirectoryOffset_(centralDirectoryOffset),
      encryptionMode_(zzEncryptionMode(header.generalPurposeBitFlag, centralExtraField())) {}

std::span<const std::uint8_t> ZZOldArchiveEntry::centralExtraField() const {
  return std::span(rawCentralHeader_).subspan(ZZCentralFileHeader::fixedSize + central_.fileNameLength,
                                              central_.extraFieldLength);
}

Data ZZOldArchiveEntry::rawFileName() const {
  auto name = std::span(rawCentralHeader_).subspan(ZZCentralFileHeader::fixedSize, central_.fileNameLength);
  return Data(name.begin(), name.end());
}

std::uint16_t ZZOldArchiveEntry::compressionMethod() const {
  if (encryptionMode_ == ZZEncryptionMode::winZipAES) {
    if (auto aes = ZZWinZipAESExtraField::find(centralExtraField())) return aes->compressionMethod;
  }
  return central_.compressionMethod;
}

std::chrono::system_clock::time_point ZZOldArchiveEntry::lastModified() const {
  return zzDateFromDosDateTime(central_.lastModFileTime, central_.lastModFileDate);
}

std::uint16_t ZZOldArchiveEntry::fileMode() const {
  return zzFileModeFromAttributes(central_.fileAttributeCompatibility, central_.externalFileAttributes);
}

ZZFileNameEncoding ZZOldArchiveEntry::encoding() const {
  return zzHasFlag(central_.generalPurposeBitFlag, ZZGeneralPurposeBitFlag::fileNameUTF8Encoded)
             ? ZZFileNameEncoding::utf8
             : ZZFileNameEncoding::codePage437;
}

std::optional<std::string> ZZOldArchiveEntry::fileSystemName() const {
  // Such a name is a Unix file's own bytes, as a Unix tool restores it.
  if (encoding() != ZZFileNameEncoding::utf8 &&
      central_.fileAttributeCompatibility == ZZFileAttributeCompatibility::unixSystem) {
    Data raw = rawFileName();
    if (!zzIsValidUTF8(raw)) return std::string(raw.begin(), raw.end());
  }
  return fileName();
}

Error ZZOldArchiveEntry::entryError(ZZErrorCode code, std::string message) const {
  return zzEntryError(code, index_, std::move(message));
}

Result<ZZOldArchiveEntry::LocalFile> ZZOldArchiveEntry::localFile() const {
  // Local files lie before the central directory; so must every byte of this one.
  const std::uint64_t limit = std::min(centralDirectoryOffset_, input_->size());
  LocalFile lf;
  lf.offset = central_.relativeOffsetOfLocalHeader;
  if (lf.offset > limit || ZZLocalFileHeader::fixedSize > limit - lf.offset)
    return fail(entryError(ZZErrorCode::localFileHeaderInvalid, "the local header lies outside the archive"));
  auto fixed = input_->readData(lf.offset, ZZLocalFileHeader::fixedSize);
  if (!fixed) {
    Error e = entryError(ZZErrorCode::localFileHeaderInvalid, "the local header could not be read");
    return fail(e.withUnderlying(fixed.error()));
  }
  ZZByteReader r(*fixed);
  lf.header = ZZLocalFileHeader::read(r);
  if (lf.header.signature != ZZLocalFileHeader::signatureValue)
    return fail(entryError(ZZErrorCode::localFileHeaderInvalid, "the local header's signature is wrong"));
  std::uint64_t variableStart = lf.offset + ZZLocalFileHeader::fixedSize;
  if (lf.header.variableLength() > limit - variableStart)
    return fail(entryError(ZZErrorCode::localFileHeaderInvalid, "the local header's name and extra fields overrun"));
  auto variable = input_->readData(variableStart, lf.header.variableLength());
  if (!variable) {
    Error e = entryError(ZZErrorCode::localFileHeaderInvalid, "the local header could not be read");
    return fail(e.withUnderlying(variable.error()));
  }
  lf.fileName.assign(variable->begin(), variable->begin() + lf.header.fileNameLength);
  // Every read goes through here: an entry whose local name differs from its central name
  // points at another entry's data.
  if (lf.fileName != rawFileName())
    return fail(entryError(ZZErrorCode::localFileHeaderInvalid, "the local header names another entry"));
  lf.extraField.assign(variable->begin() + lf.header.fileNameLength, variable->end());
  lf.dataOffset = variableStart + lf.header.variableLength();
  if (central_.compressedSize > limit - lf.dataOffset)
    return fail(entryError(ZZErrorCode::entryDataInvalid, "the entry's data runs past the end of the entries"));
  lf.dataLength = central_.compressedSize;

  if (zzHasFlag(lf.header.generalPurposeBitFlag, ZZGeneralPurposeBitFlag::sizeInDataDescriptor)) {
    std::uint64_t at = lf.dataOffset + lf.dataLength;
    std::uint64_t available = std::min<std::uint64_t>(limit - at, ZZDataDescriptor::size);
    if (available < ZZDataDescriptor::sizeWithoutSignature)
      return fail(entryError(ZZErrorCode::localFileHeaderInvalid, "the entry's data descriptor is missing"));
    auto bytes = input_->readData(at, available);
    if (!bytes) {
      Error e = entryError(ZZErrorCode::localFileHeaderInvalid, "the data descriptor could not be read");
      return fail(e.withUnderlying(bytes.error()));
    }
    auto parse = [&](std::size_t from, bool withSignature) {
      ZZByteReader d(std::span<const std::uint8_t>(*bytes).subspan(from));
      ZZDataDescriptor dd;
      dd.signature = withSignature ? d.u32() : ZZDataDescriptor::signatureValue;
      dd.crc32 = d.u32();
      dd.compressedSize = d.u32();
      dd.uncompressedSize = d.u32();
      return std::pair(dd, d.ok());
    };
    auto matches = [&](const ZZDataDescriptor& dd) {
      return dd.crc32 == central_.crc32 && dd.compressedSize == central_.compressedSize &&
             dd.uncompressedSize == central_.uncompressedSize;
    };
    // The signature is optional; the values that follow tell which form this is.
    auto [signed16, signedOk] = parse(0, true);
    auto [bare12, bareOk] = parse(0, false);
    bool hasSignature = signedOk && signed16.signature == ZZDataDescriptor::signatureValue;
    if (hasSignature && (matches(signed16) || !(bareOk && matches(bare12)))) {
      lf.descriptor = signed16;
      lf.descriptorLength = ZZDataDescriptor::size;
    } else {
      lf.descriptor = bare12;
      lf.descriptorLength = ZZDataDescriptor::sizeWithoutSignature;
    }
  } else {
    lf.descriptor.crc32 = lf.header.crc32;
    lf.descriptor.compressedSize = lf.header.compressedSize;
    lf.descriptor.uncompressedSize = lf.header.uncompressedSize;
  }
  return lf;
}

Result<ZZOldArchiveEntry::Source> ZZOldArchiveEntry::source() const {
  if (encryptionMode_ == ZZEncryptionMode::strong)
    return fail(zzError(ZZErrorCode::unsupportedEncryption, "strong encryption is not supported"));
  if (encryptionMode_ == ZZEncryptionMode::winZipAES && !ZZWinZipAESExtraField::find(centralExtraField()))
    return fail(zzError(ZZErrorCode::unsupportedEncryption, "the entry's AES extra field is malformed"));
  std::uint16_t method = compressionMethod();
  if (method != static_cast<std::uint16_t>(ZZCompressionMethod::stored) &&
      method != static_cast<std::uint16_t>(ZZCompressionMethod::deflated))
    return fail(zzError(ZZErrorCode::unsupportedCompressionMethod, "the compression method is not supported"));

  auto lf = localFile();
  if (!lf) return fail(lf.error());
  Source s;
  s.dataOffset = lf->dataOffset;
  s.dataLength = central_.compressedSize;
  std::uint64_t headerLength = 0;
  std::uint64_t overhead = 0;
  if (encryptionMode_ == ZZEncryptionMode::standard) {
    headerLength = overhead = ZZStandardDecryptInputStream::headerLength;
  } else if (encryptionMode_ == ZZEncryptionMode::winZipAES) {
    s.aes = ZZWinZipAESExtraField::find(lf->extraField);
    if (!s.aes) return fail(zzError(ZZErrorCode::unsupportedEncryption, "the local header has no AES extra field"));
    headerLength = ZZWinZipAESExtraField::saltLength(s.aes->encryptionStrength) + ZZAESDecryptInputStream::verifierLength;
    overhead = headerLength + ZZAESDecryptInputStream::authenticationCodeLength;
  }
  if (s.dataLength < overhead)
    return fail(entryError(ZZErrorCode::entryDataInvalid, "the entry is too short for its encryption header"));
  if (headerLength > 0) {
    auto header = input_->readData(s.dataOffset, headerLength);
    if (!header) {
      Error e = entryError(ZZErrorCode::entryDataInvalid, "the encryption header could not be read");
      return fail(e.withUnderlying(header.error()));
    }
    s.encryptionHeader = std::move(*header);
  }
  s.dataOffset += headerLength;
  s.dataLength -= overhead;

  if (method == static_cast<std::uint16_t>(ZZCompressionMethod::stored) ? central_.uncompressedSize != s.dataLength
                                                                         : central_.uncompressedSize > s.dataLength * kMaximumDeflateRatio)
    return fail(entryError(ZZErrorCode::entryDataInvalid, "the entry's sizes disagree"));
  return s;
}

std::optional<std::uint32_t> ZZOldArchiveEntry::expectedCrc32() const {
  // AE-2 leaves the CRC-32 out (0) by design; the data is authenticated instead.
  if (encryptionMode_ == ZZEncryptionMode::winZipAES) {
    auto aes = ZZWinZipAESExtraField::find(centralExtraField());
    if (aes && aes->version == 2) return std::nullopt;
  }
  return central_.crc32;
}

Result<std::unique_ptr<ZZInputStream>> ZZOldArchiveEntry::makeStream(const Source& s, std::string_view password) const {
  std::unique_ptr<ZZInputStream> stream = std::make_unique<ZZChannelInputStream>(input_, s.dataOffset, s.dataLength);
  if (encryptionMode_ == ZZEncryptionMode::standard) {
    bool sizesFollow = zzHasFlag(central_.generalPurposeBitFlag, ZZGeneralPurposeBitFlag::sizeInDataDescriptor);
    auto check = static_cast<std::uint16_t>(sizesFollow ? central_.lastModFileTime : central_.crc32 >> 16);
    auto decrypt = ZZStandardDecryptInputStream::create(std::move(stream), password, s.encryptionHeader, check,
                                                        central_.versionMadeBy);
    if (!decrypt) return fail(decrypt.error());
    stream = std::move(*decrypt);
  } else if (encryptionMode_ == ZZEncryptionMode::winZipAES) {
    auto decrypt = ZZAESDecryptInputStream::create(std::move(stream), password, s.encryptionHeader,
                                                   s.aes->encryptionStrength);
    if (!decrypt) return fail(decrypt.error());
    stream = std::move(*decrypt);
  }
  if (compressionMethod() == static_cast<std::uint16_t>(ZZCompressionMethod::deflated))
    stream = std::make_unique<ZZInflateInputStream>(std::move(stream));
  return std::make_unique<ZZVerifyingInputStream>(std::move(stream), central_.uncompressedSize, expectedCrc32(), index_);
}

Result<std::unique_ptr<ZZInputStream>> ZZOldArchiveEntry::newStream(std::string_view password) const {
  auto s = source();
  if (!s) return fail(s.error());
  return makeStream(*s, password);
}

Result<Data> ZZOldArchiveEntry::newData(std::string_view password) const {
  auto s = source();
  if (!s) return fail(s.error());
  if (encryptionMode_ == ZZEncryptionMode::none) {
    auto raw = input_->readData(s->dataOffset, s->dataLength);
    if (!raw) {
      Error e = entryError(ZZErrorCode::entryDataInvalid, "the entry's data could not be read");
      return fail(e.withUnderlying(raw.error()));
    }
    Data out;
    if (compressionMethod() == static_cast<std::uint16_t>(ZZCompressionMethod::stored)) {
      out = std::move(*raw);
    } else {
      auto inflated = ZZInflateInputStream::decompressData(*raw, central_.uncompressedSize);
      if (!inflated) return fail(inflated.error().with(ZZEntryIndexKey, std::to_string(index_)));
      out = std::move(*inflated);
    }
    if (zzCrc32(0, out) != central_.crc32)
      return fail(entryError(ZZErrorCode::entryDataInvalid, "the entry's CRC-32 does not match its data"));
    return out;
  }
  auto stream = makeStream(*s, password);
  if (!stream) return fail(stream.error());
  ZZInputStream& in = **stream;
  in.open();
  // The buffer grows as data comes; the stream checks the length and CRC-32 at its end.
  Data out;
  std::uint8_t chunk[64 * 1024];
  for (;;) {
    std::ptrdiff_t n = in.read(chunk, sizeof chunk);
    if (n < 0) {
      Error e = in.streamError() ? *in.streamError() : entryError(ZZErrorCode::entryDataInvalid, "the entry could not be read");
      in.close();
      return fail(std::move(e));
    }
    if (n == 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  in.close();
  return out;
}

Result<std::unique_ptr<ZZDataProvider>> ZZOldArchiveEntry::newDataProvider(std::string_view password) const {
  auto s = source();
  if (!s) return fail(s.error());
  std::string pw(password);
  auto self = std::static_pointer_cast<const ZZOldArchiveEntry>(shared_from_this());
  Source src = *s;
  return std::make_unique<ZZDataProvider>([self, src, pw]() { return self->makeStream(src, pw); });
}

Result<void> ZZOldArchiveEntry::check() const {
  auto lf = localFile();
  if (!lf) return fail(zzError(ZZErrorCode::localFileHeaderInvalid, lf.error().message));
  const ZZLocalFileHeader& h = lf->header;
  ZZEncryptionMode localMode = zzEncryptionMode(h.generalPurposeBitFlag, lf->extraField);
  std::uint16_t localMethod = h.compressionMethod;
  if (localMode == ZZEncryptionMode::winZipAES) {
    if (auto aes = ZZWinZipAESExtraField::find(lf->extraField)) localMethod = aes->compressionMethod;
  }
  bool agrees = h.versionNeededToExtract == central_.versionNeededToExtract &&
                h.generalPurposeBitFlag == central_.generalPurposeBitFlag &&
                h.lastModFileDate == central_.lastModFileDate && h.lastModFileTime == central_.lastModFileTime &&
                h.fileNameLength == central_.fileNameLength && localMethod == compressionMethod() &&
                lf->fileName == rawFileName() && lf->descriptor.signature == ZZDataDescriptor::signatureValue &&
                lf->descriptor.crc32 == central_.crc32 && lf->descriptor.compressedSize == central_.compressedSize &&
                lf->descriptor.uncompressedSize == central_.uncompressedSize && localMode == encryptionMode_;
  if (!agrees) return fail(zzError(ZZErrorCode::localFileHeaderInvalid, "the local header disagrees with the central header"));
  return {};
}

Result<std::unique_ptr<ZZArchiveEntryWriter>> ZZOldArchiveEntry::newWriterCanSkipLocalFile(bool canSkipLocalFile) const {
  auto lf = localFile();
  if (!lf) return fail(lf.error());
  return std::make_unique<ZZOldArchiveEntryWriter>(input_, rawCentralHeader_, lf->offset, lf->length(),
                                                   canSkipLocalFile);
}
