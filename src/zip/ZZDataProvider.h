#pragma once
// Sequential access to an entry's content for consumers that pull bytes, skip ahead and
// rewind. The entry's stream is made on first use and again after a rewind.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "ZZStream.h"

class ZZDataProvider {
 public:
  using StreamMaker = std::function<Result<std::unique_ptr<ZZInputStream>>()>;

  explicit ZZDataProvider(StreamMaker makeStream) : makeStream_(std::move(makeStream)) {}
  ~ZZDataProvider();
  ZZDataProvider(const ZZDataProvider&) = delete;
  ZZDataProvider& operator=(const ZZDataProvider&) = delete;

  // Answers the count delivered; less than asked at the end or on an error.
  std::size_t getBytes(void* buffer, std::size_t count);
  std::size_t skipForward(std::int64_t count);
  void rewind();

 private:
  bool ensureStream();

  StreamMaker makeStream_;
  std::unique_ptr<ZZInputStream> stream_;
};
