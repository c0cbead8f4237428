// Saving, reverting, duplicating and closing a project document.
#include "canvas/OstrelViewController.h"
#include "document/DocumentHooks.h"
#include "document/KXDocument.h"
#include "document/storage/KXDocumentError.h"
#include "platform/Fatal.h"
#include "platform/FileSystem.h"
#include "platform/RunLoop.h"

namespace {

// The files of a folder as they are on disk now.
std::optional<std::map<std::string, KXDocumentManifest::Entry>> filesOnDisk(const std::filesystem::path& folder) {
  auto reopened = KXDocumentArchive::open(folder, KXDocument::folderType, false, std::nullopt, false);
  if (!reopened) return std::nullopt;
  (*reopened)->regenerateManifest();
  return (*reopened)->manifest().files;
}

}  // namespace

void KXDocument::flush(std::function<void(bool finished)> done) {
  auto finished = std::make_shared<bool>(false);
  container_->writeChanges([finished] { *finished = true; });
  RunLoop::waitUsingRecursiveRunloop([finished] { return !*finished; }, flushTimeout,
                                     [finished, done = std::move(done)] { done(*finished); });
}

void KXDocument::save(const std::filesystem::path& url, const std::string& type, SaveOperation operation,
                      Completion completion) {
  if (queueSaveWhileSaving(url, type, operation, completion)) return;
  completion = savingUntilDone(std::move(completion));
  bool wasUntitled = !fileURL().has_value();
  if (container_->projectDirectoryIsOrigin() && url == container_->projectDirectory())
    preventChangedByOtherAppErrorOnSave();
  auto generation = editGeneration_;
  bool cancellable = autosavingIsImplicitlyCancellable();
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  flush([weak, url, type, operation, completion, wasUntitled, generation, cancellable](bool finished) {
    auto self = weak.lock();
    if (!self) {
      if (completion) completion(Error(NSCocoaErrorDomain, NSFileWriteUnknownError, "The document was closed."));
      return;
    }
    if (!cancellable && !finished) {
      if (completion) completion(makeError(KXDocumentError::containerHasUnwrittenChanges));
      return;
    }
    self->savingGeneration_ = generation;
    self->withImplicitCancellation(cancellable, [&] {
      self->PDBaseDocument::save(url, type, operation, [weak, completion, wasUntitled](std::optional<Error> error) {
        auto doc = weak.lock();
        if (doc) doc->savingGeneration_.reset();
        if (completion) completion(error);
        if (doc && wasUntitled && doc->fileURL()) DocumentHooks::track("app_save_project", {});
      });
    });
  });
}

Result<void> KXDocument::writeSafely(const std::filesystem::path& url, const std::string& type,
                                     SaveOperation operation) {
  if (!RunLoop::isMainThread()) KORVEL_FATAL("KXDocument::writeSafely off the main thread");
  // A source its provider refused to hand over says why; only one that changed meanwhile has
  // more changes.
  if (!autosavingIsImplicitlyCancellable() && container_->hasUnwrittenChanges())
    return fail(container_->unwrittenChangesReason().value_or(makeError(KXDocumentError::containerHasUnwrittenChanges)));
  savedAsArchive_.reset();
  switch (operation) {
    case SaveOperation::saveAs: {
      std::optional<Uuid> uuid;
      if (!isDuplicating_ && !fileArchive_) uuid = container_->uuid();
      if (type == folderType) return saveAsFolder(url, type, uuid);
      // The working copy becomes the new file's, so the new file takes its identity: the next
      // opening of that file, after a crash too, finds it with the edits made after the save.
      bool keepsIdentity = !isDuplicating_ && !container_->projectDirectoryIsOrigin();
      if (keepsIdentity) uuid = container_->uuid();
      return saveAsZip(url, type, uuid, keepsIdentity);
    }
    case SaveOperation::saveTo:
    case SaveOperation::autosaveAs:
      return fail(makeError(KXDocumentError::notImplemented));
    case SaveOperation::autosaveElsewhere: {
      std::optional<Uuid> uuid;
      auto relation = KXDocumentContainer::ArchiveRelation::copy();
      if (!isDuplicating_) {
        uuid = container_->uuid();
        relation = fileURL() ? KXDocumentContainer::ArchiveRelation::copy()
                             : KXDocumentContainer::ArchiveRelation::origin(true);
      }
      auto archive = KXDocumentArchive::open(url, type, true, uuid, true);
      if (!archive) return fail(archive.error());
      return container_->save(**archive, relation);
    }
    case SaveOperation::autosaveInPlace:
      if (autosavingIsImplicitlyCancellable()) return {};
      return saveToFileArchive(url);
    case SaveOperation::save:
    default:
      return saveToFileArchive(url);
  }
}

Result<void> KXDocument::saveToFileArchive(const std::filesystem::path& url) {
  if (!fileArchive_) return fail(makeError(KXDocumentError::archiveIsNil));
  if (fileArchive_->backing().url() != url) return fail(makeError(KXDocumentError::archiveHasIncorrectFileURL));
  if (auto target = targetAsChecked()) fileArchive_->backing().replaceOnlyIfStill(*target);
  return container_->save(*fileArchive_, KXDocumentContainer::ArchiveRelation::origin(false));
}

Result<void> KXDocument::saveAsZip(const std::filesystem::path& url, const std::string& type, std::optional<Uuid> uuid,
                                   bool keepsIdentity) {
  auto archive = KXDocumentArchive::open(url, type, true, uuid, true);
  if (!archive) return fail(archive.error());
  // A file replaced by the save gives up its own identity, and its working copy goes.
  if (keepsIdentity && uuid && (*archive)->uuid() != *uuid) {
    archive = withIdentity(**archive, *uuid);
    if (!archive) return fail(archive.error());
  }
  if (auto target = targetAsChecked()) (*archive)->backing().replaceOnlyIfStill(*target);
  if (auto saved = container_->save(**archive, KXDocumentContainer::ArchiveRelation::origin(false)); !saved) return saved;
  // Whatever identity a replaced file had opened under, its working copy records it. Edits it
  // held never reached the file: the person who replaced it is told where they are.
  if (keepsIdentity && uuid) {
    if (auto aside = KXDocumentContainer::retireWorkingCopies(url, *uuid)) {
      setAsideToAnnounce_ = SetAside{*aside, SetAside::Why::replaced};
      scheduleMessages();
    }
  }
  savedAsArchive_ = *archive;
  if (!container_->projectDirectoryIsOrigin()) return {};
  // A folder edited in place saved as a zip: from now on the zip is the origin, so the document
  // works in a container of its own for it, and the folder is left as it is.
  auto made = readSavedArchive(KXDocumentContainer::create((*archive)->uuid(), url), **archive);
  if (!made) return fail(made.error());
  auto old = container_;
  setContainer(*made);
  (void)old->deleteContainer(false);
  didChangeContainer();
  return {};
}

Result<std::shared_ptr<KXDocumentContainer>> KXDocument::readSavedArchive(
    Result<std::shared_ptr<KXDocumentContainer>> made, KXDocumentArchive& archive) {
  if (!made) return made;
  (*made)->addDataSource(documentJSONSource(), KXDocumentArchive::relativePathForDocumentJSON);
  if (auto read = (*made)->read(archive, KXDocumentContainer::ArchiveRelation::origin(false)); !read) {
    (void)(*made)->deleteContainer(false);
    return fail(read.error());
  }
  return made;
}

Result<void> KXDocument::saveAsFolder(const std::filesystem::path& url, const std::string& type,
                                      std::optional<Uuid> uuid) {
  auto archive = KXDocumentArchive::open(url, type, true, uuid, false);
  if (!archive) return fail(archive.error());
  if (auto saved = container_->save(**archive, KXDocumentContainer::ArchiveRelation::origin(false)); !saved) return saved;
  // The new folder must hold what the working copy holds before the old working copy may go.
  container_->updatePendingManifestEntries();
  auto expected = container_->projectManifestEntries();
  for (auto& discarded : container_->projectRelativePathsToDiscard()) expected.erase(discarded);
  if (filesOnDisk(url) != expected)
    return fail(Error(NSCocoaErrorDomain, NSFileWriteUnknownError, "The folder does not hold what was saved into it.")
                    .with(NSFilePathErrorKey, url.string()));
  auto made = readSavedArchive(KXDocumentContainer::create(*archive), **archive);
  if (!made) return fail(made.error());
  auto old = container_;
  fileArchive_ = *archive;
  setContainer(*made);
  didChangeContainer();
  (void)old->deleteContainer(false);
  wantsVersioningCheck_ = true;
  scheduleMessages();
  return {};
}

void KXDocument::scheduleMessages() {
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  MainQueue::asyncAfter(messageDelay, [weak] {
    auto self = weak.lock();
    if (!self || self->isClosing()) return;
    self->presentMigrationMessageIfNeeded();
    self->presentSetAsideMessageIfNeeded();
    self->presentVersioningMessageIfNeeded();
  });
}

Result<void> KXDocument::revert(const std::filesystem::path& url, const std::string& type) {
  isReverting_ = true;
  auto result = PDBaseDocument::revert(url, type);
  isReverting_ = false;
  // The working copy holds the file's content again, and so does the editor, from its next page.
  if (result) {
    container_->mark(false);
    restartEditorPage();
  }
  return result;
}

bool KXDocument::fileHoldsLastContent(const std::filesystem::path& url) const {
  if (!fileArchive_ || !fileArchive_->manifest().files) return false;
  auto now = KXDocumentArchive::open(url, fileType(), false, std::nullopt, true);
  if (!now) {
    container_->log("The origin changed on disk since it was last read or saved and can't be read: " +
                    now.error().description());
    return false;
  }
  // Every file read afresh, against the digests of what was last read or written: a manifest
  // only says what its writer claimed, and a tool that changed one file may have left it as it
  // was. No more is read than the document itself holds.
  const auto& mine = *fileArchive_->manifest().files;
  bool same = true;
  std::size_t matched = 0;
  (*now)->backing().forEach([&](const std::string& path, const DataReader& reader) {
    auto expected = same ? mine.find(path) : mine.end();
    if (expected == mine.end()) {
      same = false;
      return;
    }
    std::int64_t seen = 0;
    DataSink bounded = [&](const std::uint8_t*, std::size_t count) -> Result<void> {
      seen += static_cast<std::int64_t>(count);
      if (seen > expected->second.size) return fail(Error(NSCocoaErrorDomain, NSFileReadUnknownError, "Larger."));
      return {};
    };
    auto entry = KXDocumentArchive::makeEntry(reader, &bounded);
    if (entry && *entry == expected->second) ++matched;
    else same = false;
  });
  same = same && matched == mine.size();
  container_->log(std::string("The origin changed on disk since it was last read or saved; it holds ") +
                  (same ? "the same files" : "other files"));
  return same;
}

Result<void> KXDocument::revertToChangedFile(const std::filesystem::path& url, const std::string& type) {
  auto old = container_;
  // Unsaved edits go nowhere before a copy of them is safe.
  auto aside = container_->keepUnsavedEditsAside(isDocumentEdited());
  if (!aside) return fail(aside.error());
  container_->log("The file changed on disk since it was last read or saved; reading it again");
  if (auto reverted = revert(url, type); !reverted) {
    if (*aside) keepAsideAfterFailedRevert(**aside);
    return reverted;
  }
  // A file that now holds another project is read into a working copy of its own; the old one's
  // edits are in the copy.
  if (old != container_) (void)old->deleteContainer(false);
  if (*aside) {
    setAsideToAnnounce_ = SetAside{**aside, SetAside::Why::changedElsewhere};
    scheduleMessages();
  }
  return {};
}

void KXDocument::keepAsideAfterFailedRevert(const std::filesystem::path& copy) {
  // A read that failed before it wrote anything replaced no edit: they are in the window and the
  // working copy still, and a copy of them would be announced at the next opening for nothing.
  auto kept = filesOnDisk(copy);
  if (kept && kept == filesOnDisk(container_->projectDirectory())) {
    (void)fs::removeItem(copy);
    container_->log("The file could not be read again; the working copy is as it was");
    return;
  }
  // Part of the file was read over the working copy and it couldn't be put back: the copy is
  // where the edits are whole.
  setAsideToAnnounce_ = SetAside{copy, SetAside::Why::revertFailedPartWay};
  scheduleMessages();
}

void KXDocument::duplicate(std::function<void(Result<std::shared_ptr<Document>>)> done) {
  // The copy holds the editor's latest document, as a save would; the main loop turns while the
  // editor answers, and no run loop is nested in it.
  struct Waiting {
    bool ended = false;
    std::function<void(Result<std::shared_ptr<Document>>)> done;
  };
  auto waiting = std::make_shared<Waiting>(Waiting{false, std::move(done)});
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  auto flushed = [weak, waiting](bool finished) {
    if (std::exchange(waiting->ended, true)) return;
    auto done = std::move(waiting->done);
    auto self = weak.lock();
    if (!self || !self->container_->isValid())
      return done(fail(Error(NSCocoaErrorDomain, NSFileWriteUnknownError, "The document was closed.")));
    if (!finished) return done(fail(makeError(KXDocumentError::containerHasUnwrittenChanges)));
    // Taken as the write of the copy starts: the copy gets an identity of its own.
    self->isDuplicating_ = true;
    self->PDBaseDocument::duplicate(std::move(done));
    self->isDuplicating_ = false;
  };
  container_->writeChanges([flushed] { flushed(true); });
  MainQueue::asyncAfter(flushTimeout, [flushed] { flushed(false); });
}

void KXDocument::close() {
  auto keepAlive = shared_from_this();
  std::shared_ptr<KXDocumentContainer> toDelete;
  if (container_->isValid() && !fileURL()) toDelete = container_;
  setContainer(KXDocumentContainer::placeholder());
  PDBaseDocument::close();
  if (toDelete) (void)toDelete->deleteContainer(false);
}

void KXDocument::preventChangedByOtherAppErrorOnSave() {
  if (!fileURL() || fileType().empty()) return;
  isPreventingChangedByOtherAppErrorOnSave_ = true;
  isReverting_ = true;
  (void)PDBaseDocument::revert(*fileURL(), fileType());
  isPreventingChangedByOtherAppErrorOnSave_ = false;
  isReverting_ = false;
}

bool KXDocument::queueSaveWhileSaving(const std::filesystem::path& url, const std::string& type, SaveOperation operation,
                                      const Completion& completion) {
  // One save at a time: one asked while another writes follows it, as it was asked.
  if (!isSaving_) return false;
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  bool cancellable = autosavingIsImplicitlyCancellable();
  queuedSaves_.push_back([weak, url, type, operation, completion, cancellable] {
    auto self = weak.lock();
    if (!self || self->isClosed() || !self->container_->isValid()) {
      if (completion) completion(Error(NSCocoaErrorDomain, NSFileWriteUnknownError, "The document was closed."));
      return;
    }
    self->withImplicitCancellation(cancellable, [&] { self->save(url, type, operation, completion); });
  });
  return true;
}

Document::Completion KXDocument::savingUntilDone(Completion completion) {
  isSaving_ = true;
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  return [weak, completion = std::move(completion)](std::optional<Error> error) {
    if (completion) completion(error);
    auto self = weak.lock();
    if (!self) return;
    self->isSaving_ = false;
    if (self->queuedSaves_.empty()) return;
    auto next = std::move(self->queuedSaves_.front());
    self->queuedSaves_.pop_front();
    next();
  };
}

void KXDocument::writeSafelyAsync(const std::filesystem::path& url, const std::string& type, SaveOperation operation,
                                  std::function<void(Result<void>)> done) {
  // A save into the document's own file writes it beside the main loop; the working copy stays
  // open to edits meanwhile, and what changed while it was written stays a change.
  bool inPlace = operation == SaveOperation::save ||
                 (operation == SaveOperation::autosaveInPlace && !autosavingIsImplicitlyCancellable());
  if (!inPlace || !fileArchive_ || fileArchive_->backing().url() != url ||
      (!autosavingIsImplicitlyCancellable() && container_->hasUnwrittenChanges()))
    return done(writeSafely(url, type, operation));
  savedAsArchive_.reset();
  if (auto target = targetAsChecked()) fileArchive_->backing().replaceOnlyIfStill(*target);
  container_->saveInBackground(fileArchive_, KXDocumentContainer::ArchiveRelation::origin(false), std::move(done));
}
