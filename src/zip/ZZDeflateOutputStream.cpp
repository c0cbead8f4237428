#include "ZZDeflateOutputStream.h"

#include <algorithm>
#include <climits>

#include "ZZError.h"

namespace {
constexpr std::size_t kBufferSize = 64 * 1024;
}

ZZDeflateOutputStream::ZZDeflateOutputStream(ZZChannelOutput& channelOutput, int compressionLevel)
    : channelOutput_(channelOutput), compressionLevel_(compressionLevel) {}

void ZZDeflateOutputStream::open() {
  if (status_ != ZZStreamStatus::notOpen) return;
  deflater_.emplace(compressionLevel_);
  if (!deflater_->ok()) {
    failWith(zzError(ZZErrorCode::entryWriteFailed, "the deflater could not start"));
    return;
  }
  buffer_.resize(kBufferSize);
  status_ = ZZStreamStatus::open;
}

// Runs deflate over the pending input and writes all it produces.
bool ZZDeflateOutputStream::deflateInto(int flush) {
  z_stream* z = deflater_->get();
  for (;;) {
    z->next_out = buffer_.data();
    z->avail_out = static_cast<uInt>(buffer_.size());
    int rc = ::deflate(z, flush);
    std::size_t produced = buffer_.size() - z->avail_out;
    if (rc == Z_STREAM_ERROR) {
      failWith(zzError(ZZErrorCode::entryWriteFailed, "deflate failed"));
      return false;
    }
    if (produced > 0) {
      if (auto r = channelOutput_.writeData(std::span(buffer_.data(), produced)); !r) {
        failWith(r.error());
        return false;
      }
      compressedSize_ += produced;
    }
    if (flush == Z_FINISH ? rc == Z_STREAM_END : (z->avail_in == 0 && z->avail_out != 0)) return true;
  }
}

std::ptrdiff_t ZZDeflateOutputStream::write(const std::uint8_t* buffer, std::size_t length) {
  if (status_ == ZZStreamStatus::notOpen) open();
  if (status_ != ZZStreamStatus::open)
    return failWith(zzError(ZZErrorCode::entryWriteFailed, "the stream is not open"));
  length = std::min<std::size_t>(length, std::min<std::size_t>(UINT_MAX, PTRDIFF_MAX));
  z_stream* z = deflater_->get();
  z->next_in = const_cast<Bytef*>(buffer);
  z->avail_in = static_cast<uInt>(length);
  if (!deflateInto(Z_NO_FLUSH)) return -1;
  crc32_ = zzCrc32(crc32_, std::span(buffer, length));
  uncompressedSize_ += length;
  return static_cast<std::ptrdiff_t>(length);
}

void ZZDeflateOutputStream::close() {
  if (status_ == ZZStreamStatus::notOpen) open();
  if (status_ == ZZStreamStatus::open) {
    deflater_->get()->avail_in = 0;
    if (deflateInto(Z_FINISH)) status_ = ZZStreamStatus::closed;
  }
  deflater_.reset();
  buffer_.clear();
  buffer_.shrink_to_fit();
}
