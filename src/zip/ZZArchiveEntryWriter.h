#pragma once
// Writes one entry of an update: its local file, then (with all others) its central header.

#include <cstdint>
#include <filesystem>
#include <functional>

#include "ZZChannel.h"

// What an entry prepared ahead of its turn may use: a folder for what doesn't fit in memory,
// how much memory, whether to stop (its writes then fail), and whether so many more bytes may
// go to the folder (when not, its writes fail and the entry is written in its turn instead).
struct ZZEntryPreparation {
  std::filesystem::path spillFolder;
  std::size_t memoryLimit = 0;
  std::function<bool()> cancelled;
  std::function<bool(std::size_t bytes)> mayUseDisk;
};

class ZZArchiveEntryWriter {
 public:
  virtual ~ZZArchiveEntryWriter() = default;
  // For an entry left where it is, the offset just past its local file; otherwise 0.
  virtual std::uint64_t offsetToLocalFileEnd() const = 0;
  // Whether prepare() may run on a worker thread, at the same time as other writers' prepare()
  // and as the writing of earlier entries.
  virtual bool preparesConcurrently() const { return false; }
  // Produces the entry's data ahead of writeLocalFileToChannelOutput(), which then only
  // appends it; preparedMemory() is what it holds meanwhile.
  virtual Result<void> prepare(const ZZEntryPreparation&) { return {}; }
  virtual std::size_t preparedMemory() const { return 0; }
  // Lets go of what prepare() produced: writeLocalFileToChannelOutput() then produces it anew.
  virtual void discardPreparation() {}
  // `initialSkip` plus the output's offset is where the entry lands in the final archive.
  virtual Result<void> writeLocalFileToChannelOutput(ZZChannelOutput& output, std::uint64_t initialSkip) = 0;
  virtual Result<void> writeCentralFileHeaderToChannelOutput(ZZChannelOutput& output) = 0;
};
