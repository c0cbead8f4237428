// The folder backing's record of its files' status: what a later process need not read again.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string_view>
#include <vector>

#include "KXDirectoryArchiveBacking+Writing.h"
#include "KXDirectoryArchiveBacking.h"
#include "platform/FileSystem.h"

namespace {

std::int64_t nanoseconds(const timespec& t) {
  return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// File times tick coarsely: a file changed this shortly before it was hashed could change again
// after the hash without getting a new time, so such a hash is not kept.
constexpr std::int64_t kTimestampTolerance = 100'000'000;

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
    // What the record holds of it has another status, and so is never taken for it: forgetting
    // it is no reason to write the record again.
    known_.erase(relativePath);
    return;
  }
  KXFileStatusRecord::Known known{stamp, entry, crc32};
  auto [it, inserted] = known_.try_emplace(relativePath, known);
  if (!inserted && it->second == known) return;
  it->second = std::move(known);
  knownChanged_ = true;
}

void KXDirectoryArchiveBacking::removeFileStatusLeftovers() const {
  // The record is written through a temporary beside it, named after the writing process (by
  // earlier builds ".<name>.XXXXXX"); one that a killed process left is never renamed into place.
  const std::string prefix = std::string(".") + KXFileStatusRecord::fileName + ".";
  fs::removeEntriesInside(url_, [&prefix](std::string_view name) {
    if (name.substr(0, prefix.size()) != prefix) return false;
    return name.size() == prefix.size() + 6 || fs::isEndedProcessTemporary(name);
  });
}

void KXDirectoryArchiveBacking::loadFileStatus() {
  removeFileStatusLeftovers();
  // The record is a cache: unreadable, malformed or too large, it is as if there were none.
  UniqueFd fd(::open((url_ / KXFileStatusRecord::fileName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
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
  struct stat st {};
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
  auto fd = fs::openPlainFile(AT_FDCWD, url_ / relativePath, false);
  if (!fd) return KXDocumentArchive::makeEntry(reader);  // for the error the reader gives
  std::optional<struct stat> unchanged;
  std::uint32_t crc = 0;
  auto entry = folderbacking::hashOpenFile(fd->get(), unchanged, crc);
  if (!entry) return KXDocumentArchive::makeEntry(reader);  // for the error the reader gives
  if (unchanged && S_ISREG(unchanged->st_mode)) remember(relativePath, *unchanged, *entry, crc, false);
  return *entry;
}

void KXDirectoryArchiveBacking::keepFileStatus(const Entries& current) {
  saveFileStatus(&current);
}
