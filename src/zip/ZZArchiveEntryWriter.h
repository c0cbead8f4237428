#pragma once
// Writes one entry of an update: its local file, then (with all others) its central header.

#include <cstdint>

#include "ZZChannel.h"

class ZZArchiveEntryWriter {
 public:
  virtual ~ZZArchiveEntryWriter() = default;
  // For an entry left where it is, the offset just past its local file; otherwise 0.
  virtual std::uint64_t offsetToLocalFileEnd() const = 0;
  // `initialSkip` plus the output's offset is where the entry lands in the final archive.
  virtual Result<void> writeLocalFileToChannelOutput(ZZChannelOutput& output, std::uint64_t initialSkip) = 0;
  virtual Result<void> writeCentralFileHeaderToChannelOutput(ZZChannelOutput& output) = 0;
};
