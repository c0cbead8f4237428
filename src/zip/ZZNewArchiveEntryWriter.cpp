#include "ZZNewArchiveEntryWriter.h"

#include <cerrno>

#include "ZZAttributes.h"
#include "ZZDeflateOutputStream.h"
#include "ZZError.h"
#include "ZZFileName.h"
#include "ZZStoreOutputStream.h"

namespace {

constexpr std::uint8_t kVersionMadeBy = 30;
constexpr std::uint16_t kVersionNeededToExtract = 10;

ZZGeneralPurposeBitFlag deflateOption(int level) {
  switch (level) {
    case 1:
    case 2:
      return ZZGeneralPurposeBitFlag::superFastCompression;
    case 3:
    case 4:
      return ZZGeneralPurposeBitFlag::fastCompression;
    case 8:
    case 9:
      return ZZGeneralPurposeBitFlag::maximumCompression;
    default:
      return ZZGeneralPurposeBitFlag::none;
  }
}

Error tooLarge(const std::string& what) {
  return Error::posix(EFBIG, what + " is past the 4 GiB that a zip archive without Zip64 can hold");
}

}  // namespace

ZZNewArchiveEntryWriter::ZZNewArchiveEntryWriter(const std::string& fileName, std::uint16_t fileMode,
                                                 std::chrono::system_clock::time_point lastModified,
                                                 int compressionLevel, ZZArchiveEntry::DataBlock dataBlock,
                                                 ZZArchiveEntry::StreamBlock streamBlock,
                                                 ZZArchiveEntry::DataConsumerBlock dataConsumerBlock,
                                                 ZZArchiveEntry::BlockThread blockThread)
    : fileName_(fileName.begin(), fileName.end()),
      compressionLevel_(compressionLevel),
      dataBlock_(std::move(dataBlock)),
      streamBlock_(std::move(streamBlock)),
      dataConsumerBlock_(std::move(dataConsumerBlock)),
      blockThread_(blockThread) {
  // Only a UTF-8 name says so; other bytes go as they are, as Unix tools write them.
  auto flags = deflateOption(compressionLevel);
  if (zzIsValidUTF8(fileName_)) flags = flags | ZZGeneralPurposeBitFlag::fileNameUTF8Encoded;
  if (hasData()) flags = flags | ZZGeneralPurposeBitFlag::sizeInDataDescriptor;
  auto method = static_cast<std::uint16_t>(compressionLevel != 0 ? ZZCompressionMethod::deflated : ZZCompressionMethod::stored);
  ZZDosDateTime when = zzDosDateTimeFromDate(lastModified);
  // Names past the format's limit are refused by the archive before anything is written.
  auto nameLength = static_cast<std::uint16_t>(fileName_.size());

  central_.versionMadeBy = kVersionMadeBy;
  central_.fileAttributeCompatibility = ZZFileAttributeCompatibility::unixSystem;
  central_.versionNeededToExtract = kVersionNeededToExtract;
  central_.generalPurposeBitFlag = flags;
  central_.compressionMethod = method;
  central_.lastModFileTime = when.time;
  central_.lastModFileDate = when.date;
  central_.fileNameLength = nameLength;
  central_.externalFileAttributes = static_cast<std::uint32_t>(fileMode) << 16;

  local_.versionNeededToExtract = kVersionNeededToExtract;
  local_.generalPurposeBitFlag = flags;
  local_.compressionMethod = method;
  local_.lastModFileTime = when.time;
  local_.lastModFileDate = when.date;
  local_.fileNameLength = nameLength;
}

Result<void> ZZNewArchiveEntryWriter::runBlocks(ZZOutputStream& stream) {
  if (streamBlock_) return streamBlock_(stream);
  if (dataConsumerBlock_) {
    ZZDataConsumer consumer(stream);
    return dataConsumerBlock_(consumer);
  }
  return {};
}

Result<ZZNewArchiveEntryWriter::Measured> ZZNewArchiveEntryWriter::writeData(ZZChannelOutput& output) {
  Measured m;
  if (compressionLevel_ == 0 && dataBlock_) {
    auto data = dataBlock_();
    if (!data) return fail(data.error());
    if (data->size() > ZZMaximumOffset) return fail(tooLarge("the entry's data"));
    if (auto r = output.writeData(*data); !r) return fail(r.error());
    m.crc32 = zzCrc32(0, *data);
    m.compressedSize = m.uncompressedSize = data->size();
    return m;
  }
  if (compressionLevel_ == 0) {
    ZZStoreOutputStream stream(output);
    auto r = runBlocks(stream);
    stream.close();
    if (!r) return fail(r.error());
    if (stream.streamStatus() == ZZStreamStatus::error) return fail(*stream.streamError());
    m.crc32 = stream.crc32();
    m.compressedSize = m.uncompressedSize = stream.size();
    return m;
  }
  ZZDeflateOutputStream stream(output, compressionLevel_);
  stream.open();
  Result<void> r;
  if (dataBlock_) {
    auto data = dataBlock_();
    if (!data) {
      r = fail(data.error());
    } else {
      std::size_t done = 0;
      while (done < data->size()) {
        std::ptrdiff_t n = stream.write(data->data() + done, data->size() - done);
        if (n < 0) break;
        done += static_cast<std::size_t>(n);
      }
    }
  } else {
    r = runBlocks(stream);
  }
  // Closing writes the deflate stream's last bytes; their failure fails the entry.
  stream.close();
  if (!r) return fail(r.error());
  if (stream.streamStatus() == ZZStreamStatus::error) return fail(*stream.streamError());
  m.crc32 = stream.crc32();
  m.compressedSize = stream.compressedSize();
  m.uncompressedSize = stream.uncompressedSize();
  return m;
}

bool ZZNewArchiveEntryWriter::preparesConcurrently() const {
  return blockThread_ == ZZArchiveEntry::BlockThread::any && hasData();
}

Result<void> ZZNewArchiveEntryWriter::prepare(const ZZEntryPreparation& preparation) {
  auto output = std::make_unique<ZZSpillOutput>(preparation.spillFolder, preparation.memoryLimit, preparation.cancelled,
                                                preparation.mayUseDisk);
  auto measured = writeData(*output);
  if (!measured) return fail(zzErrorOrWriteFailed(measured.error()));
  (void)output->close();
  prepared_ = std::move(output);
  preparedMeasures_ = *measured;
  return {};
}

std::size_t ZZNewArchiveEntryWriter::preparedMemory() const { return prepared_ ? prepared_->memorySize() : 0; }

Result<void> ZZNewArchiveEntryWriter::writeLocalFileToChannelOutput(ZZChannelOutput& output, std::uint64_t initialSkip) {
  std::uint64_t offset = output.offset() + initialSkip;
  if (offset > ZZMaximumOffset) return fail(tooLarge("the entry's offset"));
  central_.relativeOffsetOfLocalHeader = static_cast<std::uint32_t>(offset);

  Data header;
  local_.appendTo(header);
  header.insert(header.end(), fileName_.begin(), fileName_.end());
  if (auto r = output.writeData(header); !r) return fail(zzErrorOrWriteFailed(r.error()));

  // The prepared data is let go once the entry is written (a file output may copy a spilled
  // file only at its next write: the descriptor's).
  struct Release {
    std::unique_ptr<ZZSpillOutput>& prepared;
    ~Release() { prepared.reset(); }
  } release{prepared_};
  Result<Measured> measured = preparedMeasures_;
  if (prepared_) {
    if (auto r = prepared_->appendTo(output); !r) return fail(zzErrorOrWriteFailed(r.error()));
  } else {
    measured = writeData(output);
  }
  if (!measured) return fail(zzErrorOrWriteFailed(measured.error()));
  if (measured->compressedSize > ZZMaximumOffset || measured->uncompressedSize > ZZMaximumOffset)
    return fail(tooLarge("the entry's size"));

  central_.crc32 = measured->crc32;
  central_.compressedSize = static_cast<std::uint32_t>(measured->compressedSize);
  central_.uncompressedSize = static_cast<std::uint32_t>(measured->uncompressedSize);

  if (hasData()) {
    ZZDataDescriptor descriptor;
    descriptor.crc32 = central_.crc32;
    descriptor.compressedSize = central_.compressedSize;
    descriptor.uncompressedSize = central_.uncompressedSize;
    Data bytes;
    descriptor.appendTo(bytes);
    if (auto r = output.writeData(bytes); !r) return fail(zzErrorOrWriteFailed(r.error()));
  }
  return {};
}

Result<void> ZZNewArchiveEntryWriter::writeCentralFileHeaderToChannelOutput(ZZChannelOutput& output) {
  Data bytes;
  central_.appendTo(bytes);
  bytes.insert(bytes.end(), fileName_.begin(), fileName_.end());
  return output.writeData(bytes);
}
