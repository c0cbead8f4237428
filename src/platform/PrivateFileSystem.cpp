#include "platform/PrivateFileSystem.h"

#include <fcntl.h>
#include <linux/mount.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Between fork and exec, or in the short-lived child: system calls only, no allocation.

bool configure(int context, const char* key, const char* value) {
  return ::syscall(SYS_fsconfig, context, FSCONFIG_SET_STRING, key, value, 0) == 0;
}

struct Options {
  char size[32], items[32], owner[32], group[32];
  bool owned;
};

// The mount of a new file system in memory, or -1.
int makeMount(const Options& options) {
  int context = static_cast<int>(::syscall(SYS_fsopen, "tmpfs", FSOPEN_CLOEXEC));
  if (context < 0) return -1;
  bool made =
      configure(context, "size", options.size) && configure(context, "nr_inodes", options.items) &&
      configure(context, "mode", "0700") &&
      (!options.owned || (configure(context, "uid", options.owner) && configure(context, "gid", options.group))) &&
      ::syscall(SYS_fsconfig, context, FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) == 0;
  int mount = made ? static_cast<int>(::syscall(SYS_fsmount, context, FSMOUNT_CLOEXEC,
                                                MOUNT_ATTR_NODEV | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NOEXEC))
                   : -1;
  ::close(context);
  return mount;
}

bool writeTo(const char* path, const char* text) {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool written = ::write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
  return ::close(fd) == 0 && written;
}

bool sendFd(int socket, int fd) {
  char byte = 0;
  iovec part{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  return ::sendmsg(socket, &message, MSG_NOSIGNAL) == 1;
}

UniqueFd receiveFd(int socket) {
  char byte = 0;
  iovec part{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got;
  do got = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
  while (got < 0 && errno == EINTR);
  cmsghdr* header = got == 1 ? CMSG_FIRSTHDR(&message) : nullptr;
  if (!header || header->cmsg_type != SCM_RIGHTS || header->cmsg_len != CMSG_LEN(sizeof(int))) return UniqueFd();
  int fd = -1;
  std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
  return UniqueFd(fd);
}

// A user may make a file system only in a user namespace of its own, in which our user and group
// stand for themselves so that both we and the tool may make files in it. A child makes it there
// and hands it over; the namespace lives on as the file system's.
UniqueFd mountInOwnNamespace(const Options& options) {
  char users[64], groups[64];
  std::snprintf(users, sizeof users, "%u %u 1", ::geteuid(), ::geteuid());
  std::snprintf(groups, sizeof groups, "%u %u 1", ::getegid(), ::getegid());
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return UniqueFd();
  UniqueFd ours(pair[0]), theirs(pair[1]);
  pid_t child = static_cast<pid_t>(::syscall(SYS_clone, CLONE_NEWUSER | CLONE_NEWNS | SIGCHLD, 0, 0, 0, 0));
  if (child == 0) {
    bool made = writeTo("/proc/self/setgroups", "deny") && writeTo("/proc/self/uid_map", users) &&
                writeTo("/proc/self/gid_map", groups);
    int mount = made ? makeMount(options) : -1;
    ::_exit(mount >= 0 && sendFd(theirs.get(), mount) ? 0 : 1);
  }
  if (child < 0) return UniqueFd();
  theirs.reset();
  UniqueFd mount = receiveFd(ours.get());
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return mount;
}

}  // namespace

std::optional<PrivateFileSystem> PrivateFileSystem::create(std::size_t bytes, std::size_t items,
                                                           std::optional<uid_t> owner) {
  Options options{};
  std::snprintf(options.size, sizeof options.size, "%zu", bytes);
  std::snprintf(options.items, sizeof options.items, "%zu", items + 1);
  options.owned = owner.has_value();
  if (owner) {
    std::snprintf(options.owner, sizeof options.owner, "%u", *owner);
    std::snprintf(options.group, sizeof options.group, "%u", *owner);
  }
  // The superuser may make one where it is; its file system then knows every user.
  UniqueFd mount(::geteuid() == 0 ? makeMount(options) : -1);
  if (!mount && !owner) mount = mountInOwnNamespace(options);
  if (!mount) return std::nullopt;
  return PrivateFileSystem(std::move(mount));
}

bool PrivateFileSystem::full() const {
  struct statfs status {};
  return ::fstatfs(mount_.get(), &status) != 0 || status.f_bfree == 0 || status.f_ffree == 0;
}

bool PrivateFileSystem::coverInChild(const char* path) noexcept {
  struct stat status {};
  if (::stat(path, &status) != 0) return errno == ENOENT;
  int context = static_cast<int>(::syscall(SYS_fsopen, "tmpfs", FSOPEN_CLOEXEC));
  if (context < 0) return false;
  bool made = configure(context, "size", "4096") && configure(context, "nr_inodes", "1") &&
              configure(context, "mode", "0555") &&
              ::syscall(SYS_fsconfig, context, FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) == 0;
  int mount = made ? static_cast<int>(::syscall(SYS_fsmount, context, FSMOUNT_CLOEXEC,
                                                MOUNT_ATTR_RDONLY | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOSUID |
                                                    MOUNT_ATTR_NOEXEC))
                   : -1;
  ::close(context);
  bool covered = mount >= 0 && ::syscall(SYS_move_mount, mount, "", AT_FDCWD, path, MOVE_MOUNT_F_EMPTY_PATH) == 0;
  if (mount >= 0) ::close(mount);
  return covered;
}

bool PrivateFileSystem::attachInChild(const char* path) const noexcept {
  return ::syscall(SYS_move_mount, mount_.get(), "", AT_FDCWD, path, MOVE_MOUNT_F_EMPTY_PATH) == 0 &&
         ::chdir(path) == 0;
}
