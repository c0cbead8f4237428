#include "ZZChannelInputStream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "ZZError.h"

namespace {
constexpr std::size_t kBufferSize = 64 * 1024;
}

ZZChannelInputStream::ZZChannelInputStream(std::shared_ptr<const ZZChannelInput> input, std::uint64_t offset,
                                           std::uint64_t length)
    : input_(std::move(input)), offset_(offset), remaining_(length) {}

void ZZChannelInputStream::open() {
  if (status_ == ZZStreamStatus::notOpen) status_ = ZZStreamStatus::open;
}

std::ptrdiff_t ZZChannelInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  if (status_ == ZZStreamStatus::error) return -1;
  if (status_ != ZZStreamStatus::open && status_ != ZZStreamStatus::atEnd)
    return failWith(zzError(ZZErrorCode::entryDataInvalid, "the stream is not open"));
  maxLength = std::min<std::size_t>(maxLength, PTRDIFF_MAX);
  if (bufferPosition_ < buffer_.size()) {
    std::size_t n = std::min(maxLength, buffer_.size() - bufferPosition_);
    std::memcpy(buffer, buffer_.data() + bufferPosition_, n);
    bufferPosition_ += n;
    return static_cast<std::ptrdiff_t>(n);
  }
  if (remaining_ == 0 || maxLength == 0) {
    if (remaining_ == 0) status_ = ZZStreamStatus::atEnd;
    return 0;
  }
  auto fetch = [&](std::uint8_t* into, std::size_t n) -> bool {
    auto r = input_->readAt(offset_, std::span(into, n));
    if (!r) {
      failWith(zzError(ZZErrorCode::entryDataInvalid, r.error(), "the entry's data could not be read"));
      return false;
    }
    offset_ += n;
    remaining_ -= n;
    return true;
  };
  if (maxLength >= kBufferSize) {
    auto n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, maxLength));
    if (!fetch(buffer, n)) return -1;
    return static_cast<std::ptrdiff_t>(n);
  }
  buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, kBufferSize)));
  bufferPosition_ = 0;
  if (!fetch(buffer_.data(), buffer_.size())) {
    buffer_.clear();
    return -1;
  }
  std::size_t n = std::min(maxLength, buffer_.size());
  std::memcpy(buffer, buffer_.data(), n);
  bufferPosition_ = n;
  return static_cast<std::ptrdiff_t>(n);
}

void ZZChannelInputStream::close() {
  if (status_ != ZZStreamStatus::error) status_ = ZZStreamStatus::closed;
  buffer_.clear();
  bufferPosition_ = 0;
}
