#include "KXZipArchiveBacking.h"

#include <sys/stat.h>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <set>
#include <vector>

#include "document/storage/ConcurrentWork.h"
#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentArchiveError.h"
#include "platform/FileSystem.h"
#include "platform/RWLog.h"
#include "zip/ZZCompressedContent.h"

namespace {

// Entries written without a file type (some tools leave the type bits empty) count as files
// unless their name marks a folder; folders and symbolic links never do.
bool isRegularFile(std::uint16_t mode, const std::string& name) {
  auto type = mode & 0170000;
  return type == 0100000 || (type == 0 && !name.empty() && name.back() != '/');
}

std::string normalized(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return text;
  auto u = nfc->normalize(icu::UnicodeString::fromUTF8(text), status);
  if (U_FAILURE(status)) return text;
  std::string out;
  u.toUTF8String(out);
  return out;
}

// Names compare as the user sees them: a precomposed and a decomposed accent are equal.
bool sameName(const std::string& a, const std::string& b) { return a == b || normalized(a) == normalized(b); }

Error readFailure() { return Error(NSCocoaErrorDomain, NSFileReadUnknownError); }

}  // namespace

Result<std::unique_ptr<KXZipArchiveBacking>> KXZipArchiveBacking::create(const std::filesystem::path& url,
                                                                         bool createIfNeeded, bool writesManifest) {
  if (!createIfNeeded) {
    struct stat st{};
    if (::stat(url.c_str(), &st) != 0) return fail(Error::file(errno, url.string()));
    if (!S_ISREG(st.st_mode)) return fail(KXDocumentArchiveError::invalidBacking(url.string() + " is not a file"));
  }
  // What a save killed half-way left beside the document goes when the document is next opened.
  if (auto removed = fs::removeStaleSiblingTemporaries(url))
    RWLog("Removed " + std::to_string(removed) + " temporary folder(s) an interrupted save left beside " + url.string());
  auto zip = ZZArchive::archiveWithURL(url, {{ZZOpenOptionsCreateIfMissingKey, true}});
  if (!zip) return fail(zip.error());
  return std::unique_ptr<KXZipArchiveBacking>(new KXZipArchiveBacking(url, writesManifest, std::move(*zip)));
}

Result<std::unique_ptr<KXDocumentArchiveBacking>> KXZipArchiveBacking::moved(const std::filesystem::path& to) const {
  auto backing = create(to, true, true);
  if (!backing) return fail(backing.error());
  return std::unique_ptr<KXDocumentArchiveBacking>(std::move(*backing));
}

DataReader KXZipArchiveBacking::entryReader(std::shared_ptr<ZZArchiveEntry> entry) {
  return [entry](const DataSink& sink) -> Result<void> {
    if (!entry) return fail(readFailure());
    auto stream = entry->newStream();
    if (!stream) return fail(readFailure());
    auto& in = **stream;
    in.open();
    std::vector<std::uint8_t> buffer(readChunkSize);
    Result<void> result;
    while (true) {
      auto n = in.read(buffer.data(), buffer.size());
      if (n == 0) break;
      if (n < 0) {
        result = fail(in.streamError().value_or(readFailure()));
        break;
      }
      if (auto s = sink(buffer.data(), static_cast<std::size_t>(n)); !s) {
        result = s;
        break;
      }
    }
    in.close();
    return result;
  };
}

DataReader KXZipArchiveBacking::dataReader(const std::string& relativePath) const {
  for (const auto& entry : zip_->entries()) {
    auto name = entry->fileSystemName();
    if (name && sameName(*name, relativePath)) return entryReader(entry);
  }
  return entryReader(nullptr);
}

void KXZipArchiveBacking::forEachEntry(
    const std::function<void(const std::string&, const std::shared_ptr<ZZArchiveEntry>&)>& body) const {
  // A name held twice is read from its first entry, as dataReader() does: the version check,
  // the read and the reflection all see the same file.
  std::set<std::string> seen;
  for (const auto& entry : zip_->entries()) {
    auto name = entry->fileSystemName();
    if (!name || !seen.insert(normalized(*name)).second) continue;
    if (!isRegularFile(entry->fileMode(), *name) || !KXDocumentArchive::shouldInclude(*name)) continue;
    body(*name, entry);
  }
}

void KXZipArchiveBacking::forEach(const std::function<void(const std::string&, const DataReader&)>& body) const {
  forEachEntry([&](const std::string& name, const std::shared_ptr<ZZArchiveEntry>& entry) {
    body(name, entryReader(entry));
  });
}

std::map<std::string, std::uint64_t> KXZipArchiveBacking::declaredSizes() const {
  std::map<std::string, std::uint64_t> sizes;
  forEachEntry([&](const std::string& name, const std::shared_ptr<ZZArchiveEntry>& entry) {
    sizes[name] = entry->uncompressedSize();
  });
  return sizes;
}

Result<void> KXZipArchiveBacking::reflect(const KXDocumentArchive& source, KXDocumentArchiveUpdateOperation,
                                          const UpdatedManifest& updatedManifest) {
  (void)fs::removeStaleSiblingTemporaries(url_);
  // Reading and compressing may take long: another program's write that lands meanwhile is
  // never replaced unread. The check runs once the new zip is complete, just before the rename.
  std::function<Result<void>()> beforeReplacing;
  if (auto expected = std::exchange(replaceOnlyIfStill_, std::nullopt))
    beforeReplacing = [this, expected = *expected] { return fs::requireUnchanged(url_, expected); };
  // What the zip holds now, to carry unchanged entries over as they are.
  std::map<std::string, std::shared_ptr<ZZArchiveEntry>> current;
  for (const auto& entry : zip_->entries())
    if (auto name = entry->fileSystemName(); name && !current.count(*name)) current[*name] = entry;
  std::optional<KXDocumentManifest> currentManifest;
  if (auto bytes = KXDocumentArchive::readText(dataReader(KXDocumentArchive::relativePathForManifest),
                                               KXDocumentArchive::maximumManifestSize))
    if (auto decoded = KXDocumentArchive::decodeManifest(*bytes)) currentManifest = std::move(*decoded);

  // What the source holds, in its order, and whether each file may be carried over: only a
  // file the zip holds as the manifest recorded it can be; every other file is read, hashed and
  // written in one pass.
  struct Item {
    std::string path;
    DataReader reader;
    std::shared_ptr<ZZArchiveEntry> old;
    const KXDocumentManifest::Entry* recorded = nullptr;
    std::optional<KXDocumentManifest::Entry> now;
    bool same = false;
  };
  std::vector<Item> items;
  source.backing().forEach([&](const std::string& path, const DataReader& reader) {
    if (!KXDocumentArchive::isSafeRelativePath(path)) {
      RWLog("Left out an entry whose name could leave the folder: \"" + path + "\"", 3);
      return;
    }
    Item item{path, reader, nullptr, nullptr, std::nullopt, false};
    auto old = current.find(path);
    if (currentManifest && currentManifest->files && old != current.end() && isRegularFile(old->second->fileMode(), path))
      if (auto r = currentManifest->files->find(path); r != currentManifest->files->end()) item.recorded = &r->second;
    if (item.recorded && old->second->uncompressedSize() == static_cast<std::uint64_t>(item.recorded->size)) {
      // A file the source knows unchanged is neither read nor hashed; its entry is carried over
      // only when the zip still holds those bytes (another program may have changed the entry
      // in place and left the manifest as it was).
      item.old = old->second;
      item.now = source.backing().knownEntry(path);
      auto crc = item.now ? source.backing().knownCRC32(path) : std::nullopt;
      item.same = item.now && *item.now == *item.recorded && crc && *crc == item.old->crc32();
      if (!item.same) item.now.reset();
    }
    items.push_back(std::move(item));
  });
  // The others are hashed once, on every core, to find whether they changed.
  std::vector<Item*> unknown;
  for (auto& item : items)
    if (item.old && !item.now) unknown.push_back(&item);
  performConcurrently(unknown.size(), threadsForJobs(unknown.size(), unknown.size()), [&](std::size_t i) {
    Item& item = *unknown[i];
    std::uint32_t crc = 0;
    DataSink crcSink = [&](const std::uint8_t* p, std::size_t n) -> Result<void> {
      crc = zzCrc32(crc, std::span(p, n));
      return {};
    };
    auto provisional = KXDocumentArchive::makeEntry(item.reader, &crcSink);
    if (provisional) item.now = *provisional;
    item.same = provisional && *item.recorded == *provisional && item.old->crc32() == crc;
    return true;
  });

  Entries files;
  std::vector<std::shared_ptr<ZZArchiveEntry>> entries;
  auto now = std::chrono::system_clock::now();
  for (auto& item : items) {
    const std::string& path = item.path;
    if (item.same) {
      files[path] = *item.now;
      entries.push_back(item.old);
      continue;
    }
    files[path] = KXDocumentManifest::Entry::unknown();
    // Each entry's block may run on its own thread: it writes only its own slot.
    KXDocumentManifest::Entry* slot = &files[path];
    auto stream = [slot, reader = item.reader](ZZOutputStream& out) -> Result<void> {
      out.open();
      DataSink toStream = [&out](const std::uint8_t* p, std::size_t n) -> Result<void> {
        while (n > 0) {
          auto written = out.write(p, n);
          if (written < 0) return fail(out.streamError().value_or(Error(NSCocoaErrorDomain, NSFileWriteUnknownError)));
          if (written == 0) return fail(NSCocoaErrorDomain, NSFileWriteUnknownError, "the archive took no bytes");
          p += written;
          n -= static_cast<std::size_t>(written);
        }
        return {};
      };
      auto entry = KXDocumentArchive::makeEntry(reader, &toStream);
      out.close();
      if (!entry) return fail(entry.error());
      if (out.streamStatus() == ZZStreamStatus::error)
        return fail(out.streamError().value_or(Error(NSCocoaErrorDomain, NSFileWriteUnknownError)));
      *slot = *entry;
      return {};
    };
    // Deflate can't shrink images, fonts or archives: those are stored as they are.
    int level = zzIsCompressedFileName(path) ? 0 : -1;
    entries.push_back(ZZArchiveEntry::archiveEntryWithFileName(path, 0100644, now, level, nullptr, stream, nullptr,
                                                               ZZArchiveEntry::BlockThread::any));
  }

  if (!writesManifest_) return zip_->updateEntries(entries, beforeReplacing);
  // The manifest is written last, from what the entries just written measured, so it matches
  // the bytes in the zip even when a file changed since it was looked at. Its block runs on
  // this thread once every file before it is written.
  auto manifestEntry = ZZArchiveEntry::archiveEntryWithFileName(
      KXDocumentArchive::relativePathForManifest, false, ZZArchiveEntry::DataBlock([&]() -> Result<Data> {
        auto manifest = updatedManifest(files);
        if (!manifest) return fail(Error());
        return *manifest;
      }));
  entries.push_back(manifestEntry);
  if (auto r = zip_->updateEntries(entries, beforeReplacing); !r) return fail(r.error());
  return {};
}
