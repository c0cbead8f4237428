#pragma once
// The top of every entry's read chain: counts the bytes and their CRC-32 and, at the end,
// compares them with the central header, so short, long or corrupt content is an error rather
// than a quiet success. Errors of the streams below gain the entry's index.

#include <memory>
#include <optional>

#include "ZZStream.h"

class ZZVerifyingInputStream : public ZZInputStream {
 public:
  // `expectedCrc32` is none where the format leaves the CRC out (WinZip AE-2).
  ZZVerifyingInputStream(std::unique_ptr<ZZInputStream> upstream, std::uint64_t expectedSize,
                         std::optional<std::uint32_t> expectedCrc32, std::size_t entryIndex);

  void open() override;
  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override;
  void close() override;

 private:
  std::ptrdiff_t failForEntry(Error e);

  std::unique_ptr<ZZInputStream> upstream_;
  std::uint64_t expectedSize_;
  std::optional<std::uint32_t> expectedCrc32_;
  std::size_t entryIndex_;
  std::uint64_t size_ = 0;
  std::uint32_t crc32_ = 0;
};
