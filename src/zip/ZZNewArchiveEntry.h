#pragma once
// An entry made by the program for an update: a name, mode, date, compression level and one
// source of bytes that runs only when the archive is written.

#include "ZZArchiveEntry.h"

class ZZNewArchiveEntry : public ZZArchiveEntry {
 public:
  ZZNewArchiveEntry(std::string fileName, std::uint16_t fileMode, std::chrono::system_clock::time_point lastModified,
                    int compressionLevel, DataBlock dataBlock, StreamBlock streamBlock,
                    DataConsumerBlock dataConsumerBlock, BlockThread blockThread = BlockThread::updating);

  const std::string& newFileName() const { return fileName_; }

  bool compressed() const override { return compressionLevel_ != 0; }
  // A name that is not UTF-8 is written as its bytes, without the UTF-8 flag.
  ZZFileNameEncoding encoding() const override;
  Data rawFileName() const override { return Data(fileName_.begin(), fileName_.end()); }
  std::optional<std::string> fileNameWithEncoding(ZZFileNameEncoding) const override { return fileName_; }
  std::optional<std::string> fileSystemName() const override { return fileName_; }

  Result<std::unique_ptr<ZZArchiveEntryWriter>> newWriterCanSkipLocalFile(bool canSkipLocalFile) const override;

 private:
  std::string fileName_;
  std::uint16_t fileMode_;
  std::chrono::system_clock::time_point lastModified_;
  int compressionLevel_;
  DataBlock dataBlock_;
  StreamBlock streamBlock_;
  DataConsumerBlock dataConsumerBlock_;
  BlockThread blockThread_;
};
