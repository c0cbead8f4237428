#include "platform/FileConfinement.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace {

// Rights of later kernels than the headers we build with may know.
constexpr std::uint64_t truncateRight = 1ULL << 14;  // rule set version 3
constexpr std::uint64_t deviceControlRight = 1ULL << 15;  // version 5
// TCP: binding and connecting (version 4); with no rule for any port, neither is allowed.
constexpr std::uint64_t tcpRights = 3;
// Scopes of version 6: abstract Unix sockets and signals of processes outside the confinement.
constexpr std::uint64_t outsideScopes = 3;

// The rule set's attributes as later kernels read them; a shorter size is given to earlier ones.
struct RulesetAttributes {
  std::uint64_t handledFiles = 0;
  std::uint64_t handledNetwork = 0;
  std::uint64_t scoped = 0;
};

constexpr std::uint64_t readRights =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
// The rights that a rule on a file, not a folder, may grant.
constexpr std::uint64_t fileRights =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE | truncateRight |
    deviceControlRight;

// What the tools we run read: libraries, their data and fonts, and the few settings of /etc
// they need; never a home folder, the temporary folder or the rest of /etc.
constexpr const char* systemPaths[] = {
    "/usr",           "/lib",          "/lib32",          "/lib64",          "/libx32",
    "/bin",           "/sbin",         "/etc/ld.so.cache", "/etc/ld.so.conf", "/etc/ld.so.conf.d",
    "/etc/fonts",     "/etc/papersize", "/etc/localtime",  "/etc/ghostscript", "/etc/alternatives",
    "/var/lib/ghostscript", "/var/cache/fontconfig", "/dev/zero", "/dev/urandom", "/dev/random",
};

int rulesetVersion() {
  long version = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  return version < 0 ? 0 : static_cast<int>(version);
}

std::uint64_t handledRights(int version) {
  std::uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // every right of version 1
  if (version >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
  if (version >= 3) rights |= truncateRight;
  if (version >= 5) rights |= deviceControlRight;
  return rights;
}

// Grants `rights` (as far as handled) below `path`; a path that is missing is passed over.
bool allow(int rules, const char* path, std::uint64_t rights, std::uint64_t handled) {
  int fd = ::open(path, O_PATH | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR;
  struct stat status {};
  bool allowed = ::fstat(fd, &status) == 0;
  if (allowed) {
    if (!S_ISDIR(status.st_mode)) rights &= fileRights;
    struct landlock_path_beneath_attr rule {};
    rule.allowed_access = rights & handled;
    rule.parent_fd = fd;
    allowed = ::syscall(SYS_landlock_add_rule, rules, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
  }
  ::close(fd);
  return allowed;
}

}  // namespace

bool FileConfinement::available() { return rulesetVersion() >= 1; }

int FileConfinement::version() { return rulesetVersion(); }

std::optional<FileConfinement> FileConfinement::create(const std::filesystem::path& folder,
                                                       const std::filesystem::path& program) {
  int version = rulesetVersion();
  if (version < 1) return std::nullopt;
  std::uint64_t handled = handledRights(version);
  RulesetAttributes attributes;
  attributes.handledFiles = handled;
  std::size_t size = sizeof attributes.handledFiles;
  if (version >= 4) {
    attributes.handledNetwork = tcpRights;
    size += sizeof attributes.handledNetwork;
  }
  if (version >= 6) {
    attributes.scoped = outsideScopes;
    size += sizeof attributes.scoped;
  }
  UniqueFd rules(static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attributes, size, 0)));
  if (!rules) return std::nullopt;
  bool made = true;
  for (const char* path : systemPaths) made = made && allow(rules.get(), path, readRights, handled);
  made = made && allow(rules.get(), program.c_str(), readRights, handled);
  made = made && allow(rules.get(), "/dev/null", fileRights, handled);
  // Nothing it made leaves the folder's listing while it may still hold it open.
  std::uint64_t removal = LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR;
  made = made && allow(rules.get(), folder.c_str(), handled & ~removal, handled);
  if (!made) return std::nullopt;
  return FileConfinement(std::move(rules));
}

bool FileConfinement::applyInChild() const noexcept {
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::syscall(SYS_landlock_restrict_self, rules_.get(), 0) == 0;
}
