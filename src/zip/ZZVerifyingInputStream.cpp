#include "ZZVerifyingInputStream.h"

#include <algorithm>

#include "ZZError.h"

ZZVerifyingInputStream::ZZVerifyingInputStream(std::unique_ptr<ZZInputStream> upstream, std::uint64_t expectedSize,
                                               std::optional<std::uint32_t> expectedCrc32, std::size_t entryIndex)
    : upstream_(std::move(upstream)),
      expectedSize_(expectedSize),
      expectedCrc32_(expectedCrc32),
      entryIndex_(entryIndex) {}

void ZZVerifyingInputStream::open() {
  if (status_ != ZZStreamStatus::notOpen) return;
  upstream_->open();
  if (upstream_->streamStatus() == ZZStreamStatus::error) {
    const auto& e = upstream_->streamError();
    failForEntry(e ? *e : zzError(ZZErrorCode::entryDataInvalid, "the entry could not be opened"));
    return;
  }
  status_ = ZZStreamStatus::open;
}

std::ptrdiff_t ZZVerifyingInputStream::failForEntry(Error e) {
  if (e.domain == ZZErrorDomain && !e.info(ZZEntryIndexKey)) e.with(ZZEntryIndexKey, std::to_string(entryIndex_));
  return failWith(std::move(e));
}

std::ptrdiff_t ZZVerifyingInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  if (status_ == ZZStreamStatus::atEnd) return 0;
  if (status_ == ZZStreamStatus::error) return -1;
  if (status_ != ZZStreamStatus::open)
    return failForEntry(zzError(ZZErrorCode::entryDataInvalid, "the stream is not open"));
  if (maxLength == 0) return 0;
  // Ask for one byte past the declared size at most, which is enough to notice extra content.
  std::uint64_t left = expectedSize_ - size_ + 1;
  std::size_t ask = static_cast<std::size_t>(std::min<std::uint64_t>(maxLength, left));
  std::ptrdiff_t n = upstream_->read(buffer, ask);
  if (n < 0) {
    const auto& e = upstream_->streamError();
    return failForEntry(e ? *e : zzError(ZZErrorCode::entryDataInvalid, "the entry's data could not be read"));
  }
  if (n > 0) {
    size_ += static_cast<std::uint64_t>(n);
    if (size_ > expectedSize_)
      return failForEntry(zzError(ZZErrorCode::entryDataInvalid, "the entry holds more data than its header says"));
    crc32_ = zzCrc32(crc32_, std::span(buffer, static_cast<std::size_t>(n)));
    return n;
  }
  if (size_ != expectedSize_)
    return failForEntry(zzError(ZZErrorCode::entryDataInvalid, "the entry's data ends early"));
  if (expectedCrc32_ && *expectedCrc32_ != crc32_)
    return failForEntry(zzError(ZZErrorCode::entryDataInvalid, "the entry's CRC-32 does not match its data"));
  status_ = ZZStreamStatus::atEnd;
  return 0;
}

void ZZVerifyingInputStream::close() {
  upstream_->close();
  if (status_ != ZZStreamStatus::error) status_ = ZZStreamStatus::closed;
}
