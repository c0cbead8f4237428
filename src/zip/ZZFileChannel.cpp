#include "ZZFileChannel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ZZFileChannelOutput.h"
#include "platform/UniqueFd.h"
#include "platform/FileSystem.h"

namespace {

class ZZFileChannelInput : public ZZChannelInput {
 public:
  ZZFileChannelInput(UniqueFd fd, std::uint64_t size, std::filesystem::path path)
      : fd_(std::move(fd)), size_(size), path_(std::move(path)) {}

  std::uint64_t size() const override { return size_; }
  int fileDescriptor() const override { return fd_.get(); }

  Result<void> readAt(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    if (offset > size_ || out.size() > size_ - offset)
      return fail(Error::posix(EIO, path_.string() + ": read past the end of the archive"));
    std::size_t done = 0;
    while (done < out.size()) {
      ssize_t r = ::pread(fd_.get(), out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (r < 0) {
        if (errno == EINTR) continue;
        return fail(Error::posix(errno, path_.string()));
      }
      if (r == 0) return fail(Error::posix(EIO, path_.string() + ": the archive is shorter than when it was opened"));
      done += static_cast<std::size_t>(r);
    }
    return {};
  }

 private:
  UniqueFd fd_;
  std::uint64_t size_;
  std::filesystem::path path_;
};

}  // namespace

Result<std::shared_ptr<ZZChannelInput>> ZZFileChannel::newInput() {
  // A pipe or a device under the archive's name is refused at once, never waited on.
  auto opened = fs::openPlainFile(AT_FDCWD, url_);
  if (!opened) return fail(opened.error());
  UniqueFd fd = std::move(*opened);
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return fail(Error::file(errno, url_.string(), true));
  auto size = static_cast<std::uint64_t>(st.st_size);
  return std::make_shared<ZZFileChannelInput>(std::move(fd), size, url_);
}

Result<std::unique_ptr<ZZChannelOutput>> ZZFileChannel::newOutput() {
  // Without waiting for a pipe's reader; only a plain file is written in place.
  UniqueFd fd(::open(url_.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644));
  if (!fd) return fail(Error::posix(errno, url_.string()));
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return fail(Error::posix(errno, url_.string()));
  if (!S_ISREG(st.st_mode))
    return fail(Error::posix(EINVAL, url_.string() + " is " + fs::kindOfItem(st.st_mode) + ", not a plain file"));
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return std::make_unique<ZZFileChannelOutput>(std::move(fd), url_);
}

Result<std::shared_ptr<ZZChannel>> ZZFileChannel::temporaryChannel() {
  auto folder = fs::makeSiblingTemporaryFolder(url_);
  if (!folder) return fail(folder.error());
  auto channel = std::make_shared<ZZFileChannel>(*folder / url_.filename());
  channel->temporaryFolder_ = *folder;
  return channel;
}

Result<void> ZZFileChannel::replaceWithChannel(ZZChannel& channel) {
  auto* other = dynamic_cast<ZZFileChannel*>(&channel);
  if (!other) return fail(Error::posix(EINVAL, url_.string() + ": not replaceable by a memory channel"));
  // The replacement keeps the permissions of the file it replaces.
  struct stat st{};
  if (::stat(url_.c_str(), &st) == 0) {
    if (::chmod(other->url_.c_str(), st.st_mode & 07777) != 0) return fail(Error::posix(errno, other->url_.string()));
  } else if (errno != ENOENT) {
    return fail(Error::posix(errno, url_.string()));
  }
  if (::rename(other->url_.c_str(), url_.c_str()) != 0) return fail(Error::posix(errno, url_.string()));
  // Make the rename itself durable.
  auto dir = url_.parent_path().empty() ? std::filesystem::path(".") : url_.parent_path();
  UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd) ::fsync(dirFd.get());
  return {};
}

void ZZFileChannel::removeAsTemporary() {
  if (temporaryFolder_.empty()) return;
  (void)fs::removeItem(temporaryFolder_);
  temporaryFolder_.clear();
}
