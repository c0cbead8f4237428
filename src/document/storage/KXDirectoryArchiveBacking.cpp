#include "KXDirectoryArchiveBacking.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

#include "document/storage/ConcurrentWork.h"
#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentArchiveError.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/RWLog.h"
#include "platform/UniqueFd.h"
#include "zip/ZZStream.h"

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

// Hashes what passes through it, as makeEntry does, and takes its CRC-32 on the way.
class Checksummed {
 public:
  explicit Checksummed(const DataSink* writer = nullptr)
      : sink_([this, writer](const std::uint8_t* p, std::size_t n) -> Result<void> {
          crc_ = zzCrc32(crc_, std::span(p, n));
          return writer ? (*writer)(p, n) : Result<void>{};
        }) {}
  Checksummed(const Checksummed&) = delete;
  Checksummed& operator=(const Checksummed&) = delete;
  Result<KXDocumentManifest::Entry> entry(const DataReader& reader) { return KXDocumentArchive::makeEntry(reader, &sink_); }
  std::uint32_t crc32() const { return crc_; }

 private:
  std::uint32_t crc_ = 0;
  DataSink sink_;
};

// Size, digest and CRC-32 of an open file; `unchanged` receives its status when it did not
// change while read.
std::optional<KXDocumentManifest::Entry> hashOpenFile(int fd, std::optional<struct stat>& unchanged, std::uint32_t& crc) {
  struct stat before{};
  bool measured = ::fstat(fd, &before) == 0;
  Checksummed checksummed;
  auto entry = checksummed.entry([&](const DataSink& sink) -> Result<void> {
    std::vector<std::uint8_t> buffer(KXDirectoryArchiveBacking::readChunkSize);
    while (true) {
      ssize_t r = ::read(fd, buffer.data(), buffer.size());
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return fail(Error::posix(errno));
      if (r == 0) return {};
      if (auto s = sink(buffer.data(), static_cast<std::size_t>(r)); !s) return s;
    }
  });
  if (!entry) return std::nullopt;
  crc = checksummed.crc32();
  struct stat after{};
  if (measured && ::fstat(fd, &after) == 0 && after.st_size == before.st_size &&
      after.st_mtim.tv_sec == before.st_mtim.tv_sec && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
      after.st_ctim.tv_sec == before.st_ctim.tv_sec && after.st_ctim.tv_nsec == before.st_ctim.tv_nsec)
    unchanged = after;
  return *entry;
}

// One file to write and what came of it.
struct Job {
  std::string path;
  DataReader reader;
};
// The source's files in its order; a name that could leave the folder is left out.
std::vector<Job> jobsOf(const KXDocumentArchive& source) {
  std::vector<Job> jobs;
  source.backing().forEach([&](const std::string& path, const DataReader& reader) {
    if (!KXDocumentArchive::isSafeRelativePath(path)) {
      RWLog("Left out an entry whose name could leave the folder: \"" + path + "\"", 3);
      return;
    }
    jobs.push_back({path, reader});
  });
  return jobs;
}
struct Outcome {
  std::optional<Error> error;
  KXDocumentManifest::Entry entry;
  std::optional<struct stat> status;  // to remember, when the file is known as it is now
  bool written = false;
  std::uint32_t crc32 = 0;
};

// The folders that hold the files of one reflection, made when missing before any file is
// written; the first few hundred stay open for the writers, who open the others themselves.
// Used only when no name is both a file and a folder of another name.
class Folders {
 public:
  static constexpr std::size_t maximumOpen = 256;
  Folders(int root, std::string rootPath) : root_(root), rootPath_(std::move(rootPath)) {}

  Result<void> open(const std::string& folder) {
    if (folder.empty() || fds_.count(folder) || closed_.count(folder)) return {};
    auto slash = folder.rfind('/');
    std::string parent = slash == std::string::npos ? "" : folder.substr(0, slash);
    std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
    if (auto opened = open(parent); !opened) return opened;
    UniqueFd reopened;
    int parentFd = at(parent);
    if (parentFd < 0) {
      auto again = openPath(root_, parent, rootPath_ + "/" + folder);
      if (!again) return fail(again.error());
      reopened = std::move(*again);
      parentFd = reopened.get();
    }
    auto fd = openOrMake(parentFd, name, rootPath_ + "/" + folder);
    if (!fd) return fail(fd.error());
    if (fds_.size() < maximumOpen)
      fds_.emplace(folder, std::move(*fd));
    else
      closed_.insert(folder);
    return {};
  }
  // Any thread, once every folder is made: the open folder, or -1.
  int at(const std::string& folder) const {
    if (folder.empty()) return root_;
    auto it = fds_.find(folder);
    return it == fds_.end() ? -1 : it->second.get();
  }

  // Opens every folder of `relative` below `root` in turn, as openOrMake does.
  static Result<UniqueFd> openPath(int root, const std::string& relative, const std::string& path) {
    UniqueFd current(::dup(root));
    if (!current) return fail(Error::file(errno, path, false));
    if (relative.empty()) return current;
    for (const auto& part : components(relative)) {
      auto fd = openOrMake(current.get(), part, path);
      if (!fd) return fail(fd.error());
      current = std::move(*fd);
    }
    return current;
  }

  // Opens (making when missing) a folder, never through a symbolic link: a link or a file
  // where a folder must be is replaced by the folder.
  static Result<UniqueFd> openOrMake(int parent, const std::string& name, const std::string& path) {
    int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && (errno == ENOTDIR || errno == ELOOP)) {
      ::unlinkat(parent, name.c_str(), 0);
      errno = ENOENT;
    }
    if (fd < 0 && errno == ENOENT) {
      if (::mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST) return fail(Error::file(errno, path, false));
      fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) return fail(Error::file(errno, path, false));
    return UniqueFd(fd);
  }

 private:
  int root_;
  std::string rootPath_;
  std::map<std::string, UniqueFd> fds_;
  std::set<std::string> closed_;
};

std::string folderOf(const std::string& relative) {
  auto slash = relative.rfind('/');
  return slash == std::string::npos ? "" : relative.substr(0, slash);
}
std::string nameOf(const std::string& relative) {
  auto slash = relative.rfind('/');
  return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

// Whether the files can be written in any order to the same result: no name comes twice and
// no name is also a folder above another.
bool writableInAnyOrder(const std::vector<Job>& jobs) {
  std::set<std::string_view> names, folders;
  for (const auto& job : jobs) {
    if (!names.insert(job.path).second) return false;
    std::string_view p = job.path;
    for (auto slash = p.rfind('/'); slash != std::string_view::npos; slash = p.rfind('/', slash - 1)) {
      if (!folders.insert(p.substr(0, slash)).second) break;  // its parents are in already
      if (slash == 0) break;
    }
  }
  for (auto name : names)
    if (folders.count(name)) return false;
  return true;
}

// The jobs in an order that spreads each folder's files evenly over the whole: files made in
// one folder wait on each other, so writers do best in different folders.
std::vector<Job> spreadOverFolders(std::vector<Job> jobs) {
  std::map<std::string, std::size_t> counts;
  for (const auto& job : jobs) ++counts[folderOf(job.path)];
  std::map<std::string, std::size_t> seen;
  std::vector<std::pair<double, std::size_t>> keys;
  keys.reserve(jobs.size());
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    auto folder = folderOf(jobs[i].path);
    keys.emplace_back((static_cast<double>(seen[folder]++) + 0.5) / static_cast<double>(counts[folder]), i);
  }
  std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Job> spread;
  spread.reserve(jobs.size());
  for (const auto& [key, i] : keys) spread.push_back(std::move(jobs[i]));
  return spread;
}

// Writes one file of a reflection into a folder.
class FolderWriter {
 public:
  using Known = std::function<std::optional<KXDocumentManifest::Entry>(const std::string&)>;
  FolderWriter(int root, std::string rootPath, Known known)
      : root_(root), rootPath_(std::move(rootPath)), known_(std::move(known)) {}

  // Into an existing folder: an unchanged file is left as it is, a changed one is written to a
  // temporary name and renamed over it.
  Outcome replace(int dirfd, const std::string& relative, const DataReader& reader) const {
    Outcome out;
    const std::string name = nameOf(relative);
    std::string full = rootPath_ + "/" + relative;

    struct stat existing{};
    bool exists = ::fstatat(dirfd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISREG(existing.st_mode)) {
      // An unchanged file keeps its bytes and its date: hash both, write only on a difference.
      std::optional<struct stat> hashed;
      std::uint32_t crc = 0;
      auto old = known_(relative);
      if (!old) old = hashExisting(dirfd, name, hashed, crc);
      Checksummed source;
      auto now = source.entry(reader);
      if (!now) return failed(now.error());
      if (old && *old == *now) {
        out.entry = *now;
        out.status = hashed;
        out.crc32 = source.crc32();
        return out;
      }
    }

    std::string temporary = "." + name + ".korvel-" + crypto::hex(crypto::randomBytes(6));
    UniqueFd file(::openat(dirfd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           exists && S_ISREG(existing.st_mode) ? existing.st_mode & 07777 : 0644));
    if (!file) return failed(Error::file(errno, full, false));
    DataSink sink = [&](const std::uint8_t* p, std::size_t n) { return writeAll(file.get(), p, n, full); };
    Checksummed checksummed(&sink);
    auto entry = checksummed.entry(reader);
    out.crc32 = checksummed.crc32();
    struct stat written{};
    bool measured = ::fstat(file.get(), &written) == 0;
    bool closed = file.close();
    if (entry && !closed) entry = fail(Error::file(errno, full, false));
    if (!entry) {
      ::unlinkat(dirfd, temporary.c_str(), 0);
      return failed(entry.error());
    }
    if (exists && S_ISDIR(existing.st_mode)) {
      // A folder where the document now has a file: its content vanished from the document.
      std::error_code ec;
      std::filesystem::remove_all(full, ec);
    }
    if (::renameat(dirfd, temporary.c_str(), dirfd, name.c_str()) != 0) {
      int e = errno;
      ::unlinkat(dirfd, temporary.c_str(), 0);
      return failed(Error::file(e, full, false));
    }
    out.entry = *entry;
    out.written = true;
    // The rename changed the file's status time: take it, unless the file is no longer ours.
    struct stat placed{};
    if (measured && ::fstatat(dirfd, name.c_str(), &placed, AT_SYMLINK_NOFOLLOW) == 0 && placed.st_ino == written.st_ino &&
        placed.st_dev == written.st_dev && placed.st_size == written.st_size &&
        placed.st_mtim.tv_sec == written.st_mtim.tv_sec && placed.st_mtim.tv_nsec == written.st_mtim.tv_nsec)
      out.status = placed;
    return out;
  }

  // Into a fresh folder that nothing else uses: each file is made under its own name in one
  // pass that reads, checks, hashes and writes.
  Outcome create(int dirfd, const std::string& relative, const DataReader& reader) const {
    Outcome out;
    const std::string name = nameOf(relative);
    std::string full = rootPath_ + "/" + relative;
    UniqueFd file(::openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!file) return failed(Error::file(errno, full, false));
    DataSink sink = [&](const std::uint8_t* p, std::size_t n) { return writeAll(file.get(), p, n, full); };
    Checksummed checksummed(&sink);
    auto entry = checksummed.entry(reader);
    out.crc32 = checksummed.crc32();
    struct stat written{};
    bool measured = ::fstat(file.get(), &written) == 0;
    if (entry && !file.close()) entry = fail(Error::file(errno, full, false));
    if (!entry) return failed(entry.error());
    out.entry = *entry;
    out.written = true;
    if (measured) out.status = written;
    return out;
  }

  // Opens every folder above the file on its own (when the order of the writes matters, or
  // the folder was not kept open).
  Result<UniqueFd> openParent(const std::string& relative) const {
    return Folders::openPath(root_, folderOf(relative), rootPath_ + "/" + relative);
  }

 private:
  static Outcome failed(Error e) {
    Outcome out;
    out.error = std::move(e);
    return out;
  }

  // The file's entry; `unchanged` receives its status when it did not change while read.
  static std::optional<KXDocumentManifest::Entry> hashExisting(int dirfd, const std::string& name,
                                                               std::optional<struct stat>& unchanged, std::uint32_t& crc) {
    UniqueFd fd(::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return std::nullopt;
    return hashOpenFile(fd.get(), unchanged, crc);
  }

  int root_;
  std::string rootPath_;
  Known known_;
};

// Writes every job with `write` on a few threads; a failure stops the rest and is the one of
// the earliest job that failed.
Result<std::vector<Outcome>> writeJobs(const std::vector<Job>& jobs, bool anyOrder,
                                      const std::function<Outcome(std::size_t)>& write) {
  std::vector<Outcome> outcomes(jobs.size());
  performConcurrently(jobs.size(), anyOrder ? threadsForJobs(jobs.size(), 8) : 1, [&](std::size_t i) {
    outcomes[i] = write(i);
    return !outcomes[i].error;
  });
  for (auto& outcome : outcomes)
    if (outcome.error) return fail(std::move(*outcome.error));
  return outcomes;
}

}  // namespace

Result<std::unique_ptr<KXDirectoryArchiveBacking>> KXDirectoryArchiveBacking::create(
    const std::filesystem::path& directory, bool assumeExists, bool writesManifest, bool isPrivateWorkingCopy) {
  if (!assumeExists) {
    struct stat st{};
    if (::stat(directory.c_str(), &st) != 0) return fail(Error::file(errno, directory.string()));
    if (!S_ISDIR(st.st_mode))
      return fail(KXDocumentArchiveError::invalidBacking(directory.string() + " is not a folder"));
  }
  std::unique_ptr<KXDirectoryArchiveBacking> backing(
      new KXDirectoryArchiveBacking(directory, writesManifest, isPrivateWorkingCopy));
  if (isPrivateWorkingCopy) backing->loadFileStatus();
  return backing;
}

Result<std::unique_ptr<KXDocumentArchiveBacking>> KXDirectoryArchiveBacking::moved(
    const std::filesystem::path& to) const {
  return std::unique_ptr<KXDocumentArchiveBacking>(new KXDirectoryArchiveBacking(to, true, false));
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

bool isEmptyFolder(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return false;
  DIR* dir = ::fdopendir(fd.get());
  if (!dir) return false;
  fd.release();
  bool empty = true;
  while (dirent* e = ::readdir(dir)) {
    std::string_view name = e->d_name;
    if (name != "." && name != "..") {
      empty = false;
      break;
    }
  }
  ::closedir(dir);
  return empty;
}

}  // namespace

KXDirectoryArchiveBacking::Stamp KXDirectoryArchiveBacking::stampOf(const struct stat& st) {
  return Stamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), st.st_size,
               nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)};
}

void KXDirectoryArchiveBacking::remember(const std::string& relativePath, const struct stat& st,
                                         const KXDocumentManifest::Entry& entry, std::uint32_t crc32, bool written) {
  // What this backing wrote itself, in a folder only this program writes, is known exactly.
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  auto stamp = stampOf(st);
  if ((!written && nanoseconds(now) - std::max(stamp.modified, stamp.changed) < kTimestampTolerance) || !entry.sha1) {
    knownChanged_ |= known_.erase(relativePath) > 0;
    return;
  }
  KXFileStatusRecord::Known known{stamp, entry, crc32};
  auto [it, inserted] = known_.try_emplace(relativePath, known);
  if (!inserted && it->second == known) return;
  it->second = std::move(known);
  knownChanged_ = true;
}

void KXDirectoryArchiveBacking::removeFileStatusLeftovers() const {
  // The record is written through a temporary beside it, ".<name>.XXXXXX"; one that a killed
  // process left is never renamed into place.
  const std::string prefix = std::string(".") + KXFileStatusRecord::fileName + ".";
  UniqueFd fd(::open(url_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return;
  DIR* dir = ::fdopendir(fd.get());
  if (!dir) return;
  int dirfd = fd.release();
  std::vector<std::string> leftovers;
  while (dirent* e = ::readdir(dir)) {
    std::string_view name = e->d_name;
    if (name.size() == prefix.size() + 6 && name.substr(0, prefix.size()) == prefix) leftovers.emplace_back(name);
  }
  for (const auto& name : leftovers) {
    struct stat st{};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      ::unlinkat(dirfd, name.c_str(), 0);
  }
  ::closedir(dir);
}

void KXDirectoryArchiveBacking::loadFileStatus() {
  removeFileStatusLeftovers();
  // The record is a cache: unreadable, malformed or too large, it is as if there were none.
  UniqueFd fd(::open((url_ / KXFileStatusRecord::fileName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st{};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_size) > KXFileStatusRecord::maximumSize)
    return;
  Data bytes;
  std::vector<std::uint8_t> buffer(readChunkSize);
  while (true) {
    ssize_t r = ::read(fd.get(), buffer.data(), buffer.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return;
    if (r == 0) break;
    if (bytes.size() + static_cast<std::size_t>(r) > KXFileStatusRecord::maximumSize) return;
    bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + r);
  }
  if (auto files = KXFileStatusRecord::decode(bytes)) known_ = std::move(*files);
}

void KXDirectoryArchiveBacking::saveFileStatus(const Entries* current) {
  if (!isPrivateWorkingCopy_) return;
  if (current)
    knownChanged_ |= std::erase_if(known_, [&](const auto& item) { return !current->count(item.first); }) > 0;
  if (!knownChanged_) return;
  if (fs::writeAtomically(url_ / KXFileStatusRecord::fileName, KXFileStatusRecord::encode(known_), 0600))
    knownChanged_ = false;
}

const KXFileStatusRecord::Known* KXDirectoryArchiveBacking::knownFile(const std::string& relativePath) const {
  auto it = known_.find(relativePath);
  if (it == known_.end()) return nullptr;
  struct stat st{};
  if (::lstat((url_ / relativePath).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  if (stampOf(st) != it->second.stamp) return nullptr;
  return &it->second;
}

std::optional<KXDocumentManifest::Entry> KXDirectoryArchiveBacking::knownEntry(const std::string& relativePath) const {
  if (auto* known = knownFile(relativePath)) return known->entry;
  return std::nullopt;
}

std::optional<std::uint32_t> KXDirectoryArchiveBacking::knownCRC32(const std::string& relativePath) const {
  if (auto* known = knownFile(relativePath)) return known->crc32;
  return std::nullopt;
}

Result<KXDocumentManifest::Entry> KXDirectoryArchiveBacking::hashEntry(const std::string& relativePath,
                                                                       const DataReader& reader) {
  if (!isPrivateWorkingCopy_) return KXDocumentArchive::makeEntry(reader);
  UniqueFd fd(::open((url_ / relativePath).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return KXDocumentArchive::makeEntry(reader);  // for the error the reader gives
  std::optional<struct stat> unchanged;
  std::uint32_t crc = 0;
  auto entry = hashOpenFile(fd.get(), unchanged, crc);
  if (!entry) return KXDocumentArchive::makeEntry(reader);  // for the error the reader gives
  if (unchanged && S_ISREG(unchanged->st_mode)) remember(relativePath, *unchanged, *entry, crc, false);
  return *entry;
}

void KXDirectoryArchiveBacking::keepFileStatus(const Entries& current) { saveFileStatus(&current); }

// Fills an empty working copy: every file is written under its own name into a fresh folder
// beside it, synced, and the folder's items are then moved in. A failed or killed reflection
// leaves the working copy as it was or holding only complete, synced files; the next one
// removes what it left beside. False when this way doesn't apply.
Result<bool> KXDirectoryArchiveBacking::reflectIntoFreshFolder(const std::filesystem::path& rootPath,
                                                               const KXDocumentArchive& source, Entries& entries) {
  std::vector<Job> jobs = jobsOf(source);
  if (!writableInAnyOrder(jobs)) return false;
  jobs = spreadOverFolders(std::move(jobs));

  auto fresh = fs::TemporaryFolder::besides(rootPath);
  if (!fresh) return fail(fresh.error());
  UniqueFd freshRoot(::open(fresh->path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!freshRoot) return fail(Error::file(errno, fresh->path().string(), false));
  Folders folders(freshRoot.get(), fresh->path().string());
  for (const auto& job : jobs)
    if (auto opened = folders.open(folderOf(job.path)); !opened) return fail(opened.error());
  FolderWriter writer(freshRoot.get(), rootPath.string(), nullptr);
  auto outcomes = writeJobs(jobs, true, [&](std::size_t i) -> Outcome {
    if (int fd = folders.at(folderOf(jobs[i].path)); fd >= 0) return writer.create(fd, jobs[i].path, jobs[i].reader);
    auto parent = writer.openParent(jobs[i].path);
    if (!parent) return Outcome{parent.error(), {}, std::nullopt, false, 0};
    return writer.create(parent->get(), jobs[i].path, jobs[i].reader);
  });
  if (!outcomes) return fail(outcomes.error());
  if (::syncfs(freshRoot.get()) != 0) return fail(Error::file(errno, fresh->path().string(), false));

  // Only complete, durable files are moved in, a whole top-level item at a time.
  UniqueFd root(::open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root) return fail(Error::file(errno, rootPath.string(), false));
  std::set<std::string> items;
  for (const auto& job : jobs) items.insert(job.path.substr(0, job.path.find('/')));
  for (const auto& item : items)
    if (::renameat2(freshRoot.get(), item.c_str(), root.get(), item.c_str(), RENAME_NOREPLACE) != 0)
      return fail(Error::file(errno, (rootPath / item).string(), false));
  if (::fsync(root.get()) != 0) return fail(Error::file(errno, rootPath.string(), false));
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    auto& outcome = (*outcomes)[i];
    entries[jobs[i].path] = outcome.entry;
    // A file moved in by itself got a new status time with the move.
    if (outcome.status && jobs[i].path.find('/') == std::string::npos) {
      struct stat moved{};
      bool same = ::fstatat(root.get(), jobs[i].path.c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0 &&
                  moved.st_ino == outcome.status->st_ino && moved.st_dev == outcome.status->st_dev;
      if (same) outcome.status = moved;
      else outcome.status.reset();
    }
    if (outcome.status) remember(jobs[i].path, *outcome.status, outcome.entry, outcome.crc32, true);
  }
  return true;
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

  Entries entries;
  bool filled = false;
  if (isPrivateWorkingCopy_) {
    if (auto removed = fs::removeStaleSiblingTemporaries(rootPath))
      RWLog("Removed " + std::to_string(removed) + " folder(s) an interrupted reading left beside " + rootPath.string());
    removeFileStatusLeftovers();
    if (isEmptyFolder(rootPath)) {
      auto fresh = reflectIntoFreshFolder(rootPath, source, entries);
      if (!fresh) return fail(fresh.error());
      filled = *fresh;
    }
  }

  UniqueFd root(::open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) return fail(Error::file(errno, rootPath.string(), false));
  if (!filled) {
    entries.clear();
    std::vector<Job> jobs = jobsOf(source);
    // Names that clash (one twice, or a file where another needs a folder) are written one
    // after another in the source's order, each folder opened afresh, as the last one wins.
    bool anyOrder = writableInAnyOrder(jobs);
    if (anyOrder) jobs = spreadOverFolders(std::move(jobs));
    Folders folders(root.get(), rootPath.string());
    if (anyOrder)
      for (const auto& job : jobs)
        if (auto opened = folders.open(folderOf(job.path)); !opened) return fail(opened.error());
    FolderWriter writer(root.get(), rootPath.string(), [this](const std::string& path) { return knownEntry(path); });
    auto outcomes = writeJobs(jobs, anyOrder, [&](std::size_t i) -> Outcome {
      if (int fd = anyOrder ? folders.at(folderOf(jobs[i].path)) : -1; fd >= 0)
        return writer.replace(fd, jobs[i].path, jobs[i].reader);
      auto parent = writer.openParent(jobs[i].path);
      if (!parent) return Outcome{parent.error(), {}, std::nullopt, false, 0};
      return writer.replace(parent->get(), jobs[i].path, jobs[i].reader);
    });
    if (!outcomes) return fail(outcomes.error());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      const auto& outcome = (*outcomes)[i];
      entries[jobs[i].path] = outcome.entry;
      if (outcome.status) remember(jobs[i].path, *outcome.status, outcome.entry, outcome.crc32, outcome.written);
    }
    ::syncfs(root.get());
  }

  // Everything is written: now the files that left the document may go (a filled folder held
  // none before).
  std::vector<std::string> vanished;
  if (!filled)
    walk(root.get(), "", [&](int, const std::string&, const std::string& relative) {
      if (!entries.count(relative)) vanished.push_back(relative);
    });
  std::set<std::string, std::greater<>> emptied;  // deepest first
  for (const auto& relative : vanished) {
    std::error_code ec;
    std::filesystem::remove(rootPath / relative, ec);
    for (auto p = std::filesystem::path(relative).parent_path(); !p.empty(); p = p.parent_path()) emptied.insert(p.string());
  }
  for (const auto& folder : emptied) ::unlinkat(root.get(), folder.c_str(), AT_REMOVEDIR);  // only when empty

  auto manifestPath = rootPath / KXDocumentArchive::relativePathForManifest;
  std::optional<Data> manifest;
  if (writesManifest_) manifest = updatedManifest(entries);
  if (manifest) {
    if (auto written = fs::writeAtomically(manifestPath, *manifest); !written) return written;
  } else {
    std::error_code ec;
    std::filesystem::remove(manifestPath, ec);
  }
  saveFileStatus(&entries);
  return {};
}
