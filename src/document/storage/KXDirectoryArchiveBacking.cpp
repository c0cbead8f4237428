#include "KXDirectoryArchiveBacking.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <vector>

#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentArchiveError.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/RWLog.h"
#include "platform/UniqueFd.h"

namespace {

bool isNotFound(const Error& e) {
  return (e.domain == NSCocoaErrorDomain && (e.code == NSFileNoSuchFileError || e.code == NSFileReadNoSuchFileError)) ||
         (e.domain == NSPOSIXErrorDomain && e.code == ENOENT);
}

Error mapReadError(Error e) {
  if (isNotFound(e)) return KXDocumentArchiveError::notFound();
  return KXDocumentArchiveError::unknown(std::move(e));
}

Result<void> writeAll(int fd, const std::uint8_t* p, std::size_t n, const std::string& path) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return fail(Error::file(errno, path, false));
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return {};
}

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t slash = path.find('/', start);
    out.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) return out;
    start = slash + 1;
  }
}

// Calls `visit` for every regular file below `dirfd` that may belong to a document, without
// following symbolic links and without entering folders that can't hold such files.
void walk(int dirfd, const std::string& prefix, const std::function<void(int parent, const std::string& name,
                                                                         const std::string& relative)>& visit) {
  int copy = ::dup(dirfd);
  if (copy < 0) return;
  DIR* dir = ::fdopendir(copy);
  if (!dir) {
    ::close(copy);
    return;
  }
  std::vector<std::pair<std::string, bool>> items;  // name, is folder
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st{};
      if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
    }
    if (type == DT_DIR) items.emplace_back(name, true);
    if (type == DT_REG) items.emplace_back(name, false);
  }
  ::closedir(dir);
  std::sort(items.begin(), items.end());
  for (const auto& [name, isFolder] : items) {
    std::string relative = prefix.empty() ? name : prefix + "/" + name;
    if (!isFolder) {
      if (KXDocumentArchive::shouldInclude(relative)) visit(dirfd, name, relative);
      continue;
    }
    if (!KXDocumentArchive::mayContainIncludedFiles(relative)) continue;
    UniqueFd sub(::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub) walk(sub.get(), relative, visit);
  }
}

bool sameOrInside(const std::filesystem::path& inner, const std::filesystem::path& outer) {
  auto i = inner.begin();
  for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
    if (o->empty()) continue;  // a trailing separator
    if (i == inner.end() || *i != *o) return false;
  }
  return true;
}

std::filesystem::path canonicalPath(const std::filesystem::path& p) {
  std::error_code ec;
  auto c = std::filesystem::weakly_canonical(p, ec);
  return ec ? p.lexically_normal() : c;
}

// One reflection into a folder: the open root and what was written.
class FolderWriter {
 public:
  using Known = std::function<std::optional<KXDocumentManifest::Entry>(const std::string&)>;
  using Remember =
      std::function<void(const std::string&, const struct stat&, const KXDocumentManifest::Entry&, bool written)>;
  FolderWriter(UniqueFd root, std::string rootPath, Known known, Remember remember)
      : root_(std::move(root)), rootPath_(std::move(rootPath)), known_(std::move(known)), remember_(std::move(remember)) {}

  Result<KXDocumentManifest::Entry> write(const std::string& relative, const DataReader& reader) {
    auto parts = components(relative);
    auto parent = openParent(parts, relative);
    if (!parent) return fail(parent.error());
    int dirfd = parent->get();
    const std::string& name = parts.back();
    std::string full = rootPath_ + "/" + relative;

    struct stat existing{};
    bool exists = ::fstatat(dirfd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISREG(existing.st_mode)) {
      // An unchanged file keeps its bytes and its date: hash both, write only on a difference.
      std::optional<struct stat> hashed;
      auto old = known_(relative);
      if (!old) old = hashExisting(dirfd, name, hashed);
      auto now = KXDocumentArchive::makeEntry(reader);
      if (!now) return fail(now.error());
      if (old && *old == *now) {
        if (hashed) remember_(relative, *hashed, *now, false);
        return *now;
      }
    }

    std::string temporary = "." + name + ".korvel-" + crypto::hex(crypto::randomBytes(6));
    UniqueFd out(::openat(dirfd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          exists && S_ISREG(existing.st_mode) ? existing.st_mode & 07777 : 0644));
    if (!out) return fail(Error::file(errno, full, false));
    DataSink sink = [&](const std::uint8_t* p, std::size_t n) { return writeAll(out.get(), p, n, full); };
    auto entry = KXDocumentArchive::makeEntry(reader, &sink);
    struct stat written{};
    bool measured = ::fstat(out.get(), &written) == 0;
    bool closed = out.close();
    if (entry && !closed) entry = fail(Error::file(errno, full, false));
    if (!entry) {
      ::unlinkat(dirfd, temporary.c_str(), 0);
      return fail(entry.error());
    }
    if (exists && S_ISDIR(existing.st_mode)) {
      // A folder where the document now has a file: its content vanished from the document.
      std::error_code ec;
      std::filesystem::remove_all(full, ec);
    }
    if (::renameat(dirfd, temporary.c_str(), dirfd, name.c_str()) != 0) {
      int e = errno;
      ::unlinkat(dirfd, temporary.c_str(), 0);
      return fail(Error::file(e, full, false));
    }
    // The rename changed the file's status time: take it, unless the file is no longer ours.
    struct stat placed{};
    if (measured && ::fstatat(dirfd, name.c_str(), &placed, AT_SYMLINK_NOFOLLOW) == 0 && placed.st_ino == written.st_ino &&
        placed.st_dev == written.st_dev && placed.st_size == written.st_size &&
        placed.st_mtim.tv_sec == written.st_mtim.tv_sec && placed.st_mtim.tv_nsec == written.st_mtim.tv_nsec)
      remember_(relative, placed, *entry, true);
    return *entry;
  }

  int root() const { return root_.get(); }

 private:
  // Opens (making when missing) every folder above the file, never through a symbolic link:
  // a link or a file where a folder must be is replaced by the folder.
  Result<UniqueFd> openParent(const std::vector<std::string>& parts, const std::string& relative) {
    UniqueFd current(::dup(root_.get()));
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      const char* name = parts[i].c_str();
      int fd = ::openat(current.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0 && (errno == ENOTDIR || errno == ELOOP)) {
        ::unlinkat(current.get(), name, 0);
        errno = ENOENT;
      }
      if (fd < 0 && errno == ENOENT) {
        if (::mkdirat(current.get(), name, 0755) != 0 && errno != EEXIST)
          return fail(Error::file(errno, rootPath_ + "/" + relative, false));
        fd = ::openat(current.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      }
      if (fd < 0) return fail(Error::file(errno, rootPath_ + "/" + relative, false));
      current.reset(fd);
    }
    return current;
  }

  // The file's entry; `unchanged` receives its status when it did not change while read.
  static std::optional<KXDocumentManifest::Entry> hashExisting(int dirfd, const std::string& name,
                                                               std::optional<struct stat>& unchanged) {
    UniqueFd fd(::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return std::nullopt;
    struct stat before{};
    bool measured = ::fstat(fd.get(), &before) == 0;
    auto entry = KXDocumentArchive::makeEntry([&](const DataSink& sink) -> Result<void> {
      std::vector<std::uint8_t> buffer(KXDirectoryArchiveBacking::readChunkSize);
      while (true) {
        ssize_t r = ::read(fd.get(), buffer.data(), buffer.size());
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return fail(Error::posix(errno));
        if (r == 0) return {};
        if (auto s = sink(buffer.data(), static_cast<std::size_t>(r)); !s) return s;
      }
    });
    if (!entry) return std::nullopt;
    struct stat after{};
    if (measured && ::fstat(fd.get(), &after) == 0 && after.st_size == before.st_size &&
        after.st_mtim.tv_sec == before.st_mtim.tv_sec && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
        after.st_ctim.tv_sec == before.st_ctim.tv_sec && after.st_ctim.tv_nsec == before.st_ctim.tv_nsec)
      unchanged = after;
    return *entry;
  }

  UniqueFd root_;
  std::string rootPath_;
  Known known_;
  Remember remember_;
};

}  // namespace

Result<std::unique_ptr<KXDirectoryArchiveBacking>> KXDirectoryArchiveBacking::create(
    const std::filesystem::path& directory, bool assumeExists, bool writesManifest) {
  if (!assumeExists) {
    struct stat st{};
    if (::stat(directory.c_str(), &st) != 0) return fail(Error::file(errno, directory.string()));
    if (!S_ISDIR(st.st_mode))
      return fail(KXDocumentArchiveError::invalidBacking(directory.string() + " is not a folder"));
  }
  return std::unique_ptr<KXDirectoryArchiveBacking>(new KXDirectoryArchiveBacking(directory, writesManifest));
}

Result<std::unique_ptr<KXDocumentArchiveBacking>> KXDirectoryArchiveBacking::moved(
    const std::filesystem::path& to) const {
  return std::unique_ptr<KXDocumentArchiveBacking>(new KXDirectoryArchiveBacking(to, true));
}

DataReader KXDirectoryArchiveBacking::fileReader(const std::filesystem::path& file) {
  return [file](const DataSink& sink) -> Result<void> {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return fail(mapReadError(Error::file(errno, file.string())));
    std::vector<std::uint8_t> buffer(readChunkSize);
    while (true) {
      ssize_t r = ::read(fd.get(), buffer.data(), buffer.size());
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return fail(mapReadError(Error::file(errno, file.string())));
      if (r == 0) return {};
      if (auto s = sink(buffer.data(), static_cast<std::size_t>(r)); !s) return fail(mapReadError(s.error()));
    }
  };
}

DataReader KXDirectoryArchiveBacking::dataReader(const std::string& relativePath) const {
  return fileReader(url_ / relativePath);
}

void KXDirectoryArchiveBacking::forEach(const std::function<void(const std::string&, const DataReader&)>& body) const {
  UniqueFd root(::open(url_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) return;
  std::string base = url_.string();
  walk(root.get(), "", [&](int, const std::string&, const std::string& relative) {
    body(relative, fileReader(std::filesystem::path(base) / relative));
  });
}

namespace {

std::int64_t nanoseconds(const timespec& t) { return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

// File times tick coarsely: a file changed this shortly before it was hashed could change again
// after the hash without getting a new time, so such a hash is not kept.
constexpr std::int64_t kTimestampTolerance = 100'000'000;

}  // namespace

KXDirectoryArchiveBacking::Stamp KXDirectoryArchiveBacking::stampOf(const struct stat& st) {
  return Stamp{st.st_dev, st.st_ino, st.st_size, nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)};
}

void KXDirectoryArchiveBacking::remember(const std::string& relativePath, const struct stat& st,
                                         const KXDocumentManifest::Entry& entry, bool written) {
  // What this backing wrote itself, in a folder only this program writes, is known exactly.
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  auto stamp = stampOf(st);
  if (!written && nanoseconds(now) - std::max(stamp.modified, stamp.changed) < kTimestampTolerance) {
    known_.erase(relativePath);
    return;
  }
  known_[relativePath] = Known{stamp, entry};
}

std::optional<KXDocumentManifest::Entry> KXDirectoryArchiveBacking::knownEntry(const std::string& relativePath) const {
  auto it = known_.find(relativePath);
  if (it == known_.end()) return std::nullopt;
  struct stat st{};
  if (::lstat((url_ / relativePath).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (stampOf(st) != it->second.stamp) return std::nullopt;
  return it->second.entry;
}

Result<void> KXDirectoryArchiveBacking::reflect(const KXDocumentArchive& source, KXDocumentArchiveUpdateOperation,
                                                const UpdatedManifest& updatedManifest) {
  std::filesystem::path rootPath = url_.lexically_normal();
  if (rootPath.has_filename() == false && rootPath.has_parent_path()) rootPath = rootPath.parent_path();
  ::mkdir(rootPath.c_str(), 0755);  // exists already, or the parent is missing and opening fails

  auto target = canonicalPath(rootPath);
  auto from = canonicalPath(source.backing().url());
  if (sameOrInside(from, target) || sameOrInside(target, from))
    return fail(KXDocumentArchiveError::invalidBacking("can't save " + from.string() + " into " + target.string() +
                                                       ", which holds it or lies inside it"));

  UniqueFd root(::open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) return fail(Error::file(errno, rootPath.string(), false));
  FolderWriter writer(
      std::move(root), rootPath.string(), [this](const std::string& path) { return knownEntry(path); },
      [this](const std::string& path, const struct stat& st, const KXDocumentManifest::Entry& entry, bool written) {
        remember(path, st, entry, written);
      });

  Entries entries;
  std::optional<Error> failure;
  source.backing().forEach([&](const std::string& path, const DataReader& reader) {
    if (failure) return;
    if (!KXDocumentArchive::isSafeRelativePath(path)) {
      RWLog("Left out an entry whose name could leave the folder: \"" + path + "\"", 3);
      return;
    }
    auto entry = writer.write(path, reader);
    if (!entry) {
      failure = entry.error();
      return;
    }
    entries[path] = *entry;
  });
  if (failure) return fail(*failure);
  ::syncfs(writer.root());

  // Everything is written: now the files that left the document may go.
  std::vector<std::string> vanished;
  walk(writer.root(), "", [&](int, const std::string&, const std::string& relative) {
    if (!entries.count(relative)) vanished.push_back(relative);
  });
  std::set<std::string, std::greater<>> emptied;  // deepest first
  for (const auto& relative : vanished) {
    std::error_code ec;
    std::filesystem::remove(rootPath / relative, ec);
    for (auto p = std::filesystem::path(relative).parent_path(); !p.empty(); p = p.parent_path()) emptied.insert(p.string());
  }
  for (const auto& folder : emptied) ::unlinkat(writer.root(), folder.c_str(), AT_REMOVEDIR);  // only when empty

  auto manifestPath = rootPath / KXDocumentArchive::relativePathForManifest;
  std::optional<Data> manifest;
  if (writesManifest_) manifest = updatedManifest(entries);
  if (manifest) {
    if (auto written = fs::writeAtomically(manifestPath, *manifest); !written) return written;
  } else {
    std::error_code ec;
    std::filesystem::remove(manifestPath, ec);
  }
  return {};
}
