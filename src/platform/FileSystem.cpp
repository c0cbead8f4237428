#include "FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <glib.h>

#include "GObjectPtr.h"
#include "UniqueFd.h"

namespace fs {

namespace {

// The longest name of one entry on the file systems korvel writes to.
constexpr std::size_t nameMax = 255;
// The widest process id a temporary's name may carry (processOfTemporary reads up to 9 digits).
constexpr std::size_t widestProcessId = 9;
constexpr std::string_view folderTemporaryMarker = ".korvel-tmp-";
// Room for the target's name in "." + name + ".korvel-tmp-" + pid + "-XXXXXX"; the same for
// every process, so that a sweep names what another process made.
constexpr std::size_t folderTemporaryNameRoom = nameMax - 1 - folderTemporaryMarker.size() - widestProcessId - 1 - 6;
// Room for the file's name in the stem of a file temporary, whose random part may take 16.
constexpr std::size_t fileTemporaryNameRoom = 200;

// `name` cut to at most `bytes` bytes, never inside a UTF-8 sequence.
std::string_view fitted(std::string_view name, std::size_t bytes) {
  if (name.size() <= bytes) return name;
  std::size_t end = bytes;
  for (int back = 0; back < 3 && end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80; ++back) --end;
  return name.substr(0, end);
}

Error fromStd(const std::error_code& ec, const Path& path, bool reading) {
  return Error::file(ec.value(), path.string(), reading);
}

Error confinedError(ConfinedErrorCode code, const Path& path, std::string message) {
  Error e(ConfinedErrorDomain, code, std::move(message));
  e.with(NSFilePathErrorKey, path.string());
  return e;
}

// Strictly below `folder` (both absolute and normal).
bool isBelow(const Path& path, const Path& folder) {
  Path relative = path.lexically_relative(folder);
  if (relative.empty() || relative == ".") return false;
  return *relative.begin() != "..";
}

struct Confined {
  Path folder;    // canonical
  Path resolved;  // canonical as far as it exists, below `folder`
};

Result<Confined> confine(const Path& folder, const Path& path) {
  if (folder.empty()) return fail(confinedError(outsideFolder, path, "There is no folder to read from."));
  if (path.native().find('\0') != std::string::npos)
    return fail(confinedError(outsideFolder, path, "The path holds a NUL character."));
  std::error_code ec;
  Path canonical = std::filesystem::canonical(folder, ec);
  if (ec) return fail(Error::file(ec.value(), folder.string()));
  Path absoluteFolder = std::filesystem::absolute(folder, ec).lexically_normal();
  Path lexical = (path.is_absolute() ? path : absoluteFolder / path).lexically_normal();
  // Written either against the folder as given or against its resolved form.
  if (!isBelow(lexical, absoluteFolder) && !isBelow(lexical, canonical))
    return fail(confinedError(outsideFolder, path, "The path leaves its folder."));
  Path resolved = std::filesystem::weakly_canonical(lexical, ec);
  if (ec) return fail(Error::file(ec.value(), lexical.string()));
  if (!isBelow(resolved, canonical)) return fail(confinedError(outsideFolder, path, "The path leads out of its folder."));
  return Confined{canonical, resolved};
}

// A relative path of plain names: nothing that climbs, nothing absolute.
bool isPlainRelative(const Path& relative) {
  if (relative.empty() || relative.is_absolute()) return false;
  for (const auto& part : relative) {
    if (part.empty() || part == "." || part == "..") return false;
    if (part.native().find('\0') != std::string::npos) return false;
  }
  return true;
}

// Steps from `dir` down through the folders of `relative`, never through a link; makes the
// missing ones when `create`.
Result<UniqueFd> walkDown(UniqueFd dir, const Path& relative, bool create, const Path& whole) {
  for (const auto& part : relative) {
    if (create && ::mkdirat(dir.get(), part.c_str(), 0755) != 0 && errno != EEXIST)
      return fail(Error::file(errno, whole.string(), false));
    UniqueFd next(::openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) {
      if (errno == ELOOP || errno == ENOTDIR)
        return fail(confinedError(outsideFolder, whole, "A folder on the way is a link or no folder."));
      return fail(Error::file(errno, whole.string(), create ? false : true));
    }
    dir = std::move(next);
  }
  return dir;
}

Result<void> commitInside(const Path& folder, const Path& relative, unsigned mode, std::string_view temporaryStem,
                          const std::function<Result<void>(int fd, const Path& whole)>& fill) {
  Path whole = folder / relative;
  if (!isPlainRelative(relative)) return fail(confinedError(outsideFolder, whole, "The name leaves its folder."));
  if (auto made = createDirectories(folder); !made) return fail(made.error());
  UniqueFd root(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) return fail(Error::file(errno, folder.string(), false));
  auto dir = walkDown(std::move(root), relative.parent_path(), true, whole);
  if (!dir) return fail(dir.error());
  std::string name = relative.filename().string();
  std::string temporary;
  UniqueFd out;
  for (int attempt = 0; attempt < 64 && !out; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", g_random_int());
    temporary = (temporaryStem.empty() ? processTemporaryStem(name) : std::string(temporaryStem)) + suffix;
    out.reset(::openat(dir->get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out && errno != EEXIST) return fail(Error::file(errno, whole.string(), false));
  }
  if (!out) return fail(Error::file(EEXIST, whole.string(), false));
  auto failed = [&](Error e) -> Result<void> {
    ::unlinkat(dir->get(), temporary.c_str(), 0);
    return fail(std::move(e));
  };
  if (auto filled = fill(out.get(), whole); !filled) return failed(filled.error());
  if (::fchmod(out.get(), mode) != 0 || ::fsync(out.get()) != 0 || !out.close())
    return failed(Error::file(errno, whole.string(), false));
  if (::renameat(dir->get(), temporary.c_str(), dir->get(), name.c_str()) != 0)
    return failed(Error::file(errno, whole.string(), false));
  return {};
}

}  // namespace

Result<Path> resolveInside(const Path& folder, const Path& path) {
  auto confined = confine(folder, path);
  if (!confined) return fail(confined.error());
  return confined->resolved;
}

Result<UniqueFd> openInside(const Path& folder, const Path& path) {
  auto confined = confine(folder, path);
  if (!confined) return fail(confined.error());
  Path relative = confined->resolved.lexically_relative(confined->folder);
  UniqueFd root(::open(confined->folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) return fail(Error::file(errno, confined->folder.string()));
  auto dir = walkDown(std::move(root), relative.parent_path(), false, confined->resolved);
  if (!dir) return fail(dir.error());
  // Non-blocking: a pipe planted under the name must not hold the caller.
  UniqueFd fd(::openat(dir->get(), relative.filename().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    if (errno == ELOOP) return fail(confinedError(outsideFolder, path, "The file became a link."));
    return fail(Error::file(errno, confined->resolved.string()));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(Error::file(errno, confined->resolved.string()));
  if (!S_ISREG(st.st_mode)) return fail(confinedError(notPlainFile, path, "Only plain files are read."));
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

Result<void> writeAll(int fd, const std::uint8_t* p, std::size_t n, const Path& path) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return fail(Error::file(errno, path.string(), false));
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return {};
}

Result<Data> readAll(int fd, const Path& path, std::uintmax_t limit) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(Error::file(errno, path.string()));
  if (static_cast<std::uintmax_t>(st.st_size) > limit)
    return fail(confinedError(tooLarge, path, "The file is too large."));
  Data out;
  if (st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t buf[65536];
  for (;;) {
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail(Error::file(errno, path.string()));
    }
    if (r == 0) break;
    // A file that grows while it is read is held to the same limit.
    if (out.size() + static_cast<std::size_t>(r) > limit)
      return fail(confinedError(tooLarge, path, "The file is too large."));
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

Result<Data> readFileInside(const Path& folder, const Path& path, std::uintmax_t limit) {
  auto fd = openInside(folder, path);
  if (!fd) return fail(fd.error());
  return readAll(fd->get(), path, limit);
}

Result<UniqueFd> openFolderInside(const Path& folder, const Path& relative, bool create) {
  Path whole = folder / relative;
  if (!relative.empty() && !isPlainRelative(relative))
    return fail(confinedError(outsideFolder, whole, "The name leaves its folder."));
  UniqueFd root(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) return fail(Error::file(errno, folder.string(), !create));
  return walkDown(std::move(root), relative, create, whole);
}

Result<void> writeInside(const Path& folder, const Path& relative, std::span<const std::uint8_t> bytes, unsigned mode,
                         std::string_view temporaryStem) {
  return commitInside(folder, relative, mode, temporaryStem, [&](int fd, const Path& whole) {
    return writeAll(fd, bytes.data(), bytes.size(), whole);
  });
}

Result<void> copyInside(const Path& sourceFolder, const Path& source, const Path& folder, const Path& relative,
                        unsigned mode) {
  auto in = openInside(sourceFolder, source);
  if (!in) return fail(in.error());
  return commitInside(folder, relative, mode, {}, [&](int fd, const Path& whole) -> Result<void> {
    std::uint8_t buf[65536];
    for (;;) {
      ssize_t r = ::read(in->get(), buf, sizeof buf);
      if (r < 0) {
        if (errno == EINTR) continue;
        return fail(Error::file(errno, source.string()));
      }
      if (r == 0) return {};
      if (auto w = writeAll(fd, buf, static_cast<std::size_t>(r), whole); !w) return w;
    }
  });
}

std::string kindOfItem(unsigned mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return "a plain file";
    case S_IFDIR: return "a folder";
    case S_IFLNK: return "a link";
    case S_IFIFO: return "a named pipe";
    case S_IFSOCK: return "a socket";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    default: return "no plain file";
  }
}

Result<UniqueFd> openPlainFile(int at, const Path& path, bool followLinks) {
  auto refused = [&](unsigned mode) {
    return fail(confinedError(notPlainFile, path, path.string() + " is " + kindOfItem(mode) + ", not a plain file"));
  };
  // Opening a pipe waits for its writer and a device may do anything: what isn't a plain file
  // is not opened, and one swapped in meanwhile is opened without waiting and let go.
  struct stat st {};
  if (::fstatat(at, path.c_str(), &st, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode) &&
      !S_ISDIR(st.st_mode))
    return refused(st.st_mode);
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
  UniqueFd fd(::openat(at, path.c_str(), flags));
  if (!fd) {
    // A socket, or a device without its driver.
    if (errno == ENXIO && ::fstatat(at, path.c_str(), &st, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(st.st_mode))
      return refused(st.st_mode);
    return fail(Error::file(errno, path.string()));
  }
  if (::fstat(fd.get(), &st) != 0) return fail(Error::file(errno, path.string()));
  if (S_ISDIR(st.st_mode)) return fail(Error::file(EISDIR, path.string()));
  if (!S_ISREG(st.st_mode)) return refused(st.st_mode);
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

Result<Data> readFile(const Path& path, std::uintmax_t limit) {
  auto fd = openPlainFile(AT_FDCWD, path);
  if (!fd) return fail(fd.error());
  return readAll(fd->get(), path, limit);
}

Result<Data> readFile(const Path& path) {
  auto opened = openPlainFile(AT_FDCWD, path);
  if (!opened) return fail(opened.error());
  const UniqueFd& fd = *opened;
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return fail(Error::file(errno, path.string()));
  Data out;
  if (st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t buf[65536];
  for (;;) {
    ssize_t r = ::read(fd.get(), buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail(Error::file(errno, path.string()));
    }
    if (r == 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

Result<std::string> readText(const Path& path) {
  auto data = readFile(path);
  if (!data) return fail(data.error());
  return stringFromData(*data);
}

std::chrono::system_clock::time_point dateOf(const timespec& time) {
  using namespace std::chrono;
  constexpr auto reach = duration_cast<seconds>(system_clock::duration::max()).count() - 1;
  if (time.tv_sec >= reach) return system_clock::time_point(seconds(reach));
  if (time.tv_sec <= -reach) return system_clock::time_point(seconds(-reach));
  auto nanos = std::clamp<long>(time.tv_nsec, 0, 999'999'999);
  return system_clock::time_point(duration_cast<system_clock::duration>(seconds(time.tv_sec) + nanoseconds(nanos)));
}

Result<void> writeAtomically(const Path& path, std::span<const std::uint8_t> bytes, unsigned mode,
                             std::string_view temporaryStem) {
  Path dir = path.parent_path().empty() ? Path(".") : path.parent_path();
  // Named after this process, so that what a kill leaves is told from a write under way, and
  // short enough for a file of the longest name.
  std::string stem = temporaryStem.empty() ? processTemporaryStem(path.filename().string()) : std::string(temporaryStem);
  std::string tmpl = (dir / (stem + "XXXXXX")).string();
  UniqueFd fd(::mkstemp(tmpl.data()));
  if (fd.get() < 0) return fail(Error::file(errno, path.string(), false));
  auto cleanup = [&] { ::unlink(tmpl.c_str()); };
  if (::fchmod(fd.get(), mode) != 0) {
    int e = errno;
    cleanup();
    return fail(Error::file(e, path.string(), false));
  }
  if (auto r = writeAll(fd.get(), bytes.data(), bytes.size(), path); !r) {
    cleanup();
    return r;
  }
  if (::fsync(fd.get()) != 0 || !fd.close()) {
    int e = errno;
    cleanup();
    return fail(Error::file(e, path.string(), false));
  }
  if (::rename(tmpl.c_str(), path.c_str()) != 0) {
    int e = errno;
    cleanup();
    return fail(Error::file(e, path.string(), false));
  }
  return {};
}

Result<void> writeAtomically(const Path& path, std::string_view text, unsigned mode) {
  return writeAtomically(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), mode);
}

Result<Path> makeSiblingTemporaryFolder(const Path& target) {
  Path dir = target.parent_path().empty() ? Path(".") : target.parent_path();
  std::string name = target.filename().string();
  if (name.empty()) name = "item";
  // The maker's process id in the name tells a folder in use from one a killed process left; a
  // long name is cut so that the folder's fits.
  std::string tmpl = (dir / ("." + std::string(fitted(name, folderTemporaryNameRoom)) + std::string(folderTemporaryMarker) +
                             std::to_string(::getpid()) + "-XXXXXX"))
                         .string();
  if (!::mkdtemp(tmpl.data())) return fail(Error::file(errno, dir.string(), false));
  return Path(tmpl);
}

std::size_t removeStaleSiblingTemporaries(const Path& target) {
  Path dir = target.parent_path().empty() ? Path(".") : target.parent_path();
  std::string name = target.filename().string();
  auto cut = fitted(name, folderTemporaryNameRoom);
  std::size_t removed = removeStaleTemporaries(dir, "." + std::string(cut) + std::string(folderTemporaryMarker));
  // Names made whole by earlier builds, where the maker's process id left room.
  if (cut.size() != name.size()) removed += removeStaleTemporaries(dir, "." + name + std::string(folderTemporaryMarker));
  return removed;
}

namespace {

// The process id in `name` = `prefix`<pid>-…; none when it carries none.
std::optional<pid_t> processOfTemporary(std::string_view name, std::string_view prefix) {
  if (name.substr(0, prefix.size()) != prefix) return std::nullopt;
  auto rest = name.substr(prefix.size());
  auto dash = rest.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash > 9) return std::nullopt;
  pid_t pid = 0;
  for (char c : rest.substr(0, dash)) {
    if (c < '0' || c > '9') return std::nullopt;
    pid = pid * 10 + (c - '0');
  }
  return pid > 0 ? std::optional(pid) : std::nullopt;
}

}  // namespace

bool isLiveProcessTemporary(std::string_view name, std::string_view prefix) {
  auto pid = processOfTemporary(name, prefix);
  return pid && (*pid == ::getpid() || ::kill(*pid, 0) == 0 || errno == EPERM);
}

std::string processTemporaryStem(std::string_view name) {
  return "." + std::string(fitted(name, fileTemporaryNameRoom)) + ".korvel-" + std::to_string(::getpid()) + "-";
}

namespace {

constexpr std::string_view fileTemporaryMarker = ".korvel-";

// The part of `entry` from ".korvel-" on, when it is named as a file write's temporary.
std::optional<std::string_view> fileTemporaryTail(std::string_view entry) {
  auto at = entry.rfind(fileTemporaryMarker);
  if (entry.empty() || entry[0] != '.' || at == 0 || at == std::string_view::npos) return std::nullopt;
  auto rest = entry.substr(at);
  if (!processOfTemporary(rest, fileTemporaryMarker)) return std::nullopt;
  auto suffix = rest.substr(rest.find('-', fileTemporaryMarker.size()) + 1);
  if (suffix.size() < 6 || suffix.size() > 16) return std::nullopt;
  for (char c : suffix)
    if (!g_ascii_isalnum(c)) return std::nullopt;
  return rest;
}

}  // namespace

bool isEndedProcessTemporary(std::string_view entry) {
  auto tail = fileTemporaryTail(entry);
  return tail && !isLiveProcessTemporary(*tail, fileTemporaryMarker);
}

bool isLiveProcessFileTemporary(std::string_view entry) {
  auto tail = fileTemporaryTail(entry);
  return tail && isLiveProcessTemporary(*tail, fileTemporaryMarker);
}

std::size_t removeStaleTemporaries(const Path& folder, std::string_view prefix) {
  std::size_t removed = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    // Only "<prefix><pid>-XXXXXX" folders we made, of a process that is gone.
    auto dash = name.find('-', prefix.size());
    if (dash == std::string::npos || name.size() - dash - 1 != 6 || !processOfTemporary(name, prefix) ||
        isLiveProcessTemporary(name, prefix))
      continue;
    struct stat status {};
    if (::lstat(it->path().c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) continue;
    if (removeItem(it->path())) ++removed;
  }
  return removed;
}

std::size_t removeEntriesInside(const Path& folder, const std::function<bool(std::string_view)>& matches) {
  return removeEntriesInside(UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)), matches);
}

std::size_t removeEntriesInside(UniqueFd fd, const std::function<bool(std::string_view)>& matches) {
  if (!fd) return 0;
  DIR* dir = ::fdopendir(fd.get());
  if (!dir) return 0;
  int dirfd = fd.release();
  std::vector<std::string> found;
  while (dirent* e = ::readdir(dir)) {
    std::string_view name = e->d_name;
    if (name != "." && name != ".." && matches(name)) found.emplace_back(name);
  }
  std::size_t removed = 0;
  for (const auto& name : found) {
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode) &&
        ::unlinkat(dirfd, name.c_str(), 0) == 0)
      ++removed;
  }
  ::closedir(dir);
  return removed;
}

Result<TemporaryFolder> TemporaryFolder::besides(const Path& target) {
  auto p = makeSiblingTemporaryFolder(target);
  if (!p) return fail(p.error());
  return TemporaryFolder(*p);
}

Result<TemporaryFolder> TemporaryFolder::inSystemTemp(std::string_view prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + std::string(prefix) + "-XXXXXX";
  if (!::mkdtemp(tmpl.data())) return fail(Error::file(errno, tmpl, false));
  return TemporaryFolder(Path(tmpl));
}

TemporaryFolder::TemporaryFolder(TemporaryFolder&& other) noexcept : path_(std::move(other.path_)) {
  other.path_.clear();
}
TemporaryFolder& TemporaryFolder::operator=(TemporaryFolder&& other) noexcept {
  if (this != &other) {
    if (!path_.empty()) (void)removeItem(path_);
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}
TemporaryFolder::~TemporaryFolder() {
  if (!path_.empty()) (void)removeItem(path_);
}
Path TemporaryFolder::release() {
  Path p = std::move(path_);
  path_.clear();
  return p;
}

Result<void> copyItem(const Path& from, const Path& to) {
  std::error_code ec;
  auto st = std::filesystem::symlink_status(from, ec);
  if (ec || !std::filesystem::exists(st)) return fail(Error::file(ec ? ec.value() : ENOENT, from.string()));
  if (std::filesystem::exists(std::filesystem::symlink_status(to, ec)))
    return fail(Error::file(EEXIST, to.string(), false));
  using co = std::filesystem::copy_options;
  std::filesystem::copy(from, to, co::recursive | co::copy_symlinks, ec);
  if (ec) return fail(fromStd(ec, to, false));
  return {};
}

UniqueFd openFolderAsOwner(int at, const char* name) {
  // A handle that needs no right on the folder itself, so that the mode changed is that of
  // the very folder found, never of what a link put in its place would point to.
  UniqueFd handle(::openat(at, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!handle || ::fstat(handle.get(), &status) != 0) return UniqueFd();
  if ((status.st_mode & S_IRWXU) != S_IRWXU && status.st_uid == ::geteuid()) {
    std::string self = "/proc/self/fd/" + std::to_string(handle.get());
    (void)::chmod(self.c_str(), (status.st_mode & 07777) | S_IRWXU);
  }
  return UniqueFd(::openat(handle.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

namespace {

// Deeper than this, a tree that shut its owner out is left as it is.
constexpr int maximumOpenedDepth = 256;

// Gives the folders below the one open as `folder` back to their owner.
void openUpInside(int folder, int depth) {
  if (depth >= maximumOpenedDepth) return;
  UniqueFd listing(::dup(folder));
  DIR* dir = listing ? ::fdopendir(listing.get()) : nullptr;
  if (!dir) return;
  listing.release();
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    struct stat status {};
    if (::fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode)) continue;
    if (auto inner = openFolderAsOwner(folder, entry->d_name)) openUpInside(inner.get(), depth + 1);
  }
  ::closedir(dir);
}

}  // namespace

Result<void> removeItem(const Path& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec && (ec.value() == EACCES || ec.value() == EPERM)) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
      if (auto folder = openFolderAsOwner(AT_FDCWD, path.c_str())) openUpInside(folder.get(), 0);
    ec.clear();
    std::filesystem::remove_all(path, ec);
  }
  if (ec && ec.value() != ENOENT) return fail(fromStd(ec, path, false));
  return {};
}

Result<void> createDirectories(const Path& path, unsigned mode) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    // A private folder stays private, whatever mode it was found with.
    if ((mode & 077) == 0) ::chmod(path.c_str(), mode);
    return {};
  }
  std::filesystem::create_directories(path, ec);
  if (ec) return fail(fromStd(ec, path, false));
  ::chmod(path.c_str(), mode);
  return {};
}

Result<void> moveItem(const Path& from, const Path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return fail(Error::file(errno, from.string(), false));
  return {};
}

bool exists(const Path& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

std::optional<FileIdentity> fileIdentity(const Path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                      static_cast<std::int64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec),
                      static_cast<std::int64_t>(st.st_mtim.tv_nsec), static_cast<std::int64_t>(st.st_ctim.tv_sec),
                      static_cast<std::int64_t>(st.st_ctim.tv_nsec), S_ISREG(st.st_mode)};
}

Result<void> requireUnchanged(const Path& path, const std::optional<FileIdentity>& expected) {
  auto now = fileIdentity(path);
  if (!now && errno != ENOENT) return fail(Error::posix(errno, path.string()));
  if (now == expected) return {};
  Error e(ChangedMeanwhileErrorDomain, 1,
          path.string() + (expected ? ": changed by another program meanwhile" : ": made by another program meanwhile"));
  e.with(NSFilePathErrorKey, path.string());
  return fail(std::move(e));
}

bool isChangedMeanwhile(const Error& error) {
  const Error* e = &error;
  for (int depth = 0; e && depth < 32; ++depth, e = e->underlying.get())
    if (e->domain == ChangedMeanwhileErrorDomain) return true;
  return false;
}

Result<void> trashItem(const Path& path) {
  GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
  GError* err = nullptr;
  if (!g_file_trash(file.get(), nullptr, &err)) {
    Error e("com.korvel.fs", err ? err->code : 0, err ? err->message : "could not move to the trash");
    e.with(NSFilePathErrorKey, path.string());
    g_clear_error(&err);
    return fail(std::move(e));
  }
  return {};
}

}  // namespace fs
