#pragma once
// Deflates a new entry's bytes into a channel output, measuring CRC-32 and both sizes.
// A failure of the final flush in close() leaves the stream in error.

#include <optional>

#include "ZZChannel.h"
#include "ZZStream.h"
#include "ZZZlib.h"

class ZZDeflateOutputStream : public ZZOutputStream {
 public:
  ZZDeflateOutputStream(ZZChannelOutput& channelOutput, int compressionLevel);

  void open() override;
  std::ptrdiff_t write(const std::uint8_t* buffer, std::size_t length) override;
  void close() override;

  std::uint32_t crc32() const { return crc32_; }
  std::uint64_t compressedSize() const { return compressedSize_; }
  std::uint64_t uncompressedSize() const { return uncompressedSize_; }

 private:
  bool deflateInto(int flush);

  ZZChannelOutput& channelOutput_;
  int compressionLevel_;
  std::optional<ZZDeflater> deflater_;
  Data buffer_;
  std::uint32_t crc32_ = 0;
  std::uint64_t compressedSize_ = 0;
  std::uint64_t uncompressedSize_ = 0;
};
