#include "ZZNewArchiveEntry.h"

#include "ZZFileName.h"
#include "ZZNewArchiveEntryWriter.h"

ZZNewArchiveEntry::ZZNewArchiveEntry(std::string fileName, std::uint16_t fileMode,
                                     std::chrono::system_clock::time_point lastModified, int compressionLevel,
                                     DataBlock dataBlock, StreamBlock streamBlock, DataConsumerBlock dataConsumerBlock,
                                     BlockThread blockThread)
    : fileName_(std::move(fileName)),
      fileMode_(fileMode),
      lastModified_(lastModified),
      compressionLevel_(compressionLevel),
      dataBlock_(std::move(dataBlock)),
      streamBlock_(std::move(streamBlock)),
      dataConsumerBlock_(std::move(dataConsumerBlock)),
      blockThread_(blockThread) {}

Result<std::unique_ptr<ZZArchiveEntryWriter>> ZZNewArchiveEntry::newWriterCanSkipLocalFile(bool) const {
  return std::make_unique<ZZNewArchiveEntryWriter>(fileName_, fileMode_, lastModified_, compressionLevel_, dataBlock_,
                                                   streamBlock_, dataConsumerBlock_, blockThread_);
}

ZZFileNameEncoding ZZNewArchiveEntry::encoding() const {
  return zzIsValidUTF8(rawFileName()) ? ZZFileNameEncoding::utf8 : ZZFileNameEncoding::codePage437;
}
