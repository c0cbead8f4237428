// Reading a project into the container, saving it, and the origin record that lets the next
// opening of the same file take the working copy up again.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "document/storage/Bookmark.h"
#include "document/storage/KXDirectoryArchiveBacking+Writing.h"
#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXDiscardRemoval.h"
#include "document/storage/KXDocumentArchiveError.h"
#include "document/storage/KXDocumentContainer.h"
#include "document/storage/KXExpansionBudget.h"
#include "document/storage/KXSaveInFlight.h"
#include "document/storage/KXZipArchiveBacking.h"
#include "platform/Crypto.h"
#include "platform/ErrorWording.h"
#include "platform/Fatal.h"
#include "platform/FileSystem.h"
#include "platform/JsonCoder.h"
#include "platform/RWLog.h"
#include "zip/ZZFileName.h"
#include "platform/RunLoop.h"

namespace {

struct OriginInfo {
  Data bookmarkData;
  KXDocumentManifest manifest;
  std::chrono::system_clock::time_point modificationDate;
};

std::optional<OriginInfo> decodeOriginInfo(const std::string& text, std::optional<Error>* why) {
  auto fail = [&](Error e) -> std::optional<OriginInfo> {
    if (why) *why = std::move(e);
    return std::nullopt;
  };
  auto parsed = JsonCoder::parse(text);
  if (!parsed) return fail(parsed.error());
  const auto& root = *parsed;
  if (!root.is_object()) return fail(Error("com.korvel.container", 1, "\"info\" is not an object"));
  auto bookmark = root.find("bookmarkData");
  auto manifest = root.find("manifest");
  auto date = root.find("modificationDate");
  if (bookmark == root.end() || !bookmark->is_string() || manifest == root.end() || date == root.end() ||
      !date->is_string())
    return fail(Error("com.korvel.container", 2, "\"info\" lacks a field"));
  auto bytes = crypto::base64Decode(bookmark->get<std::string>());
  auto decodedManifest = KXDocumentArchive::decodeManifest(JsonCoder::dump(*manifest));
  auto when = KXDocumentArchive::parseDate(date->get<std::string>());
  if (!bytes || !decodedManifest || !when) return fail(Error("com.korvel.container", 3, "\"info\" has a malformed field"));
  return OriginInfo{std::move(*bytes), std::move(*decodedManifest), *when};
}

std::string describe(std::chrono::system_clock::time_point date) { return KXDocumentArchive::formatDate(date); }

bool isMissingFile(const Error& e) {
  return (e.domain == NSCocoaErrorDomain && (e.code == NSFileNoSuchFileError || e.code == NSFileReadNoSuchFileError));
}

// A name that is not UTF-8 is stored in the info file with U+FFFD for its bad bytes; it is
// compared in that form.
std::string storedForm(const std::string& path) {
  if (zzIsValidUTF8(std::span(reinterpret_cast<const std::uint8_t*>(path.data()), path.size()))) return path;
  auto stored = JsonCoder::parse(JsonCoder::dump(nlohmann::json(path)));
  return stored && stored->is_string() ? stored->get<std::string>() : path;
}

bool isImageOrAsset(const std::string& path) {
  static const std::string images = std::string(KXDocumentArchive::relativePathForImages) + "/";
  static const std::string assets = std::string(KXDocumentArchive::relativePathForAssets) + "/";
  return path.rfind(images, 0) == 0 || path.rfind(assets, 0) == 0;
}

KXDocumentContainer::Entries comparable(const KXDocumentContainer::Entries& entries) {
  KXDocumentContainer::Entries out;
  for (const auto& [path, entry] : entries)
    if (path.rfind(".backups", 0) != 0) out.emplace(storedForm(path), entry);
  return out;
}

// The file an origin record names, when the record has a bookmark; `resolved` is that file's
// canonical path, none when it is gone.
struct RecordedOrigin {
  std::optional<std::filesystem::path> resolved;
};

std::optional<RecordedOrigin> recordedOrigin(const std::filesystem::path& uuidDirectory) {
  auto text = fs::readText(uuidDirectory / KXDocumentContainer::nameForOriginInfo);
  if (!text) return std::nullopt;
  auto parsed = JsonCoder::parse(*text);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  auto field = parsed->find("bookmarkData");
  if (field == parsed->end() || !field->is_string()) return std::nullopt;
  auto bookmark = crypto::base64Decode(field->get<std::string>());
  if (!bookmark) return std::nullopt;
  return RecordedOrigin{Bookmark::resolve(*bookmark)};
}

bool isFile(const std::optional<std::filesystem::path>& resolved, const std::filesystem::path& file) {
  std::error_code ec;
  return resolved && *resolved == std::filesystem::weakly_canonical(file, ec);
}

bool namesFile(const std::filesystem::path& uuidDirectory, const std::filesystem::path& file) {
  auto recorded = recordedOrigin(uuidDirectory);
  return recorded && isFile(recorded->resolved, file);
}

// What a revert writes over: the working copy's document files, linked into a folder beside it
// (a reflection renames new files over the old names, so a link keeps what the name held), or
// copied where the file system links none. Removed with the object unless released.
Result<fs::TemporaryFolder> snapshotOf(const std::filesystem::path& workingCopy) {
  auto snapshot = fs::TemporaryFolder::besides(workingCopy);
  if (!snapshot) return fail(snapshot.error());
  UniqueFd root(::open(workingCopy.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root) return fail(Error::file(errno, workingCopy.string(), false));
  std::optional<Error> failed;
  folderbacking::walk(root.get(), "", [&](int parent, const std::string& name, const std::string& relative) {
    if (failed) return;
    auto to = snapshot->path() / relative;
    std::error_code ec;
    std::filesystem::create_directories(to.parent_path(), ec);
    if (ec) {
      failed = Error::file(ec.value(), to.parent_path().string(), false);
      return;
    }
    if (::linkat(parent, name.c_str(), AT_FDCWD, to.c_str(), 0) == 0) return;
    UniqueFd from(::openat(parent, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    UniqueFd into(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!from || !into) {
      failed = Error::file(errno, (workingCopy / relative).string());
      return;
    }
    std::vector<std::uint8_t> buffer(KXDirectoryArchiveBacking::readChunkSize);
    while (!failed) {
      ssize_t r = ::read(from.get(), buffer.data(), buffer.size());
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) failed = Error::file(errno, (workingCopy / relative).string());
      if (r <= 0) break;
      if (auto w = fs::writeAll(into.get(), buffer.data(), static_cast<std::size_t>(r), to); !w) failed = w.error();
    }
  });
  if (failed) return fail(*failed);
  return snapshot;
}

// The origin record of a working copy and its bookmark files, as they are now.
std::vector<std::pair<std::string, Data>> originRecordsIn(const std::filesystem::path& uuidDirectory) {
  std::vector<std::pair<std::string, Data>> records;
  std::error_code ec;
  for (auto& item : std::filesystem::directory_iterator(uuidDirectory, ec)) {
    std::string name = item.path().filename().string();
    bool bookmarkFile = name.size() >= 6 && name.rfind("---", 0) == 0 && name.compare(name.size() - 3, 3, "---") == 0;
    if (name != KXDocumentContainer::nameForOriginInfo && !bookmarkFile) continue;
    if (auto bytes = fs::readFile(item.path(), 1 << 26)) records.emplace_back(name, std::move(*bytes));
  }
  return records;
}

void requireMainThreadForSweep(const char* operation) {
  if (!RunLoop::isMainThread()) KORVEL_FATAL(std::string("KXDocumentContainer.") + operation + " called off the main thread");
}

}  // namespace

bool KXDocumentContainer::isCurrentCopy(const KXDocumentArchive& archive, ArchiveRelation relation) {
  if (projectDirectoryIsOrigin_) return true;
  if (relation.kind == ArchiveRelation::Kind::copy) return false;
  auto text = fs::readText(uuidDirectory_ / nameForOriginInfo);
  std::optional<Error> why;
  std::optional<OriginInfo> info;
  if (text) {
    info = decodeOriginInfo(*text, &why);
  } else {
    why = text.error();
  }
  if (!info) {
    if (why && !isMissingFile(*why)) log("Detecting changes — unexpected origin metadata: " + why->description());
    return false;
  }
  auto origin = Bookmark::resolve(info->bookmarkData);
  if (!origin) return false;
  std::error_code ec;
  if (*origin != std::filesystem::weakly_canonical(archive.backing().url(), ec)) return false;
  auto modified = archive.contentModificationDate();
  if (!modified) return false;
  log("Detecting changes: origin last modified on " + describe(*modified) + ", project last modified on " +
      describe(info->modificationDate));
  auto difference = std::chrono::abs(*modified - info->modificationDate);
  return difference < std::chrono::milliseconds(100);
}

bool KXDocumentContainer::workingCopyDiffersFromInfo() {
  auto text = fs::readText(uuidDirectory_ / nameForOriginInfo);
  if (!text) return false;
  auto info = decodeOriginInfo(*text, nullptr);
  projectDirectoryArchive_->regenerateManifest();
  auto now = comparable(projectDirectoryArchive_->manifest().files.value_or(Entries{}));
  // A record that can't be read (damaged, or written by a later version) vouches for nothing:
  // any file of the working copy may be an edit.
  if (!info || !info->manifest.files) {
    recordWasUnreadable_ = true;
    return !now.empty();
  }
  auto recorded = comparable(*info->manifest.files);
  // Reduced copies are made from the images after every read, and an image or asset the
  // record lacks is named by no saved page unless the document itself changed: neither is an
  // edit of its own.
  auto isDerived = [](const std::string& path) { return path.rfind(".cache/", 0) == 0; };
  std::erase_if(now, [&](const auto& item) {
    return isDerived(item.first) || (isImageOrAsset(item.first) && !recorded.count(item.first));
  });
  std::erase_if(recorded, [&](const auto& item) { return isDerived(item.first); });
  return now != recorded;
}

bool KXDocumentContainer::workingCopyHoldsContentsOf(const KXDocumentArchive& archive) {
  // The origin's files read afresh: its stored manifest is only what the writer claimed.
  Entries theirs;
  bool readable = true;
  archive.backing().forEach([&](const std::string& path, const DataReader& reader) {
    auto entry = KXDocumentArchive::makeEntry(reader);
    if (!entry) readable = false;
    else theirs.emplace(path, *entry);
  });
  if (!readable) return false;
  theirs = comparable(theirs);
  auto mine = comparable(projectDirectoryArchive_->manifest().files.value_or(Entries{}));
  for (const auto& [path, entry] : mine) {
    auto it = theirs.find(path);
    if (it != theirs.end()) {
      if (!(it->second == entry) || !entry.sha1) return false;
      continue;
    }
    // Images and assets nothing names are left out of every save: they are no unsaved edit.
    if (!isImageOrAsset(path)) return false;
  }
  for (const auto& [path, entry] : theirs)
    if (!mine.count(path)) return false;
  return true;
}

void KXDocumentContainer::setWorkingCopyAside() {
  auto stamp = KXDocumentArchive::formatDate(std::chrono::system_clock::now());
  auto aside = baseDirectory() / (uuidDirectory_.filename().string() + setAsideInfix + stamp);
  if (auto copied = fs::copyItem(projectDirectory_, aside); copied) {
    // Until the person has been told, the next opening tells of it: a crash before the alert
    // leaves it announced all the same.
    (void)fs::writeAtomically(aside / nameForSetAsideNotice, std::string_view(), 0600);
    setAsideCopy_ = aside;
    log(std::string(recordWasUnreadable_ ? "The origin record can't be read" : "The document changed elsewhere") +
        "; unsaved edits of this working copy were kept in " + aside.string());
  } else {
    log("Couldn't keep unsaved edits aside: " + copied.error().description());
  }
}

Result<std::optional<std::filesystem::path>> KXDocumentContainer::keepUnsavedEditsAside(bool edited) {
  waitForBackgroundWork();
  requireValid("keepUnsavedEditsAside");
  if (projectDirectoryIsOrigin_) return std::nullopt;
  recordWasUnreadable_ = false;
  setAsideCopy_.reset();
  bool differs = workingCopyDiffersFromInfo();
  if (!differs && !edited) return std::nullopt;
  setWorkingCopyAside();
  if (!setAsideCopy_)
    return fail(Error(NSCocoaErrorDomain, NSFileWriteUnknownError, "Unsaved edits could not be kept aside.")
                    .with(NSFilePathErrorKey, baseDirectory().string()));
  return setAsideCopy_;
}

struct KXDocumentContainer::ReadFiles {
  // What the data sources' files hold, in the order of dataSources_.
  std::vector<Data> contents;
};

Result<void> KXDocumentContainer::read(const KXDocumentArchive& archive, ArchiveRelation relation) {
  waitForBackgroundWork();
  requireValid("read(from:as:)");
  beginRead();
  return finishRead(readFiles(archive, relation, nullptr));
}

void KXDocumentContainer::readInBackground(std::shared_ptr<const KXDocumentArchive> archive, ArchiveRelation relation,
                                           std::function<void(Result<void>)> completion,
                                           std::shared_ptr<std::atomic<bool>> stop) {
  waitForBackgroundWork();
  requireValid("read(from:as:)");
  beginRead();
  auto work = std::make_shared<BackgroundWork>();
  background_ = work;
  auto self = shared_from_this();
  GlobalQueue::async([self, work, archive = std::move(archive), relation, stop = std::move(stop),
                      completion = std::move(completion)]() mutable {
    auto files = std::make_shared<Result<ReadFiles>>(self->readFiles(*archive, relation, stop));
    work->end();
    // The container goes along: its last reference, were it this one, ends on the main loop.
    MainQueue::async([self = std::move(self), work, files, completion = std::move(completion)] {
      if (self->background_ == work) self->background_.reset();
      auto read = self->finishRead(std::move(*files));
      if (completion) completion(std::move(read));
    });
  });
}

void KXDocumentContainer::beginRead() {
  dataSourcesAreFinal_ = true;
  resumedWithUnsavedChanges_ = false;
  recordWasUnreadable_ = false;
  setAsideCopy_.reset();
}

Result<KXDocumentContainer::ReadFiles> KXDocumentContainer::readFiles(const KXDocumentArchive& archive,
                                                                      ArchiveRelation relation,
                                                                      const std::shared_ptr<std::atomic<bool>>& stop) {
  bool preserve = !relation.replacesWorkingCopy && isCurrentCopy(archive, relation);
  log("Reading from " + archive.backing().url().string() + " (" + relation.word() +
      "); preserving existing contents of project folder: " + (preserve ? "true" : "false"));
  auto givenUp = [&]() -> std::optional<Error> {
    if (!stop || !stop->load()) return std::nullopt;
    log("Reading was given up");
    return Error(NSCocoaErrorDomain, 3072, "The opening was given up.");
  };

  bool origin = relation.kind == ArchiveRelation::Kind::origin;
  if (!preserve) {
    // A document whose file for a data source is more than the source may hold is refused
    // before anything changes here; a zip is expanded only within what its size makes believable
    // and the disk can spare, and one refused outright changes nothing either.
    if (auto refused = oversizedDataSource(archive, archive.backing().url())) {
      log("Error reading: " + refused->description());
      return fail(*refused);
    }
    auto budget = KXExpansionBudget::make(archive, projectDirectory_);
    if (!budget) {
      log("Error reading: " + budget.error().description());
      return fail(budget.error());
    }
    // Edits made here that never reached the origin are kept aside before the origin's
    // newer content replaces them.
    // A save that landed before its record was written left a file that holds just what the
    // working copy holds: nothing to keep aside then.
    // A revert replaces the edits at the person's word.
    if (origin && !relation.replacesWorkingCopy && workingCopyDiffersFromInfo()) {
      if (workingCopyHoldsContentsOf(archive))
        log("The origin holds what the working copy holds; nothing to keep aside");
      else
        setWorkingCopyAside();
    }
    if (auto stopped = givenUp()) return fail(*stopped);
    // A revert is whole or nothing: what the working copy held stays beside it, with its
    // record, until the file has been read over it whole, and is put back when the read fails.
    std::optional<fs::TemporaryFolder> before;
    std::vector<std::pair<std::string, Data>> records;
    if (relation.replacesWorkingCopy) {
      auto taken = snapshotOf(projectDirectory_);
      if (!taken) {
        log("Error reading: can't keep the working copy for the revert: " + taken.error().description());
        return fail(taken.error());
      }
      before = std::move(*taken);
      records = originRecordsIn(uuidDirectory_);
    }
    // While the copy runs the folder is neither the old origin nor the new one: without a record
    // a copy that stops part way (a kill, a failing read, the opening given up) is never taken
    // for unsaved edits.
    reflectOrigin(nullptr, false);
    // A read that is given up stops copying at its next chunk.
    const KXDocumentArchive& expanded = *budget ? (*budget)->view() : archive;
    std::shared_ptr<const KXDocumentArchive> stoppable;
    if (stop)
      stoppable = KXDocumentArchive::stoppable(std::shared_ptr<const KXDocumentArchive>(std::shared_ptr<void>(), &expanded), stop);
    auto reflected = projectDirectoryArchive_->reflect(stoppable ? *stoppable : expanded);
    // A copy given up part way lists fewer files: it is no copy of the origin.
    if (auto stopped = givenUp()) {
      if (before) putBackAfterFailedRevert(std::move(*before), records);
      return fail(*stopped);
    }
    if (!reflected) {
      auto why = *budget ? (*budget)->overrun() : std::nullopt;
      log("Error reading: " + (why ? *why : reflected.error()).description());
      if (before) putBackAfterFailedRevert(std::move(*before), records);
      if (why) return fail(*why);
      return fail(reflected.error());
    }
    projectDirectoryArchive_->regenerateManifest();
    reflectOrigin(origin ? &archive : nullptr, relation.isDraft);
  } else {
    // The working copy taken up is read by the same rule; edits it holds are kept aside first,
    // as the opening that fails gives it up.
    if (auto refused = oversizedDataSource(*projectDirectoryArchive_, archive.backing().url(), !projectDirectoryIsOrigin_)) {
      log("Error reading: " + refused->description());
      return fail(*refused);
    }
    if (!projectDirectoryIsOrigin_ && origin) resumedWithUnsavedChanges_ = workingCopyDiffersFromInfo();
    projectDirectoryArchive_->regenerateManifest();
  }
  if (auto stopped = givenUp()) return fail(*stopped);
  addMissingCachedImages();
  // Backups a kill stopped half made go at the opening, not a minute later at the first backup.
  removeLeftoverBackupTemporaries();
  log("Done reading");

  ReadFiles files;
  for (auto& [path, source] : dataSources_) {
    // Read inside the project folder: a link in it that leads out is refused.
    auto content = fs::readFileInside(projectDirectory_, path, maximumDataSourceSize);
    struct stat st {};
    if (!content && content.error().domain == fs::ConfinedErrorDomain && content.error().code == fs::notPlainFile &&
        ::stat((projectDirectory_ / path).c_str(), &st) == 0) {
      auto e = KXDirectoryArchiveBacking::notPlainFile(archive.backing().url(), path, st.st_mode);
      log("Error reading: " + e.description());
      return fail(e);
    }
    if (!content && content.error().domain == fs::ConfinedErrorDomain) {
      Error e(NSCocoaErrorDomain, NSFileReadUnknownError, path + " lies behind a link out of the document's folder");
      e.with(NSFilePathErrorKey, (projectDirectory_ / path).string());
      e.with(ErrorWording::failureReasonKey, "The document can't be opened.");
      e.with(ErrorWording::recoverySuggestionKey, "Its file “" + path +
                                                      "” lies behind a link that leads out of the document's folder, "
                                                      "and nothing is read or written through such a link.");
      log("Error reading: " + e.description());
      return fail(e);
    }
    if (!content) {
      // A missing file is empty content; one that exists but can't be read is an error.
      if (!isMissingFile(content.error())) return fail(content.error());
      content = Data();
    }
    files.contents.push_back(std::move(*content));
  }
  return files;
}

Result<void> KXDocumentContainer::finishRead(Result<ReadFiles> files) {
  // Closed while it read: nothing is taken up.
  if (!isValid_) return fail(Error(NSCocoaErrorDomain, 3072, "The opening was given up."));
  scheduleBackup();
  if (!files) return fail(files.error());
  addPackageRegistrySettings();
  originManifestEntries_ = projectDirectoryArchive_->manifest().files.value_or(Entries{});
  projectManifestEntries_ = originManifestEntries_;
  manifestDifferences_ = 0;
  std::size_t i = 0;
  for (auto& [path, source] : dataSources_) source->load(std::move(files->contents[i++]));
  return {};
}

void KXDocumentContainer::putBackAfterFailedRevert(fs::TemporaryFolder before,
                                                   const std::vector<std::pair<std::string, Data>>& records) {
  auto backing = KXDirectoryArchiveBacking::create(before.path(), false, false);
  Result<void> restored = backing ? Result<void>() : Result<void>(fail(backing.error()));
  if (backing) {
    KXDocumentArchive held(std::move(*backing), KXDocumentArchive::WithIdentity{uuid_});
    restored = projectDirectoryArchive_->reflect(held);
  }
  if (restored) {
    for (const auto& [name, bytes] : records)
      if (auto written = fs::writeAtomically(uuidDirectory_ / name, bytes, 0600); !written) restored = written;
  }
  projectDirectoryArchive_->regenerateManifest();
  if (restored) {
    log("The revert failed; the working copy holds what it held before");
    return;
  }
  // What the working copy held is whole only beside it now: it is kept where set-aside edits
  // are, and the next opening tells of it.
  auto aside = baseDirectory() / (uuidDirectory_.filename().string() + setAsideInfix +
                                  KXDocumentArchive::formatDate(std::chrono::system_clock::now()));
  (void)fs::writeAtomically(before.path() / nameForSetAsideNotice, std::string_view(), 0600);
  std::error_code moved;
  std::filesystem::rename(before.path(), aside, moved);
  if (!moved) {
    (void)before.release();
    setAsideCopy_ = aside;
  }
  log("The revert failed and the working copy could not be put back (" + restored.error().description() + ")" +
      (moved ? std::string() : "; what it held was kept in " + aside.string()));
}

std::optional<std::uint64_t> KXDocumentContainer::storedSize(const KXDocumentArchive& archive,
                                                            const std::string& relativePath) {
  if (const auto* zip = dynamic_cast<const KXZipArchiveBacking*>(&archive.backing())) {
    auto declared = zip->declaredSizes();
    auto it = declared.find(relativePath);
    if (it == declared.end()) return std::nullopt;
    return it->second;
  }
  struct stat st {};
  if (::stat((archive.backing().url() / relativePath).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<Error> KXDocumentContainer::oversizedDataSource(const KXDocumentArchive& archive,
                                                             const std::filesystem::path& document,
                                                             bool workingCopy) {
  for (const auto& [path, source] : dataSources_) {
    auto size = storedSize(archive, path);
    if (!size || *size <= maximumDataSourceSize) continue;
    auto name = document.filename().string();
    auto [told, bound] = KXExpansionBudget::describeApart(*size, maximumDataSourceSize);
    Error e(NSCocoaErrorDomain, NSFileReadTooLargeError,
            path + " of " + (workingCopy ? "the unsaved edits of " : "") + name + " takes " + std::to_string(*size) +
                " bytes, more than the " + std::to_string(maximumDataSourceSize) + " a document may hold there");
    e.with(ErrorWording::failureReasonKey, "“" + name + "” can't be opened.");
    if (!workingCopy) {
      e.with(ErrorWording::recoverySuggestionKey,
             "Its design (“" + path + "”) takes " + told + ", and a design may take at most " + bound + ".");
    } else {
      // The file itself may be small: what grew is the design its unsaved edits hold, and those
      // edits are kept aside, as this alert says now rather than at the next opening.
      if (workingCopyDiffersFromInfo()) setWorkingCopyAside();
      std::string kept = setAsideCopy_ ? " Those edits were kept in “" + setAsideCopy_->string() + "”." : "";
      if (setAsideCopy_) setAsideCopyWasAnnounced(*setAsideCopy_);
      e.with(ErrorWording::recoverySuggestionKey,
             "The design of its unsaved edits (“" + path + "”) takes " + told + ", and a design may take at most " +
                 bound + "." + kept);
    }
    e.with(NSFilePathErrorKey, document.string());
    return e;
  }
  return std::nullopt;
}

Result<void> KXDocumentContainer::save(KXDocumentArchive& archive, ArchiveRelation relation) {
  waitForBackgroundWork();
  requireValid("save(to:as:)");
  auto view = beginSave(archive.backing().url(), relation);
  if (!view) return {};
  return writeSave(archive, **view, relation);
}

void KXDocumentContainer::saveInBackground(std::shared_ptr<KXDocumentArchive> archive, ArchiveRelation relation,
                                           std::function<void(Result<void>)> completion) {
  waitForBackgroundWork();
  requireValid("save(to:as:)");
  auto view = beginSave(archive->backing().url(), relation);
  if (!view) {
    MainQueue::async([completion = std::move(completion)] {
      if (completion) completion({});
    });
    return;
  }
  auto work = std::make_shared<BackgroundWork>();
  background_ = work;
  auto self = shared_from_this();
  GlobalQueue::async([self, work, archive = std::move(archive), view = std::move(*view), relation,
                      completion = std::move(completion)]() mutable {
    auto saved = std::make_shared<Result<void>>(self->writeSave(*archive, *view, relation));
    work->end();
    MainQueue::async([self = std::move(self), work, saved, completion = std::move(completion)] {
      if (self->background_ == work) self->background_.reset();
      if (completion) completion(std::move(*saved));
    });
  });
}

void KXDocumentContainer::saveInBackground(const std::filesystem::path& url, ArchiveOpener open, ArchiveRelation relation,
                                           std::function<void(Result<std::shared_ptr<KXDocumentArchive>>)> completion) {
  waitForBackgroundWork();
  requireValid("save(to:as:)");
  auto view = beginSave(url, relation);
  auto work = std::make_shared<BackgroundWork>();
  background_ = work;
  auto self = shared_from_this();
  GlobalQueue::async([self, work, open = std::move(open), view = std::move(view), relation,
                      completion = std::move(completion)]() mutable {
    auto archive = open();
    if (archive && view) {
      if (auto saved = self->writeSave(**archive, **view, relation); !saved) archive = fail(saved.error());
    } else if (archive && !(*archive)->manifest().files) {
      // The working copy itself (a folder saved as itself): it holds what it holds.
      (*archive)->regenerateManifest();
    }
    auto written = std::make_shared<Result<std::shared_ptr<KXDocumentArchive>>>(std::move(archive));
    work->end();
    MainQueue::async([self = std::move(self), work, written, completion = std::move(completion)] {
      if (self->background_ == work) self->background_.reset();
      if (completion) completion(std::move(*written));
    });
  });
}

std::vector<std::string> KXDocumentContainer::changedSinceSave() {
  if (!savedEntries_ || !isValid_) return {};
  updatePendingManifestEntries();
  auto counts = [&](const std::string& path) {
    return !discardedBySave_.count(path) && path.rfind(".backups", 0) != 0 && path.rfind(".cache/", 0) != 0;
  };
  std::vector<std::string> changed;
  for (const auto& [path, entry] : projectManifestEntries_) {
    auto written = savedEntries_->find(path);
    if (counts(path) && (written == savedEntries_->end() || !(written->second == entry))) changed.push_back(path);
  }
  for (const auto& [path, entry] : *savedEntries_)
    if (counts(path) && !projectManifestEntries_.count(path)) changed.push_back(path);
  return changed;
}

std::optional<std::shared_ptr<KXDocumentArchive>> KXDocumentContainer::beginSave(const std::filesystem::path& url,
                                                                                 ArchiveRelation relation) {
  dataSourcesAreFinal_ = true;
  savedEntries_.reset();
  std::error_code ec;
  if (projectDirectoryIsOrigin_ &&
      std::filesystem::weakly_canonical(url, ec) == std::filesystem::weakly_canonical(projectDirectory_, ec))
    return std::nullopt;
  log("Saving to " + url.string() + " (" + relation.word() + ")");
  // Taken now: what is left out is what nothing named when the save began.
  discardedBySave_ = projectRelativePathsToDiscard_;
  return KXDocumentArchive::filtered(projectDirectoryArchive_,
                                     [discard = discardedBySave_](const std::string& path) { return !discard.count(path); });
}

Result<void> KXDocumentContainer::writeSave(KXDocumentArchive& archive, const KXDocumentArchive& view,
                                            ArchiveRelation relation) {
  KXSaveInFlight inFlight(archive.backing().url());
  if (auto reflected = archive.reflect(view); !reflected) {
    log("Error saving: " + reflected.error().description());
    return reflected;
  }
  log("Done saving");
  // A folder that keeps no manifest lists what was written from the writer's own record of it.
  if (!archive.manifest().files) archive.regenerateManifest();
  if (relation.kind == ArchiveRelation::Kind::origin) reflectOrigin(&archive, relation.isDraft);
  // What the file holds now: the working copy may have changed while it was written.
  savedEntries_ = archive.manifest().files.value_or(Entries{});
  return {};
}

void KXDocumentContainer::reflectOrigin(const KXDocumentArchive* archive, bool isDraft) {
  // Also beside the main loop, in a read or save that has the container to itself.
  if (!isValid_) KORVEL_FATAL("KXDocumentContainer.reflectOrigin called on a container that is not valid");
  if (projectDirectoryIsOrigin_) return;
  // The new record replaces the old by a rename, and the old bookmark files go only after it:
  // a kill at any moment leaves the working copy with one record, the old or the new.
  std::optional<std::string> keptBookmark;
  if (archive) {
    const auto& url = archive->backing().url();
    if (auto bookmark = Bookmark::make(url)) {
      std::string bookmarkName = "--- " + url.filename().string() + " ---";
      if (!isDraft && fs::writeAtomically(uuidDirectory_ / bookmarkName, *bookmark, 0600)) keptBookmark = bookmarkName;
      auto date = archive->contentModificationDate().value_or(std::chrono::system_clock::now());
      // The origin's own manifest, or what was read from it when it carries none.
      KXDocumentManifest manifest = archive->manifest();
      if (!manifest.files) manifest.files = projectDirectoryArchive_->manifest().files;
      nlohmann::json info = {{"bookmarkData", crypto::base64Encode(*bookmark)},
                             {"manifest", KXDocumentArchive::manifestJSON(manifest)},
                             {"modificationDate", KXDocumentArchive::formatDate(date)}};
      bool written = static_cast<bool>(
          fs::writeAtomically(uuidDirectory_ / nameForOriginInfo, KXDocumentArchive::encode(info), 0600));
      removeOriginRecords(!written, keptBookmark);
      log("Updating origin: " + url.string() + ", last modified on: " + describe(date));
      return;
    }
  }
  removeOriginRecords(true, std::nullopt);
}

void KXDocumentContainer::removeOriginRecords(bool info, const std::optional<std::string>& keptBookmark) {
  std::error_code ec;
  for (auto& item : std::filesystem::directory_iterator(uuidDirectory_, ec)) {
    std::string name = item.path().filename().string();
    if (name.empty() || name[0] == '.' || name == keptBookmark) continue;
    bool bookmarkFile = name.size() >= 6 && name.rfind("---", 0) == 0 && name.compare(name.size() - 3, 3, "---") == 0;
    if ((info && name == nameForOriginInfo) || bookmarkFile) (void)fs::removeItem(item.path());
  }
}

namespace {

// Whether the working copy in `uuidDirectory` holds what its origin held when it was last read
// or saved, judged without the origin itself.
bool holdsWhatItsOriginHeld(const std::filesystem::path& uuidDirectory, const KXDocumentManifest& recorded) {
  auto folder = uuidDirectory / KXDocumentContainer::nameForProjectDirectory;
  if (!fs::exists(folder)) return true;
  if (!recorded.files) return false;
  auto backing = KXDirectoryArchiveBacking::create(folder, false, false, true);
  if (!backing) return false;
  KXDocumentArchive workingCopy(std::move(*backing), KXDocumentArchive::WithIdentity{recorded.uuid});
  workingCopy.regenerateManifest();
  // Reduced copies of images are made from the images after every read: they are no edit.
  auto withoutCaches = [](KXDocumentContainer::Entries entries) {
    std::erase_if(entries, [](const auto& item) { return item.first.rfind(".cache/", 0) == 0; });
    return comparable(entries);
  };
  return withoutCaches(workingCopy.manifest().files.value_or(KXDocumentContainer::Entries{})) ==
         withoutCaches(*recorded.files);
}

// A folder that can't be listed is taken to hold files: what can't be read is never removed.
bool holdsFiles(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::directory_iterator entries(folder, ec);
  if (ec) return ec != std::errc::no_such_file_or_directory;
  return entries != std::filesystem::directory_iterator();
}

// Moves the working copy of the container folder `dir` where set-aside edits are, named after
// the folder `name`, with a notice for the next opening of its document that holds the
// `bookmark` of its file when there is one (a file without an identity of its own is known by
// it alone, under any name); `*where` is where, when there were files to move. False when it
// couldn't: the folder then stays.
bool setAsideAtStart(const std::filesystem::path& dir, const std::string& name, const Data* bookmark,
                     std::optional<std::filesystem::path>* where = nullptr) {
  auto folder = dir / KXDocumentContainer::nameForProjectDirectory;
  if (!holdsFiles(folder)) return true;
  auto aside = KXDocumentContainer::baseDirectory() /
               (name + KXDocumentContainer::setAsideInfix +
                KXDocumentArchive::formatDate(std::chrono::system_clock::now()));
  // The notice goes in first: the move takes it along or leaves a hidden file nothing reads.
  (void)fs::writeAtomically(folder / KXDocumentContainer::nameForSetAsideNotice, bookmark ? *bookmark : Data(), 0600);
  std::error_code moved;
  std::filesystem::rename(folder, aside, moved);
  if (moved) {
    RWLog("Kept a working copy with unsaved edits whose document is away: " + moved.message(), 3);
    return false;
  }
  RWLog("Unsaved edits of a document that is away were kept in " + aside.string());
  if (where) *where = aside;
  return true;
}

}  // namespace

std::vector<std::pair<std::filesystem::path, Uuid>> KXDocumentContainer::idleWorkingCopies(bool afterRemovals) {
  std::set<Uuid> live;
  for (auto& weak : allInstances())
    if (auto c = weak.lock(); c && c->isValid_ && !c->projectDirectoryIsOrigin_) live.insert(c->uuid_);
  const std::string prefix = "Korvel-";
  std::vector<std::pair<std::filesystem::path, Uuid>> idle;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(baseDirectory(), ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    auto name = it->path().filename().string();
    // Set-aside copies carry more than the UUID after the prefix.
    auto uuid = name.rfind(prefix, 0) == 0 ? Uuid::parse(name.substr(prefix.size())) : std::nullopt;
    std::error_code kind;
    if (!uuid || !it->is_directory(kind) || it->is_symlink(kind) || live.count(*uuid)) continue;
    // Judged once the unused files of its last close are gone.
    if (afterRemovals) KXDiscardRemoval::finish(it->path() / nameForProjectDirectory);
    idle.emplace_back(it->path(), *uuid);
  }
  return idle;
}

bool KXDocumentContainer::recordsOtherOrigin(const Uuid& uuid, const std::filesystem::path& origin) {
  // A record that can't be read (damaged, or written by a later version) names no file: the
  // read keeps what the folder holds aside before it fills it.
  auto dir = baseDirectory() / (std::string("Korvel-") + uuid.string());
  auto recorded = recordedOrigin(dir);
  return recorded && !isFile(recorded->resolved, origin);
}

std::optional<Uuid> KXDocumentContainer::workingCopyRecording(const std::filesystem::path& origin) {
  requireMainThreadForSweep("workingCopyRecording");
  std::optional<Uuid> newest;
  std::filesystem::file_time_type newestRecord;
  // Only records are read: the removal of thousands of unused pictures a close left in one is not
  // waited for on the main loop (a working copy taken up again stops it).
  for (const auto& [dir, uuid] : idleWorkingCopies(false)) {
    if (!namesFile(dir, origin)) continue;
    std::error_code ec;
    auto written = std::filesystem::last_write_time(dir / nameForOriginInfo, ec);
    if (ec) continue;
    if (!newest || written > newestRecord) {
      newest = uuid;
      newestRecord = written;
    }
  }
  return newest;
}

std::optional<std::filesystem::path> KXDocumentContainer::setAsideCopyToAnnounce(const Uuid& uuid,
                                                                              const std::filesystem::path& origin) {
  const std::string prefix = std::string("Korvel-") + uuid.string() + setAsideInfix;
  // A notice holds a bookmark of some hundred bytes; anything larger is none of ours.
  constexpr std::uintmax_t noticeLimit = 64 << 10;
  std::optional<std::filesystem::path> newest;
  std::string newestDate;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(baseDirectory(), ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::error_code kind;
    auto name = it->path().filename().string();
    auto infix = name.find(setAsideInfix);
    if (name.rfind("Korvel-", 0) != 0 || infix == std::string::npos || it->is_symlink(kind) ||
        !it->is_directory(kind))
      continue;
    auto notice = fs::readFile(it->path() / nameForSetAsideNotice, noticeLimit);
    if (!notice) continue;
    // Its own identity names it; a file without one (that identity is new at every opening) is
    // known by the bookmark the notice holds, renamed too.
    if (name.rfind(prefix, 0) != 0 && (notice->empty() || !Bookmark::refersTo(*notice, origin))) continue;
    // The date in the name sorts as text.
    auto date = name.substr(infix + std::string_view(setAsideInfix).size());
    if (!newest || date > newestDate) {
      newest = it->path();
      newestDate = date;
    }
  }
  return newest;
}

void KXDocumentContainer::setAsideCopyWasAnnounced(const std::filesystem::path& copy) {
  (void)fs::removeItem(copy / nameForSetAsideNotice);
}

std::optional<std::filesystem::path> KXDocumentContainer::retireWorkingCopies(const std::filesystem::path& origin,
                                                                             const Uuid& heir) {
  return retire(workingCopiesToRetire(origin), origin, heir);
}

std::vector<std::filesystem::path> KXDocumentContainer::workingCopiesToRetire(const std::filesystem::path& origin) {
  requireMainThreadForSweep("retireWorkingCopies");
  std::vector<std::filesystem::path> copies;
  for (const auto& [dir, uuid] : idleWorkingCopies())
    if (namesFile(dir, origin)) copies.push_back(dir);
  return copies;
}

std::optional<std::filesystem::path> KXDocumentContainer::retire(const std::vector<std::filesystem::path>& copies,
                                                                 const std::filesystem::path& origin, const Uuid& heir) {
  std::optional<std::filesystem::path> aside;
  for (const auto& dir : copies) {
    auto text = fs::readText(dir / nameForOriginInfo);
    auto info = text ? decodeOriginInfo(*text, nullptr) : std::nullopt;
    if (!info || !isFile(Bookmark::resolve(info->bookmarkData), origin)) continue;
    if (!holdsWhatItsOriginHeld(dir, info->manifest) &&
        !setAsideAtStart(dir, std::string("Korvel-") + heir.string(), &info->bookmarkData, &aside))
      continue;
    (void)fs::removeItem(dir);
  }
  return aside;
}

std::size_t KXDocumentContainer::removeUnclaimedWorkingCopies() {
  requireMainThreadForSweep("removeUnclaimedWorkingCopies");
  if (auto removed = removeLeftoversOfKeptContent())
    RWLog("Removed " + std::to_string(removed) + " temporaries that keeping refused edits left");
  if (auto removed = fs::removeStaleTemporaries(baseDirectory(), removingPrefix))
    RWLog("Removed " + std::to_string(removed) + " working copies that an ended process was removing");
  std::vector<std::filesystem::path> unclaimed;
  for (const auto& [dir, uuid] : idleWorkingCopies()) {
    auto text = fs::readText(dir / nameForOriginInfo);
    if (text) {
      auto info = decodeOriginInfo(*text, nullptr);
      if (info && Bookmark::resolve(info->bookmarkData)) continue;
      // The document is away (a drive not mounted, a file moved while Korvel was closed), or its
      // record can't be read (damaged, or written by a later version): what it may never have
      // received is kept where set-aside edits are, and its next opening tells the person.
      bool mayHoldEdits = info ? !holdsWhatItsOriginHeld(dir, info->manifest) : true;
      if (mayHoldEdits && !setAsideAtStart(dir, dir.filename().string(), info ? &info->bookmarkData : nullptr)) continue;
    } else if (!isMissingFile(text.error())) {
      continue;  // unreadable for now: judged another time
    }
    unclaimed.push_back(dir);
  }
  for (const auto& dir : unclaimed) (void)fs::removeItem(dir);
  return unclaimed.size();
}
