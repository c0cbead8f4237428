#pragma once
// An entry of an archive: one read from an archive (ZZOldArchiveEntry) or one the program
// makes for an update (ZZNewArchiveEntry, through the factories here). Entries are compared by
// identity when an archive is updated.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ZZArchiveEntryWriter.h"
#include "ZZDataConsumer.h"
#include "ZZDataProvider.h"
#include "ZZFileName.h"
#include "ZZStream.h"
#include "platform/Data.h"
#include "platform/Error.h"

class ZZArchiveEntry : public std::enable_shared_from_this<ZZArchiveEntry> {
 public:
  // The sources of a new entry's bytes, run while the archive is updated. A failure whose
  // error is empty is reported as code 13.
  using DataBlock = std::function<Result<Data>()>;
  using StreamBlock = std::function<Result<void>(ZZOutputStream& stream)>;
  using DataConsumerBlock = std::function<Result<void>(ZZDataConsumer& consumer)>;
  // Where a new entry's block runs: on the updating thread when the entry's turn comes, after
  // every earlier entry is written, or on any thread of the update, ahead of its turn and at the
  // same time as other such blocks (it must then touch nothing they touch, and give the same
  // bytes when it runs again: a block run ahead that found no room runs again in its turn).
  enum class BlockThread { updating, any };

  static std::shared_ptr<ZZArchiveEntry> archiveEntryWithFileName(std::string fileName, bool compress,
                                                                  DataBlock dataBlock);
  static std::shared_ptr<ZZArchiveEntry> archiveEntryWithFileName(std::string fileName, bool compress,
                                                                  StreamBlock streamBlock);
  static std::shared_ptr<ZZArchiveEntry> archiveEntryWithFileName(std::string fileName, bool compress,
                                                                  DataConsumerBlock dataConsumerBlock);
  // `compressionLevel`: -1 the deflate default, 0 stored, 1 to 9 deflate levels.
  static std::shared_ptr<ZZArchiveEntry> archiveEntryWithFileName(
      std::string fileName, std::uint16_t fileMode, std::chrono::system_clock::time_point lastModified,
      int compressionLevel, DataBlock dataBlock, StreamBlock streamBlock, DataConsumerBlock dataConsumerBlock,
      BlockThread blockThread = BlockThread::updating);
  static std::shared_ptr<ZZArchiveEntry> archiveEntryWithDirectoryName(std::string directoryName);

  virtual ~ZZArchiveEntry() = default;

  // What a new entry cannot know before it is written reads as 0 or none.
  virtual std::uint16_t compressionMethod() const { return 0; }
  virtual bool compressed() const { return false; }
  virtual bool encrypted() const { return false; }
  virtual std::chrono::system_clock::time_point lastModified() const { return {}; }
  virtual std::uint32_t crc32() const { return 0; }
  virtual std::uint32_t compressedSize() const { return 0; }
  virtual std::uint32_t uncompressedSize() const { return 0; }
  virtual std::uint16_t fileMode() const { return 0; }
  virtual Data rawFileName() const { return {}; }
  virtual ZZFileNameEncoding encoding() const { return ZZFileNameEncoding::utf8; }
  virtual std::optional<std::string> fileNameWithEncoding(ZZFileNameEncoding encoding) const;
  std::optional<std::string> fileName() const { return fileNameWithEncoding(encoding()); }
  // The name as a path of this system: fileName(), except that a name a Unix host wrote
  // without the UTF-8 flag, in bytes that are not UTF-8, keeps those bytes as they are.
  virtual std::optional<std::string> fileSystemName() const { return fileName(); }

  // The entry's uncompressed content; only entries read from an archive have one. Content that
  // is truncated, corrupt or fails its CRC-32 is an error (code 14), never a short success.
  virtual Result<std::unique_ptr<ZZInputStream>> newStream(std::string_view password = {}) const;
  virtual Result<Data> newData(std::string_view password = {}) const;
  virtual Result<std::unique_ptr<ZZDataProvider>> newDataProvider(std::string_view password = {}) const;
  // Whether the local header agrees with the central header (code 3 when not).
  virtual Result<void> check() const;

  virtual Result<std::unique_ptr<ZZArchiveEntryWriter>> newWriterCanSkipLocalFile(bool canSkipLocalFile) const = 0;
};
