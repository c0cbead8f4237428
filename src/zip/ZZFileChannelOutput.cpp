#include "ZZFileChannelOutput.h"

#include <fcntl.h>
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

ZZFileChannelOutput::ZZFileChannelOutput(UniqueFd fd, std::filesystem::path path)
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
  if (auto r = runPendingCopy(); !r) return r;
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
  if (!fd_) return fail(Error::posix(EBADF, path_.string()));
  if (auto r = runPendingCopy(); !r) return r;
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
  // Bytes not yet written that would land past the cut are dropped, never written first: the
  // cut may be what gives a full volume its room back.
  if (offset <= position_) {
    buffer_.clear();
    pendingCopy_ = {};
  } else if (auto r = flush(); !r) {
    return r;
  }
  if (::ftruncate(fd_.get(), static_cast<off_t>(offset)) != 0) return fail(Error::posix(errno, path_.string()));
  return {};
}

Result<void> ZZFileChannelOutput::copyFrom(const ZZChannelInput& input, std::uint64_t offset, std::uint64_t length) {
  int in = input.fileDescriptor();
  if (in < 0 || offset > input.size() || length > input.size() - offset)
    return ZZChannelOutput::copyFrom(input, offset, length);
  if (pendingCopy_.length > 0 && pendingCopy_.fd == in && pendingCopy_.offset + pendingCopy_.length == offset) {
    pendingCopy_.length += length;
    return {};
  }
  if (auto r = flush(); !r) return r;
  pendingCopy_ = {in, offset, length};
  return {};
}

Result<void> ZZFileChannelOutput::runPendingCopy() {
  if (pendingCopy_.length == 0) return {};
  PendingCopy copy = pendingCopy_;
  pendingCopy_ = {};
  // The kernel copies between the files without passing the bytes through us.
  auto inOffset = static_cast<off_t>(copy.offset);
  auto outOffset = static_cast<off_t>(position_);
  std::uint64_t length = copy.length;
  while (length > 0) {
    ssize_t n = ::copy_file_range(copy.fd, &inOffset, fd_.get(), &outOffset,
                                  static_cast<std::size_t>(std::min<std::uint64_t>(length, kMaximumWrite)), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
      return fail(Error::posix(errno, path_.string()));
    }
    if (n == 0) return fail(Error::posix(EIO, path_.string() + ": the archive ended early"));
    length -= static_cast<std::uint64_t>(n);
    position_ = static_cast<std::uint64_t>(outOffset);
  }
  // Where the kernel cannot copy, the bytes pass through a buffer.
  Data chunk(static_cast<std::size_t>(std::min<std::uint64_t>(length, kBufferSize)));
  while (length > 0) {
    auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, chunk.size()));
    std::size_t done = 0;
    while (done < n) {
      ssize_t r = ::pread(copy.fd, chunk.data() + done, n - done, inOffset + static_cast<off_t>(done));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return fail(Error::posix(errno, path_.string()));
      if (r == 0) return fail(Error::posix(EIO, path_.string() + ": the archive ended early"));
      done += static_cast<std::size_t>(r);
    }
    if (auto r = writeAll(chunk.data(), n); !r) return r;
    inOffset += static_cast<off_t>(n);
    length -= n;
  }
  // Start writing the copy back now, so that the sync at close has less left to wait for.
  ::sync_file_range(fd_.get(), static_cast<off_t>(position_ - copy.length), static_cast<off_t>(copy.length),
                    SYNC_FILE_RANGE_WRITE);
  return {};
}

Result<void> ZZFileChannelOutput::close() {
  if (!fd_) return {};
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
