#include "ZZFileChannelOutput.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace {
constexpr std::size_t kBufferSize = 1 << 20;
// The most one write call takes.
constexpr std::size_t kMaximumWrite = INT_MAX;
}  // namespace

ZZFileChannelOutput::ZZFileChannelOutput(ZZFileDescriptor fd, std::filesystem::path path)
    : fd_(std::move(fd)), path_(std::move(path)) {
  buffer_.reserve(kBufferSize);
}

Result<void> ZZFileChannelOutput::writeAll(const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::pwrite(fd_.get(), p, std::min(n, kMaximumWrite), static_cast<off_t>(position_));
    if (w < 0) {
      if (errno == EINTR) continue;
      return fail(Error::posix(errno, path_.string()));
    }
    p += w;
    n -= static_cast<std::size_t>(w);
    position_ += static_cast<std::uint64_t>(w);
  }
  return {};
}

Result<void> ZZFileChannelOutput::flush() {
  if (buffer_.empty()) return {};
  auto r = writeAll(buffer_.data(), buffer_.size());
  buffer_.clear();
  return r;
}

Result<void> ZZFileChannelOutput::seekToOffset(std::uint64_t offset) {
  if (auto r = flush(); !r) return r;
  position_ = offset;
  return {};
}

Result<void> ZZFileChannelOutput::writeData(std::span<const std::uint8_t> bytes) {
  if (!fd_.valid()) return fail(Error::posix(EBADF, path_.string()));
  if (bytes.size() >= kBufferSize) {
    if (auto r = flush(); !r) return r;
    return writeAll(bytes.data(), bytes.size());
  }
  if (buffer_.size() + bytes.size() > kBufferSize) {
    if (auto r = flush(); !r) return r;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return {};
}

Result<void> ZZFileChannelOutput::truncateAtOffset(std::uint64_t offset) {
  if (auto r = flush(); !r) return r;
  if (::ftruncate(fd_.get(), static_cast<off_t>(offset)) != 0) return fail(Error::posix(errno, path_.string()));
  return {};
}

Result<void> ZZFileChannelOutput::copyFrom(const ZZChannelInput& input, std::uint64_t offset, std::uint64_t length) {
  int in = input.fileDescriptor();
  if (in < 0 || offset > input.size() || length > input.size() - offset)
    return ZZChannelOutput::copyFrom(input, offset, length);
  if (auto r = flush(); !r) return r;
  // The kernel copies between the files without passing the bytes through us.
  auto inOffset = static_cast<off_t>(offset);
  auto outOffset = static_cast<off_t>(position_);
  while (length > 0) {
    ssize_t n = ::copy_file_range(in, &inOffset, fd_.get(), &outOffset,
                                  static_cast<std::size_t>(std::min<std::uint64_t>(length, kMaximumWrite)), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)
        return ZZChannelOutput::copyFrom(input, static_cast<std::uint64_t>(inOffset), length);
      return fail(Error::posix(errno, path_.string()));
    }
    if (n == 0) return fail(Error::posix(EIO, path_.string() + ": the archive ended early"));
    length -= static_cast<std::uint64_t>(n);
    position_ = static_cast<std::uint64_t>(outOffset);
  }
  return {};
}

Result<void> ZZFileChannelOutput::close() {
  if (!fd_.valid()) return {};
  auto flushed = flush();
  bool synced = ::fsync(fd_.get()) == 0;
  int syncError = errno;
  bool closed = ::close(fd_.release()) == 0;
  int closeError = errno;
  if (!flushed) return flushed;
  if (!synced) return fail(Error::posix(syncError, path_.string()));
  if (!closed) return fail(Error::posix(closeError, path_.string()));
  return {};
}
