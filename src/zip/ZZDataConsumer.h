#pragma once
// A sink handed to a new entry's data-consumer block: every byte put goes to the entry's
// output stream.

#include <cstddef>
#include <cstdint>

#include "ZZStream.h"

class ZZDataConsumer {
 public:
  explicit ZZDataConsumer(ZZOutputStream& stream) : stream_(stream) {}

  // Answers the count written: `count`, or less when the stream failed.
  std::size_t putBytes(const void* buffer, std::size_t count) {
    auto* p = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
      std::ptrdiff_t n = stream_.write(p + done, count - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    return done;
  }

 private:
  ZZOutputStream& stream_;
};
