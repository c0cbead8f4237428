#pragma once
// Writes to a file through a buffer; offsets are those of the file. Errors are of the POSIX
// domain. close() flushes and syncs, so a successful close means the bytes are on disk.

#include <filesystem>

#include "ZZChannel.h"
#include "platform/UniqueFd.h"

class ZZFileChannelOutput : public ZZChannelOutput {
 public:
  ZZFileChannelOutput(UniqueFd fd, std::filesystem::path path);

  std::uint64_t offset() const override { return position_ + buffer_.size() + pendingCopy_.length; }
  Result<void> seekToOffset(std::uint64_t offset) override;
  Result<void> writeData(std::span<const std::uint8_t> bytes) override;
  Result<void> truncateAtOffset(std::uint64_t offset) override;
  Result<void> copyFrom(const ZZChannelInput& input, std::uint64_t offset, std::uint64_t length) override;
  Result<void> close() override;

 private:
  // Copies of adjacent ranges (old entries one after another) are merged into one.
  struct PendingCopy {
    int fd = -1;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
  };
  Result<void> flush();
  Result<void> runPendingCopy();
  Result<void> writeAll(const std::uint8_t* p, std::size_t n);

  UniqueFd fd_;
  std::filesystem::path path_;
  std::uint64_t position_ = 0;  // where the buffer's bytes go
  Data buffer_;  // empty while a copy is pending
  PendingCopy pendingCopy_;
};
