#pragma once
// Writes to a file through a buffer; offsets are those of the file. Errors are of the POSIX
// domain. close() flushes and syncs, so a successful close means the bytes are on disk.

#include <filesystem>

#include "ZZChannel.h"
#include "ZZFileDescriptor.h"

class ZZFileChannelOutput : public ZZChannelOutput {
 public:
  ZZFileChannelOutput(ZZFileDescriptor fd, std::filesystem::path path);

  std::uint64_t offset() const override { return position_ + buffer_.size(); }
  Result<void> seekToOffset(std::uint64_t offset) override;
  Result<void> writeData(std::span<const std::uint8_t> bytes) override;
  Result<void> truncateAtOffset(std::uint64_t offset) override;
  Result<void> copyFrom(const ZZChannelInput& input, std::uint64_t offset, std::uint64_t length) override;
  Result<void> close() override;

 private:
  Result<void> flush();
  Result<void> writeAll(const std::uint8_t* p, std::size_t n);

  ZZFileDescriptor fd_;
  std::filesystem::path path_;
  std::uint64_t position_ = 0;  // where the buffer's bytes go
  Data buffer_;
};
