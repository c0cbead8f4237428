#include "KXDirectoryArchiveBacking.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

#include "KXDirectoryArchiveBacking+Writing.h"
#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentArchiveError.h"
#include "platform/ErrorWording.h"
#include "platform/FileSystem.h"
#include "platform/RWLog.h"
#include "platform/UniqueFd.h"

using namespace folderbacking;

namespace {

bool isNotFound(const Error& e) {
  return (e.domain == NSCocoaErrorDomain && (e.code == NSFileNoSuchFileError || e.code == NSFileReadNoSuchFileError)) ||
         (e.domain == NSPOSIXErrorDomain && e.code == ENOENT);
}

Error mapReadError(Error e) {
  if (isNotFound(e)) return KXDocumentArchiveError::notFound();
  return KXDocumentArchiveError::unknown(std::move(e));
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

Error KXDirectoryArchiveBacking::notPlainFile(const std::filesystem::path& document, const std::string& relativePath,
                                              unsigned mode) {
  auto name = document.filename().string();
  auto kind = fs::kindOfItem(mode);
  Error e(NSCocoaErrorDomain, NSFileReadUnknownError,
          (document / relativePath).string() + " is " + kind + ", not a plain file");
  e.with(NSFilePathErrorKey, (document / relativePath).string());
  e.with(ErrorWording::failureReasonKey, "“" + name + "” can't be opened.");
  e.with(ErrorWording::recoverySuggestionKey, "Its file “" + relativePath + "” is " + kind +
                                                  ", not a plain file, and only plain files are read.");
  return e;
}

Result<std::unique_ptr<KXDirectoryArchiveBacking>> KXDirectoryArchiveBacking::create(
    const std::filesystem::path& directory, bool assumeExists, bool writesManifest, bool isPrivateWorkingCopy) {
  if (!assumeExists) {
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0) return fail(Error::file(errno, directory.string()));
    if (!S_ISDIR(st.st_mode))
      return fail(KXDocumentArchiveError::invalidBacking(directory.string() + " is not a folder"));
    // A manifest that is a named pipe, a device or a socket is refused for what it is: read, it
    // would hold the opening (and the quit that waits for it), and a save can't replace it whole.
    const std::string manifest = KXDocumentArchive::relativePathForManifest;
    if (::stat((directory / manifest).c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      return fail(notPlainFile(directory, manifest, st.st_mode));
  }
  // What a save killed part way left in a folder document goes when it is next read.
  if (!assumeExists && !isPrivateWorkingCopy) (void)removeLeftoversOfEndedWrites(directory);
  std::unique_ptr<KXDirectoryArchiveBacking> backing(
      new KXDirectoryArchiveBacking(directory, writesManifest, isPrivateWorkingCopy));
  if (isPrivateWorkingCopy) backing->loadFileStatus();
  return backing;
}

namespace {

// Whether `name` is what earlier builds' mkstemp made beside the design, "." + its name + "."
// and six letters or digits.
bool isEarlierDesignTemporary(std::string_view name) {
  const std::string design = std::filesystem::path(KXDocumentArchive::relativePathForDocumentJSON).filename().string();
  const std::string stem = "." + design + ".";
  if (name.size() != stem.size() + 6 || name.substr(0, stem.size()) != stem) return false;
  for (char c : name.substr(stem.size()))
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  return true;
}

// Removes the design temporaries earlier builds left in the folder open as `root`: their names
// carry no process, so only plain files of this user's that no write has touched for
// earlierDesignTemporaryAge go (a write of the largest design takes seconds, and its file's time
// moves with every part written). The design's folder is entered without following a link.
std::size_t removeEarlierDesignTemporaries(int root) {
  const auto folder = std::filesystem::path(KXDocumentArchive::relativePathForDocumentJSON).parent_path();
  UniqueFd design(::openat(root, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  UniqueFd listing(design ? ::dup(design.get()) : -1);
  DIR* dir = listing ? ::fdopendir(listing.get()) : nullptr;
  if (!dir) return 0;
  listing.release();
  const auto now = std::chrono::system_clock::now();
  std::vector<std::string> stale;
  while (dirent* e = ::readdir(dir)) {
    if (!isEarlierDesignTemporary(e->d_name)) continue;
    struct stat st {};
    if (::fstatat(design.get(), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid())
      continue;
    if (now - fs::dateOf(st.st_mtim) >= KXDirectoryArchiveBacking::earlierDesignTemporaryAge) stale.emplace_back(e->d_name);
  }
  ::closedir(dir);
  std::size_t removed = 0;
  for (const auto& name : stale)
    if (::unlinkat(design.get(), name.c_str(), 0) == 0) ++removed;
  return removed;
}

}  // namespace

std::size_t KXDirectoryArchiveBacking::removeLeftoversOfEndedWrites(const std::filesystem::path& folder) {
  std::size_t removed = fs::removeStaleSiblingTemporaries(folder);
  if (UniqueFd root(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)); root) {
    removed += removeEndedTemporaries(root.get());
    removed += removeEarlierDesignTemporaries(root.get());
  }
  if (removed) RWLog("Removed " + std::to_string(removed) + " temporaries an interrupted save left in " + folder.string());
  return removed;
}

Result<std::unique_ptr<KXDocumentArchiveBacking>> KXDirectoryArchiveBacking::moved(
    const std::filesystem::path& to) const {
  return std::unique_ptr<KXDocumentArchiveBacking>(new KXDirectoryArchiveBacking(to, true, false));
}

DataReader KXDirectoryArchiveBacking::fileReader(const std::filesystem::path& file, bool followLinks) {
  return [file, followLinks](const DataSink& sink) -> Result<void> {
    // A pipe, a device or a socket under a document's name fails at once rather than holding
    // the opening, the save or the quit that waits for it: it is no file of the document, as the
    // walk that leaves it out says.
    auto opened = fs::openPlainFile(AT_FDCWD, file, followLinks);
    if (!opened && opened.error().domain == fs::ConfinedErrorDomain && opened.error().code == fs::notPlainFile)
      return fail(KXDocumentArchiveError::notFound().withUnderlying(opened.error()));
    if (!opened) return fail(mapReadError(opened.error()));
    const UniqueFd& fd = *opened;
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
  // The walk follows no link: neither do the readers of what it found.
  walk(root.get(), "", [&](int, const std::string&, const std::string& relative) {
    body(relative, fileReader(std::filesystem::path(base) / relative, false));
  });
}

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
      struct stat moved {};
      bool same = ::fstatat(root.get(), jobs[i].path.c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0 &&
                  moved.st_ino == outcome.status->st_ino && moved.st_dev == outcome.status->st_dev;
      if (same)
        outcome.status = moved;
      else
        outcome.status.reset();
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
  (void)removeLeftoversOfEndedWrites(rootPath);
  if (isPrivateWorkingCopy_) {
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
    for (auto p = std::filesystem::path(relative).parent_path(); !p.empty(); p = p.parent_path())
      emptied.insert(p.string());
  }
  for (const auto& folder : emptied) ::unlinkat(root.get(), folder.c_str(), AT_REMOVEDIR);  // only when empty

  auto manifestPath = rootPath / KXDocumentArchive::relativePathForManifest;
  std::optional<Data> manifest;
  if (writesManifest_) manifest = updatedManifest(entries);
  if (manifest) {
    auto stem = fs::processTemporaryStem(manifestPath.filename().string());
    if (auto written = fs::writeAtomically(manifestPath, *manifest, 0644, stem); !written) return written;
  } else {
    std::error_code ec;
    std::filesystem::remove(manifestPath, ec);
  }
  saveFileStatus(&entries);
  return {};
}
