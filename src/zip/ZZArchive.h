#pragma once
// A zip archive (single disk, no Zip64) held through a channel: a file or a block of memory.
// Loading reads the end record and the central directory; entries read their data on demand.
// Not thread-safe: one thread uses an archive and its entries at a time.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ZZArchiveEntry.h"
#include "ZZChannel.h"
#include "ZZError.h"
#include "platform/Data.h"

// Options of opening, by key. With ZZOpenOptionsCreateIfMissingKey true, a missing file opens
// as an empty archive (nothing is created until the first update).
using ZZOpenOptions = std::map<std::string, bool>;
inline constexpr const char* ZZOpenOptionsCreateIfMissingKey = "ZZOpenOptionsCreateIfMissingKey";

class ZZArchive {
 public:
  static Result<std::shared_ptr<ZZArchive>> archiveWithURL(const std::filesystem::path& url,
                                                           const ZZOpenOptions& options = {});
  // The caller may keep `data` and sees the archive's bytes there after every update.
  static Result<std::shared_ptr<ZZArchive>> archiveWithData(std::shared_ptr<Data> data,
                                                            const ZZOpenOptions& options = {});
  static Result<std::shared_ptr<ZZArchive>> archiveWithChannel(std::shared_ptr<ZZChannel> channel,
                                                               const ZZOpenOptions& options = {});

  struct Key {
   private:
    friend class ZZArchive;
    Key() = default;
  };
  ZZArchive(Key, std::shared_ptr<ZZChannel> channel) : channel_(std::move(channel)) {}
  ZZArchive(const ZZArchive&) = delete;
  ZZArchive& operator=(const ZZArchive&) = delete;

  std::optional<std::filesystem::path> URL() const { return channel_->URL(); }
  const std::shared_ptr<ZZChannel>& channel() const { return channel_; }
  // In central-directory order.
  const std::vector<std::shared_ptr<ZZArchiveEntry>>& entries() const { return entries_; }

  // Reads the channel again; a failure keeps the entries of the previous load.
  Result<void> loadCanMiss(bool canMiss);

  // Makes the archive hold exactly `newEntries`, in order: entries of this archive are copied
  // raw, new ones written from their sources. A file is written whole to a temporary file
  // beside it, synced and renamed over it; on failure the archive is left as it was.
  // New entries whose blocks may run on any thread are read and compressed on every core
  // ahead of their turn (workers end before this returns); the bytes are those of a
  // sequential update. Afterwards entries() describes the rewritten archive.
  // `beforeReplacing`, when given, runs once the new copy is complete, just before it takes the
  // archive's place; its failure fails the update and leaves the archive as it was. It runs
  // too when writing the copy fails, and its error, when it gives one, is the one returned.
  Result<void> updateEntries(const std::vector<std::shared_ptr<ZZArchiveEntry>>& newEntries,
                             const std::function<Result<void>()>& beforeReplacing = {});

 private:
  std::shared_ptr<ZZChannel> channel_;
  std::vector<std::shared_ptr<ZZArchiveEntry>> entries_;
};
