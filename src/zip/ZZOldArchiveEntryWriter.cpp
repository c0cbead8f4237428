#include "ZZOldArchiveEntryWriter.h"

#include <cerrno>

#include "ZZByteReader.h"
#include "ZZHeaders.h"

ZZOldArchiveEntryWriter::ZZOldArchiveEntryWriter(std::shared_ptr<const ZZChannelInput> input, Data centralHeader,
                                                 std::uint64_t localFileOffset, std::uint64_t localFileLength,
                                                 bool skipLocalFile)
    : input_(std::move(input)),
      centralHeader_(std::move(centralHeader)),
      localFileOffset_(localFileOffset),
      localFileLength_(localFileLength),
      skipLocalFile_(skipLocalFile) {}

std::uint64_t ZZOldArchiveEntryWriter::offsetToLocalFileEnd() const {
  return skipLocalFile_ ? localFileOffset_ + localFileLength_ : 0;
}

Result<void> ZZOldArchiveEntryWriter::writeLocalFileToChannelOutput(ZZChannelOutput& output, std::uint64_t initialSkip) {
  if (skipLocalFile_) return {};
  std::uint64_t offset = output.offset() + initialSkip;
  if (offset > ZZMaximumOffset)
    return fail(Error::posix(EFBIG, "the entry's offset is past the 4 GiB that a zip archive without Zip64 can hold"));
  zzPutU32(centralHeader_.data() + ZZCentralFileHeader::localHeaderOffsetPosition, static_cast<std::uint32_t>(offset));
  return output.copyFrom(*input_, localFileOffset_, localFileLength_);
}

Result<void> ZZOldArchiveEntryWriter::writeCentralFileHeaderToChannelOutput(ZZChannelOutput& output) {
  return output.writeData(centralHeader_);
}
