#include "ZZInflateInputStream.h"

#include <algorithm>
#include <climits>

#include "ZZError.h"

namespace {
constexpr std::size_t kReadSize = 16384;
}

ZZInflateInputStream::ZZInflateInputStream(std::unique_ptr<ZZInputStream> upstream) : upstream_(std::move(upstream)) {}

void ZZInflateInputStream::open() {
  if (status_ != ZZStreamStatus::notOpen) return;
  upstream_->open();
  inflater_.emplace();
  if (!inflater_->ok()) {
    failWith(zzError(ZZErrorCode::entryDataInvalid, "the inflater could not start"));
    return;
  }
  buffer_.resize(kReadSize);
  status_ = ZZStreamStatus::open;
}

std::ptrdiff_t ZZInflateInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  if (status_ == ZZStreamStatus::atEnd) return 0;
  if (status_ == ZZStreamStatus::error) return -1;
  if (status_ != ZZStreamStatus::open)
    return failWith(zzError(ZZErrorCode::entryDataInvalid, "the stream is not open"));
  if (maxLength == 0) return 0;
  z_stream* z = inflater_->get();
  std::size_t room = std::min<std::size_t>(maxLength, UINT_MAX);
  z->next_out = buffer;
  z->avail_out = static_cast<uInt>(room);
  // Loop until something is produced: answering 0 mid-stream would read as the end.
  for (;;) {
    if (z->avail_in == 0 && !upstreamEnded_) {
      std::ptrdiff_t n = upstream_->read(buffer_.data(), buffer_.size());
      if (n < 0) {
        const auto& e = upstream_->streamError();
        return failWith(e ? *e : zzError(ZZErrorCode::entryDataInvalid, "the entry's data could not be read"));
      }
      if (n == 0) upstreamEnded_ = true;
      z->next_in = buffer_.data();
      z->avail_in = static_cast<uInt>(n);
    }
    int rc = ::inflate(z, Z_NO_FLUSH);
    std::size_t produced = room - z->avail_out;
    if (rc == Z_STREAM_END) {
      status_ = ZZStreamStatus::atEnd;
      return static_cast<std::ptrdiff_t>(produced);
    }
    if (rc != Z_OK && !(rc == Z_BUF_ERROR && z->avail_in == 0))
      return failWith(zzError(ZZErrorCode::entryDataInvalid, "the entry's compressed data is corrupt"));
    if (produced > 0) return static_cast<std::ptrdiff_t>(produced);
    if (upstreamEnded_ && z->avail_in == 0)
      return failWith(zzError(ZZErrorCode::entryDataInvalid, "the entry's compressed data ends early"));
  }
}

void ZZInflateInputStream::close() {
  inflater_.reset();
  buffer_.clear();
  upstream_->close();
  if (status_ != ZZStreamStatus::error) status_ = ZZStreamStatus::closed;
}

Result<Data> ZZInflateInputStream::decompressData(std::span<const std::uint8_t> compressed,
                                                  std::size_t uncompressedSize) {
  if (compressed.size() > UINT_MAX || uncompressedSize >= UINT_MAX)
    return fail(zzError(ZZErrorCode::entryDataInvalid, "the entry is too large"));
  ZZInflater inflater;
  if (!inflater.ok()) return fail(zzError(ZZErrorCode::entryDataInvalid, "the inflater could not start"));
  // The buffer grows as data comes: a declared size is a claim, not a promise. One spare byte
  // tells content that ends exactly at the size from content that goes on.
  const std::size_t limit = uncompressedSize + 1;
  Data out(std::min<std::size_t>(limit, std::max<std::size_t>(compressed.size() * 4, 64 * 1024)));
  z_stream* z = inflater.get();
  z->next_in = const_cast<Bytef*>(compressed.data());
  z->avail_in = static_cast<uInt>(compressed.size());
  int rc = Z_OK;
  for (;;) {
    z->next_out = out.data() + z->total_out;
    z->avail_out = static_cast<uInt>(out.size() - z->total_out);
    rc = ::inflate(z, Z_NO_FLUSH);
    if (rc == Z_STREAM_END || (rc != Z_OK && rc != Z_BUF_ERROR)) break;
    if (z->avail_out > 0) break;  // the input ran out before the stream's end
    if (out.size() >= limit) break;
    out.resize(std::min<std::size_t>(limit, out.size() * 2));
  }
  if (rc != Z_STREAM_END)
    return fail(zzError(ZZErrorCode::entryDataInvalid, "the entry's compressed data is corrupt or short"));
  if (z->total_out != uncompressedSize)
    return fail(zzError(ZZErrorCode::entryDataInvalid, "the entry's size differs from its header"));
  out.resize(uncompressedSize);
  return out;
}
