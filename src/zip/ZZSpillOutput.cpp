#include "ZZSpillOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace {

constexpr std::size_t kMaximumWrite = INT_MAX;

class SpillInput final : public ZZChannelInput {
 public:
  SpillInput(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  std::uint64_t size() const override { return size_; }
  int fileDescriptor() const override { return fd_; }
  Result<void> readAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    if (offset > size_ || out.size() > size_ - offset) return fail(Error::posix(EIO, "read past a temporary file's end"));
    std::size_t done = 0;
    while (done < out.size()) {
      ssize_t r = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return fail(Error::posix(errno, "a temporary file could not be read"));
      if (r == 0) return fail(Error::posix(EIO, "a temporary file ended early"));
      done += static_cast<std::size_t>(r);
    }
    return {};
  }

 private:
  int fd_;
  std::uint64_t size_;
};

// A file without a name where the system allows one, else a named one removed at once: either
// way nothing is left behind, whatever ends the process.
Result<UniqueFd> unnamedFile(const std::filesystem::path& folder) {
  UniqueFd fd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (fd) return fd;
  std::string pattern = (folder / ".spill-XXXXXX").string();
  fd = UniqueFd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd) return fail(Error::posix(errno, folder.string()));
  ::unlink(pattern.c_str());
  return fd;
}

Result<void> writeAll(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, std::min(n, kMaximumWrite));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return fail(Error::posix(errno, "a temporary file could not be written"));
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return {};
}

}  // namespace

ZZSpillOutput::ZZSpillOutput(std::filesystem::path spillFolder, std::size_t memoryLimit, std::function<bool()> cancelled,
                             std::function<bool(std::size_t)> mayUseDisk)
    : folder_(std::move(spillFolder)),
      limit_(memoryLimit),
      cancelled_(std::move(cancelled)),
      mayUseDisk_(std::move(mayUseDisk)) {}

namespace {
Error noRoom() { return Error::posix(ENOSPC, "no room to prepare the entry ahead of its turn"); }
}  // namespace

Result<void> ZZSpillOutput::seekToOffset(std::uint64_t offset) {
  if (offset == size_) return {};
  return fail(Error::posix(ESPIPE, "a temporary output only appends"));
}

Result<void> ZZSpillOutput::truncateAtOffset(std::uint64_t offset) {
  if (offset == size_) return {};
  return fail(Error::posix(ESPIPE, "a temporary output only appends"));
}

Result<void> ZZSpillOutput::spill() {
  if (mayUseDisk_ && !mayUseDisk_(buffer_.size())) return fail(noRoom());
  auto fd = unnamedFile(folder_);
  if (!fd) return fail(fd.error());
  if (auto r = writeAll(fd->get(), buffer_.data(), buffer_.size()); !r) return r;
  file_ = std::move(*fd);
  Data().swap(buffer_);
  return {};
}

Result<void> ZZSpillOutput::writeData(std::span<const std::uint8_t> bytes) {
  if (cancelled_ && cancelled_()) return fail(Error::posix(ECANCELED, "the update was stopped"));
  if (!file_ && bytes.size() > limit_ - std::min(limit_, buffer_.size())) {
    if (auto r = spill(); !r) return r;
  }
  if (file_) {
    if (mayUseDisk_ && !mayUseDisk_(bytes.size())) return fail(noRoom());
    if (auto r = writeAll(file_.get(), bytes.data(), bytes.size()); !r) return r;
  } else {
    if (buffer_.size() + bytes.size() > buffer_.capacity())
      buffer_.reserve(std::min(limit_, std::max(buffer_.size() + bytes.size(), buffer_.capacity() * 2)));
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  }
  size_ += bytes.size();
  return {};
}

Result<void> ZZSpillOutput::close() {
  // What waits for its turn holds no more memory than its bytes.
  if (buffer_.capacity() > buffer_.size() + buffer_.size() / 8) buffer_.shrink_to_fit();
  return {};
}

Result<void> ZZSpillOutput::appendTo(ZZChannelOutput& output) const {
  if (!file_) return output.writeData(buffer_);
  SpillInput input(file_.get(), size_);
  return output.copyFrom(input, 0, size_);
}
