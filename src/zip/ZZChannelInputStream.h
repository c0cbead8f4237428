#pragma once
// Reads one range of a channel input (an entry's raw file data), buffered in 64 KiB pieces.

#include <memory>

#include "ZZChannel.h"
#include "ZZStream.h"

class ZZChannelInputStream : public ZZInputStream {
 public:
  ZZChannelInputStream(std::shared_ptr<const ZZChannelInput> input, std::uint64_t offset, std::uint64_t length);

  void open() override;
  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override;
  void close() override;

 private:
  std::shared_ptr<const ZZChannelInput> input_;
  std::uint64_t offset_;
  std::uint64_t remaining_;
  Data buffer_;
  std::size_t bufferPosition_ = 0;
};
