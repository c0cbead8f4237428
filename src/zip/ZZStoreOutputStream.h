#pragma once
// Writes a new entry's bytes unchanged into a channel output, measuring CRC-32 and size.

#include "ZZChannel.h"
#include "ZZStream.h"

class ZZStoreOutputStream : public ZZOutputStream {
 public:
  explicit ZZStoreOutputStream(ZZChannelOutput& channelOutput) : channelOutput_(channelOutput) {}

  void open() override;
  std::ptrdiff_t write(const std::uint8_t* buffer, std::size_t length) override;
  void close() override;

  std::uint32_t crc32() const { return crc32_; }
  std::uint64_t size() const { return size_; }

 private:
  ZZChannelOutput& channelOutput_;
  std::uint32_t crc32_ = 0;
  std::uint64_t size_ = 0;
};
