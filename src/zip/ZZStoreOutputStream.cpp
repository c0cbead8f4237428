#include "ZZStoreOutputStream.h"

#include <algorithm>

#include "ZZError.h"

void ZZStoreOutputStream::open() {
  if (status_ == ZZStreamStatus::notOpen) status_ = ZZStreamStatus::open;
}

std::ptrdiff_t ZZStoreOutputStream::write(const std::uint8_t* buffer, std::size_t length) {
  if (status_ == ZZStreamStatus::notOpen) open();
  if (status_ != ZZStreamStatus::open)
    return failWith(zzError(ZZErrorCode::entryWriteFailed, "the stream is not open"));
  length = std::min<std::size_t>(length, PTRDIFF_MAX);
  std::span<const std::uint8_t> bytes(buffer, length);
  if (auto r = channelOutput_.writeData(bytes); !r) return failWith(r.error());
  crc32_ = zzCrc32(crc32_, bytes);
  size_ += length;
  return static_cast<std::ptrdiff_t>(length);
}

void ZZStoreOutputStream::close() {
  if (status_ == ZZStreamStatus::open || status_ == ZZStreamStatus::notOpen) status_ = ZZStreamStatus::closed;
}
