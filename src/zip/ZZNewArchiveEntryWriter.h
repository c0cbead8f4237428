#pragma once
// Writes a new entry: local header with zero CRC and sizes, the data through a store or
// deflate stream, then a data descriptor; the central header takes the measured values.

#include "ZZArchiveEntry.h"
#include "ZZHeaders.h"
#include "ZZSpillOutput.h"

class ZZNewArchiveEntryWriter : public ZZArchiveEntryWriter {
 public:
  ZZNewArchiveEntryWriter(const std::string& fileName, std::uint16_t fileMode,
                          std::chrono::system_clock::time_point lastModified, int compressionLevel,
                          ZZArchiveEntry::DataBlock dataBlock, ZZArchiveEntry::StreamBlock streamBlock,
                          ZZArchiveEntry::DataConsumerBlock dataConsumerBlock,
                          ZZArchiveEntry::BlockThread blockThread = ZZArchiveEntry::BlockThread::updating);

  std::uint64_t offsetToLocalFileEnd() const override { return 0; }
  bool preparesConcurrently() const override;
  Result<void> prepare(const ZZEntryPreparation& preparation) override;
  std::size_t preparedMemory() const override;
  void discardPreparation() override { prepared_.reset(); }
  Result<void> writeLocalFileToChannelOutput(ZZChannelOutput& output, std::uint64_t initialSkip) override;
  Result<void> writeCentralFileHeaderToChannelOutput(ZZChannelOutput& output) override;

 private:
  struct Measured {
    std::uint32_t crc32 = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
  };
  bool hasData() const { return dataBlock_ || streamBlock_ || dataConsumerBlock_; }
  Result<Measured> writeData(ZZChannelOutput& output);
  Result<void> runBlocks(ZZOutputStream& stream);

  Data fileName_;
  ZZCentralFileHeader central_;
  ZZLocalFileHeader local_;
  int compressionLevel_;
  ZZArchiveEntry::DataBlock dataBlock_;
  ZZArchiveEntry::StreamBlock streamBlock_;
  ZZArchiveEntry::DataConsumerBlock dataConsumerBlock_;
  ZZArchiveEntry::BlockThread blockThread_;
  // The data and its measures, once prepared.
  std::unique_ptr<ZZSpillOutput> prepared_;
  Measured preparedMeasures_;
};
