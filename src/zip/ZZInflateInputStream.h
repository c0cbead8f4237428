#pragma once
// Inflates raw deflate data while it is read. Corrupt data, and data that ends before the
// deflate stream does, are errors; read answers 0 only after the stream's end.

#include <memory>
#include <optional>
#include <span>

#include "ZZStream.h"
#include "ZZZlib.h"
#include "platform/Data.h"

class ZZInflateInputStream : public ZZInputStream {
 public:
  explicit ZZInflateInputStream(std::unique_ptr<ZZInputStream> upstream);

  void open() override;
  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override;
  void close() override;

  // Inflates a whole block into exactly `uncompressedSize` bytes; an error unless the deflate
  // stream ends there.
  static Result<Data> decompressData(std::span<const std::uint8_t> compressed, std::size_t uncompressedSize);

 private:
  std::unique_ptr<ZZInputStream> upstream_;
  std::optional<ZZInflater> inflater_;
  Data buffer_;
  bool upstreamEnded_ = false;
};
