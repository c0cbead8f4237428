#include "platform/FileMonitor.h"

#include <glib-unix.h>
#include <sys/inotify.h>

#include <cerrno>
#include <vector>

#include "platform/RunLoop.h"

namespace {
constexpr std::uint32_t kFolderMask =
    IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF;
}

Result<std::unique_ptr<FileMonitor>> FileMonitor::create(const std::filesystem::path& root, Handler handler) {
  UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd) return fail(Error::posix(errno, "inotify_init1"));
  std::unique_ptr<FileMonitor> monitor(new FileMonitor(root, std::move(handler), std::move(fd)));
  monitor->watchTree(root);
  if (monitor->folders_.empty()) return fail(Error::file(ENOENT, root.string()));
  return monitor;
}

FileMonitor::FileMonitor(const std::filesystem::path& root, Handler handler, UniqueFd fd)
    : root_(root), handler_(std::move(handler)), fd_(std::move(fd)) {
  sourceId_ = g_unix_fd_add(fd_.get(), G_IO_IN, reinterpret_cast<GUnixFDSourceFunc>(&FileMonitor::onReadable), this);
}

FileMonitor::~FileMonitor() {
  if (sourceId_) g_source_remove(sourceId_);
}

bool FileMonitor::skipsFolder(const std::string& name) {
  return name == "node_modules" || (!name.empty() && name[0] == '.');
}

void FileMonitor::watchFolder(const std::filesystem::path& folder) {
  int wd = ::inotify_add_watch(fd_.get(), folder.c_str(), kFolderMask | IN_ONLYDIR);
  if (wd >= 0) folders_[wd] = folder;
}

void FileMonitor::watchTree(const std::filesystem::path& folder) {
  watchFolder(folder);
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_directory(ec) || it->is_symlink(ec)) continue;
    if (skipsFolder(it->path().filename().string())) continue;
    watchTree(it->path());
  }
}

int FileMonitor::onReadable(int, unsigned, void* self) {
  static_cast<FileMonitor*>(self)->readEvents();
  return G_SOURCE_CONTINUE;
}

void FileMonitor::readEvents() {
  alignas(struct inotify_event) char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    for (char* p = buffer; p < buffer + n;) {
      auto* event = reinterpret_cast<struct inotify_event*>(p);
      p += sizeof(struct inotify_event) + event->len;
      auto folder = folders_.find(event->wd);
      if (folder == folders_.end()) continue;
      if (event->mask & IN_IGNORED) {
        folders_.erase(folder);
        continue;
      }
      std::filesystem::path changed = event->len ? folder->second / event->name : folder->second;
      bool isFolder = event->mask & IN_ISDIR;
      if (isFolder && event->len && skipsFolder(event->name)) continue;
      if (isFolder && (event->mask & (IN_CREATE | IN_MOVED_TO))) watchTree(changed);
      pending_.insert(changed);
    }
  }
  if (!pending_.empty() && !deliveryQueued_) {
    deliveryQueued_ = true;
    std::weak_ptr<bool> alive = alive_;
    MainQueue::async([this, alive] {
      if (alive.expired()) return;
      deliver();
    });
  }
}

void FileMonitor::deliver() {
  deliveryQueued_ = false;
  auto paths = std::move(pending_);
  pending_.clear();
  // The handler may end this monitor.
  std::weak_ptr<bool> alive = alive_;
  auto handler = handler_;
  for (auto& path : paths) {
    if (alive.expired()) return;
    handler(path);
  }
}
