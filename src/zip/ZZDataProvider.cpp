#include "ZZDataProvider.h"

#include <algorithm>

ZZDataProvider::~ZZDataProvider() {
  if (stream_) stream_->close();
}

bool ZZDataProvider::ensureStream() {
  if (stream_) return true;
  auto made = makeStream_();
  if (!made) return false;
  stream_ = std::move(*made);
  stream_->open();
  return true;
}

std::size_t ZZDataProvider::getBytes(void* buffer, std::size_t count) {
  if (!ensureStream()) return 0;
  auto* p = static_cast<std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    std::ptrdiff_t n = stream_->read(p + done, count - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::size_t ZZDataProvider::skipForward(std::int64_t count) {
  if (count < 1 || !ensureStream()) return 0;
  std::uint8_t scratch[1024];
  auto wanted = static_cast<std::uint64_t>(count);
  std::uint64_t done = 0;
  while (done < wanted) {
    std::ptrdiff_t n = stream_->read(scratch, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof scratch, wanted - done)));
    if (n <= 0) break;
    done += static_cast<std::uint64_t>(n);
  }
  return static_cast<std::size_t>(done);
}

void ZZDataProvider::rewind() {
  if (stream_) stream_->close();
  stream_.reset();
}
