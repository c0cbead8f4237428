#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <tuple>

#include "platform/ImageHeader.h"
#include "platform/PictureStore.h"

namespace {

using FileKey = std::tuple<dev_t, ino_t, off_t, std::int64_t, long, std::int64_t, long>;

struct Looks {
  std::mutex mutex;
  std::map<FileKey, std::shared_future<bool>> answers;
  std::deque<FileKey> order;  // oldest first, to forget beyond `kept`
  std::size_t taken = 0;
  static constexpr std::size_t kept = 16384;
};

Looks& looks() {
  static Looks* shared = new Looks;
  return *shared;
}

bool look(int fd, std::uint64_t size) {
  auto readAt = [fd](std::uint64_t offset, std::span<std::uint8_t> into) {
    std::size_t got = 0;
    while (got < into.size()) {
      ssize_t n = ::pread(fd, into.data() + got, into.size() - got, off_t(offset + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += std::size_t(n);
    }
    return got;
  };
  return ImageHeader::isAnimation(readAt, size).value_or(false);
}

}  // namespace

bool PictureStore::isAnimation(int fd) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  FileKey key{st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
              st.st_ctim.tv_nsec};
  Looks& l = looks();
  std::promise<bool> mine;
  std::shared_future<bool> another;
  {
    std::lock_guard lock(l.mutex);
    if (auto found = l.answers.find(key); found != l.answers.end()) {
      another = found->second;
    } else {
      l.answers.emplace(key, mine.get_future().share());
      l.order.push_back(key);
      ++l.taken;
      while (l.order.size() > Looks::kept) {
        l.answers.erase(l.order.front());
        l.order.pop_front();
      }
    }
  }
  // Another request looks at this file now, or looked at it before.
  if (another.valid()) return another.get();
  bool animates = look(fd, std::uint64_t(st.st_size));
  mine.set_value(animates);
  return animates;
}

std::size_t PictureStore::animationLooks() {
  std::lock_guard lock(looks().mutex);
  return looks().taken;
}
