#pragma once
// An output that keeps what is written in memory up to a limit and moves it all to an unnamed
// temporary file once it grows past that, so that an entry prepared ahead of its turn costs a
// bounded amount of memory. Used by one thread at a time; `cancelled` is polled before each
// write and fails the write when it answers true.

#include <filesystem>
#include <functional>

#include "ZZChannel.h"
#include "platform/UniqueFd.h"

class ZZSpillOutput final : public ZZChannelOutput {
 public:
  // `mayUseDisk`, when given, is asked before bytes go to the file; a refusal fails the write.
  ZZSpillOutput(std::filesystem::path spillFolder, std::size_t memoryLimit, std::function<bool()> cancelled = {},
                std::function<bool(std::size_t)> mayUseDisk = {});

  std::uint64_t offset() const override { return size_; }
  // Only appending is supported.
  Result<void> seekToOffset(std::uint64_t offset) override;
  Result<void> writeData(std::span<const std::uint8_t> bytes) override;
  Result<void> truncateAtOffset(std::uint64_t offset) override;
  // Gives back the memory the buffer holds beyond its bytes.
  Result<void> close() override;

  // The memory held (0 once the bytes went to the file).
  std::size_t memorySize() const { return buffer_.capacity(); }
  bool spilled() const { return static_cast<bool>(file_); }
  // Appends everything written to `output`; a spilled file is copied by the kernel where it can.
  // The output may still refer to the file until its next write, so keep this alive until then.
  Result<void> appendTo(ZZChannelOutput& output) const;

 private:
  Result<void> spill();

  std::filesystem::path folder_;
  std::size_t limit_;
  std::function<bool()> cancelled_;
  std::function<bool(std::size_t)> mayUseDisk_;
  Data buffer_;
  UniqueFd file_;
  std::uint64_t size_ = 0;
};
