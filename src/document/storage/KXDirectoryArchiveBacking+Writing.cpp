// Walking a folder's document files and writing a reflection's files into a folder.
#include "KXDirectoryArchiveBacking+Writing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <system_error>

#include "document/storage/ConcurrentWork.h"
#include "document/storage/KXDirectoryArchiveBacking.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/RWLog.h"
#include "zip/ZZStream.h"

namespace folderbacking {

namespace {

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
  Result<KXDocumentManifest::Entry> entry(const DataReader& reader) {
    return KXDocumentArchive::makeEntry(reader, &sink_);
  }
  std::uint32_t crc32() const { return crc_; }

 private:
  std::uint32_t crc_ = 0;
  DataSink sink_;
};

std::string nameOf(const std::string& relative) {
  auto slash = relative.rfind('/');
  return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

Outcome failed(Error e) {
  Outcome out;
  out.error = std::move(e);
  return out;
}

// The file's entry; `unchanged` receives its status when it did not change while read.
std::optional<KXDocumentManifest::Entry> hashExisting(int dirfd, const std::string& name,
                                                      std::optional<struct stat>& unchanged, std::uint32_t& crc) {
  auto fd = fs::openPlainFile(dirfd, name, false);
  if (!fd) return std::nullopt;
  return hashOpenFile(fd->get(), unchanged, crc);
}

// Writes what `reader` gives into `file` and closes it: the bytes' entry and CRC-32, and the
// file's status as written (`measured` when known).
Result<KXDocumentManifest::Entry> writeInto(UniqueFd file, const DataReader& reader, const std::string& path,
                                            std::uint32_t& crc32, struct stat& written, bool& measured) {
  DataSink sink = [&](const std::uint8_t* p, std::size_t n) { return fs::writeAll(file.get(), p, n, path); };
  Checksummed checksummed(&sink);
  auto entry = checksummed.entry(reader);
  crc32 = checksummed.crc32();
  measured = ::fstat(file.get(), &written) == 0;
  bool closed = file.close();
  if (entry && !closed) return fail(Error::file(errno, path, false));
  return entry;
}

}  // namespace

// Calls `visit` for every regular file below `dirfd` that may belong to a document, without
// following symbolic links and without entering folders that can't hold such files.
void walk(int dirfd, const std::string& prefix,
          const std::function<void(int parent, const std::string& name, const std::string& relative)>& visit) {
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
      struct stat st {};
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

std::size_t removeEndedTemporaries(int dirfd, const std::string& prefix, int depth) {
  int copy = ::dup(dirfd);
  DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
  if (!dir) {
    if (copy >= 0) ::close(copy);
    return 0;
  }
  std::vector<std::string> stale, folders;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && fs::isEndedProcessTemporary(name)) stale.push_back(name);
    if (S_ISDIR(st.st_mode)) folders.push_back(name);
  }
  ::closedir(dir);
  std::size_t removed = 0;
  for (const auto& name : stale)
    if (::unlinkat(dirfd, name.c_str(), 0) == 0) ++removed;
  if (depth >= maximumTemporarySweepDepth) return removed;
  for (const auto& name : folders) {
    std::string relative = prefix.empty() ? name : prefix + "/" + name;
    if (!KXDocumentArchive::mayContainIncludedFiles(relative)) continue;
    UniqueFd sub(::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub) removed += removeEndedTemporaries(sub.get(), relative, depth + 1);
  }
  return removed;
}

// Size, digest and CRC-32 of an open file; `unchanged` receives its status when it did not
// change while read.
std::optional<KXDocumentManifest::Entry> hashOpenFile(int fd, std::optional<struct stat>& unchanged,
                                                      std::uint32_t& crc) {
  struct stat before {};
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
  struct stat after {};
  if (measured && ::fstat(fd, &after) == 0 && after.st_size == before.st_size &&
      after.st_mtim.tv_sec == before.st_mtim.tv_sec && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
      after.st_ctim.tv_sec == before.st_ctim.tv_sec && after.st_ctim.tv_nsec == before.st_ctim.tv_nsec)
    unchanged = after;
  return *entry;
}

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

Result<void> Folders::open(const std::string& folder) {
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

int Folders::at(const std::string& folder) const {
  if (folder.empty()) return root_;
  auto it = fds_.find(folder);
  return it == fds_.end() ? -1 : it->second.get();
}

Result<UniqueFd> Folders::openPath(int root, const std::string& relative, const std::string& path) {
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

Result<UniqueFd> Folders::openOrMake(int parent, const std::string& name, const std::string& path) {
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

std::string folderOf(const std::string& relative) {
  auto slash = relative.rfind('/');
  return slash == std::string::npos ? "" : relative.substr(0, slash);
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

Outcome FolderWriter::replace(int dirfd, const std::string& relative, const DataReader& reader) const {
  Outcome out;
  const std::string name = nameOf(relative);
  std::string full = rootPath_ + "/" + relative;

  struct stat existing {};
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

  std::string temporary = fs::processTemporaryStem(name) + crypto::hex(crypto::randomBytes(6));
  UniqueFd file(::openat(dirfd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         exists && S_ISREG(existing.st_mode) ? existing.st_mode & 07777 : 0644));
  if (!file) return failed(Error::file(errno, full, false));
  struct stat written {};
  bool measured = false;
  auto entry = writeInto(std::move(file), reader, full, out.crc32, written, measured);
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
  struct stat placed {};
  if (measured && ::fstatat(dirfd, name.c_str(), &placed, AT_SYMLINK_NOFOLLOW) == 0 &&
      placed.st_ino == written.st_ino && placed.st_dev == written.st_dev && placed.st_size == written.st_size &&
      placed.st_mtim.tv_sec == written.st_mtim.tv_sec && placed.st_mtim.tv_nsec == written.st_mtim.tv_nsec)
    out.status = placed;
  return out;
}

Outcome FolderWriter::create(int dirfd, const std::string& relative, const DataReader& reader) const {
  Outcome out;
  const std::string name = nameOf(relative);
  std::string full = rootPath_ + "/" + relative;
  UniqueFd file(::openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!file) return failed(Error::file(errno, full, false));
  struct stat written {};
  bool measured = false;
  auto entry = writeInto(std::move(file), reader, full, out.crc32, written, measured);
  if (!entry) return failed(entry.error());
  out.entry = *entry;
  out.written = true;
  if (measured) out.status = written;
  return out;
}

Result<UniqueFd> FolderWriter::openParent(const std::string& relative) const {
  return Folders::openPath(root_, folderOf(relative), rootPath_ + "/" + relative);
}

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
}  // namespace folderbacking
