#pragma once
// Copies an entry of the current archive byte for byte; its central header follows it with
// the new offset. An entry left in place writes only its central header.

#include <memory>

#include "ZZArchiveEntryWriter.h"

class ZZOldArchiveEntryWriter : public ZZArchiveEntryWriter {
 public:
  ZZOldArchiveEntryWriter(std::shared_ptr<const ZZChannelInput> input, Data centralHeader,
                          std::uint64_t localFileOffset, std::uint64_t localFileLength, bool skipLocalFile);

  std::uint64_t offsetToLocalFileEnd() const override;
  Result<void> writeLocalFileToChannelOutput(ZZChannelOutput& output, std::uint64_t initialSkip) override;
  Result<void> writeCentralFileHeaderToChannelOutput(ZZChannelOutput& output) override;

 private:
  std::shared_ptr<const ZZChannelInput> input_;
  Data centralHeader_;
  std::uint64_t localFileOffset_;
  std::uint64_t localFileLength_;
  bool skipLocalFile_;
};
