// Saving, reverting, duplicating and closing a project document.
#include "canvas/OstrelViewController.h"
#include "document/DocumentHooks.h"
#include "document/KXDocument.h"
#include "document/storage/KXDocumentError.h"
#include "platform/BaseDocumentController.h"
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
  // The time-out is the page's: once it has handed its content over, what is left is korvel's own
  // work (a design at the bound is laid out, written and searched for seconds on a busy machine),
  // which is waited for to its end. The last bound only catches a pass that never ends.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                          std::chrono::duration<double>(flushTimeout));
  std::weak_ptr<KXDocumentContainer> container = container_;
  RunLoop::waitUsingRecursiveRunloop(
      [finished, deadline, container] {
        if (*finished) return false;
        auto c = container.lock();
        return std::chrono::steady_clock::now() < deadline || (c && c->isValid() && !c->awaitsProviders());
      },
      flushTimeout + ownWorkBound, [finished, done = std::move(done)] { done(*finished); });
}

void KXDocument::save(const std::filesystem::path& url, const std::string& type, SaveOperation operation,
                      Completion completion) {
  if (queueSaveWhileSaving(url, type, operation, completion)) return;
  // Among the work under way from now, before the editor is asked for its document: an opening
  // of the file waits for the save, and another document's Save As over it is refused.
  if (auto* c = controller())
    completion = [work = c->workUnderWay().begin(WorkUnderWay::Kind::saving, url, static_cast<const Document*>(this)),
                  completion = std::move(completion)](std::optional<Error> error) {
      work->end();
      if (completion) completion(error);
    };
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

struct KXDocument::SavePlan {
  std::filesystem::path url;
  std::string type;
  SaveOperation operation = SaveOperation::saveAs;
  std::optional<Uuid> uuid;
  // A Save As into a zip that takes over the working copy's identity.
  bool keepsIdentity = false;
  bool isFolder = false;
  bool isDuplicate = false;
  KXDocumentContainer::ArchiveRelation relation;
  // What the target was once the save had looked (none inside: nothing was there).
  std::optional<std::optional<fs::FileIdentity>> target;
};

KXDocument::SavePlan KXDocument::planSave(const std::filesystem::path& url, const std::string& type,
                                          SaveOperation operation) {
  SavePlan plan;
  plan.url = url;
  plan.type = type;
  plan.operation = operation;
  plan.isDuplicate = isDuplicating_;
  if (operation == SaveOperation::autosaveElsewhere) {
    plan.relation = KXDocumentContainer::ArchiveRelation::copy();
    if (!isDuplicating_) {
      plan.uuid = container_->uuid();
      plan.relation = fileURL() ? KXDocumentContainer::ArchiveRelation::copy()
                                : KXDocumentContainer::ArchiveRelation::origin(true);
    }
    return plan;
  }
  plan.relation = KXDocumentContainer::ArchiveRelation::origin(false);
  plan.target = targetAsChecked();
  if (!isDuplicating_ && !fileArchive_) plan.uuid = container_->uuid();
  plan.isFolder = type == folderType;
  // The working copy becomes the new file's, so the new file takes its identity: the next
  // opening of that file, after a crash too, finds it with the edits made after the save.
  plan.keepsIdentity = !plan.isFolder && !isDuplicating_ && !container_->projectDirectoryIsOrigin();
  if (plan.keepsIdentity) plan.uuid = container_->uuid();
  return plan;
}

Result<std::shared_ptr<KXDocumentArchive>> KXDocument::openForSave(const SavePlan& plan) {
  auto archive = KXDocumentArchive::open(plan.url, plan.type, true, plan.uuid, !plan.isFolder);
  if (!archive) return archive;
  // A file replaced by the save gives up its own identity, and its working copy goes.
  if (plan.keepsIdentity && plan.uuid && (*archive)->uuid() != *plan.uuid) {
    archive = withIdentity(**archive, *plan.uuid);
    if (!archive) return archive;
  }
  if (plan.target) (*archive)->backing().replaceOnlyIfStill(*plan.target);
  return archive;
}

Result<void> KXDocument::verifySavedFolder(const SavePlan& plan, const KXDocumentArchive& archive) {
  // The new folder must hold what was written into it before the old working copy may go.
  if (filesOnDisk(plan.url) == archive.manifest().files) return {};
  return fail(Error(NSCocoaErrorDomain, NSFileWriteUnknownError, "The folder does not hold what was saved into it.")
                  .with(NSFilePathErrorKey, plan.url.string()));
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
    case SaveOperation::saveAs:
    case SaveOperation::autosaveElsewhere: {
      auto plan = std::make_shared<const SavePlan>(planSave(url, type, operation));
      auto archive = openForSave(*plan);
      if (!archive) return fail(archive.error());
      if (auto saved = container_->save(**archive, plan->relation); !saved) return saved;
      if (plan->isFolder)
        if (auto verified = verifySavedFolder(*plan, **archive); !verified) return verified;
      Result<void> adopted;
      adoptSaved(plan, *archive, false, [&adopted](Result<void> outcome) { adopted = std::move(outcome); });
      return adopted;
    }
    case SaveOperation::saveTo:
    case SaveOperation::autosaveAs:
      return fail(makeError(KXDocumentError::notImplemented));
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

void KXDocument::adoptSaved(std::shared_ptr<const SavePlan> plan, std::shared_ptr<KXDocumentArchive> archive,
                            bool inBackground, std::function<void(Result<void>)> done) {
  if (plan->operation == SaveOperation::autosaveElsewhere) return done({});
  // Whatever identity a replaced file had opened under, its working copy records it. Edits it
  // held never reached the file: the person who replaced it is told where they are. Its files
  // are judged and removed beside the main loop.
  auto copies = !plan->isFolder && plan->keepsIdentity && plan->uuid
                    ? KXDocumentContainer::workingCopiesToRetire(plan->url)
                    : std::vector<std::filesystem::path>();
  if (copies.empty()) return readSavedContainer(plan, archive, inBackground, std::move(done));
  if (!inBackground) {
    announceRetired(KXDocumentContainer::retire(copies, plan->url, *plan->uuid));
    return readSavedContainer(plan, archive, inBackground, std::move(done));
  }
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  std::weak_ptr<KXDocumentContainer> writer = container_;
  GlobalQueue::async([weak, writer, plan, archive, copies, done = std::move(done)]() mutable {
    auto aside = std::make_shared<std::optional<std::filesystem::path>>(
        KXDocumentContainer::retire(copies, plan->url, *plan->uuid));
    MainQueue::async([weak, writer, plan, archive, aside, done = std::move(done)]() mutable {
      auto self = takingUp(weak, writer);
      if (!self) return done(closedWhileWriting(*plan));
      self->announceRetired(*aside);
      self->readSavedContainer(plan, archive, true, std::move(done));
    });
  });
}

void KXDocument::announceRetired(const std::optional<std::filesystem::path>& aside) {
  if (!aside) return;
  setAsideToAnnounce_ = SetAside{*aside, SetAside::Why::replaced};
  scheduleMessages();
}

void KXDocument::readSavedContainer(std::shared_ptr<const SavePlan> plan, std::shared_ptr<KXDocumentArchive> archive,
                                    bool inBackground, std::function<void(Result<void>)> done) {
  Result<std::shared_ptr<KXDocumentContainer>> made = fail(Error());
  if (!plan->isFolder) {
    savedAsArchive_ = archive;
    if (!container_->projectDirectoryIsOrigin()) return done({});
    // A folder edited in place saved as a zip: from now on the zip is the origin, so the document
    // works in a container of its own for it, and the folder is left as it is.
    made = KXDocumentContainer::create(archive->uuid(), plan->url);
  } else {
    made = KXDocumentContainer::create(archive);
  }
  if (!made) return done(fail(made.error()));
  auto container = *made;
  container->addDataSource(documentJSONSource(), KXDocumentArchive::relativePathForDocumentJSON);
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  std::weak_ptr<KXDocumentContainer> writer = container_;
  auto read = [weak, writer, plan, archive, container, done](Result<void> outcome) {
    auto self = takingUp(weak, writer);
    if (!outcome || !self) {
      // A working copy that can't be read, or that nobody takes up, goes again.
      (void)container->deleteContainer(false);
      if (!outcome) return done(fail(outcome.error()));
      return done(closedWhileWriting(*plan));
    }
    self->moveToSavedContainer(*plan, archive, container);
    done({});
  };
  if (inBackground) {
    container->readInBackground(archive, KXDocumentContainer::ArchiveRelation::origin(false), std::move(read));
  } else {
    read(container->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false)));
  }
}

void KXDocument::moveToSavedContainer(const SavePlan& plan, std::shared_ptr<KXDocumentArchive> archive,
                                      std::shared_ptr<KXDocumentContainer> made) {
  auto old = container_;
  // What came into the old working copy while the file was written goes along into the new one
  // (it is few files: only what changed meanwhile); a working copy that couldn't give all of it is kept.
  bool carried = true;
  auto changed = old->changedSinceSave();
  for (const auto& path : changed) {
    Result<void> copied;
    if (fs::exists(old->projectDirectory() / path)) {
      copied = fs::copyInside(old->projectDirectory(), path, made->projectDirectory(), path);
    } else if (auto gone = fs::resolveInside(made->projectDirectory(), path)) {
      copied = fs::removeItem(*gone);
    } else {
      copied = fail(gone.error());
    }
    if (!copied) {
      carried = false;
      old->log("Couldn't carry " + path + " into the saved document: " + copied.error().description());
    }
  }
  if (!changed.empty()) old->log("Carried " + std::to_string(changed.size()) + " files changed while saving");
  carriedEditsOfSave_ = !plan.isFolder && !changed.empty();
  if (plan.isFolder) fileArchive_ = archive;
  setContainer(made);
  if (carried) old->deleteContainerBesideMainLoop();
  didChangeContainer();
  if (plan.isFolder) {
    wantsVersioningCheck_ = true;
    scheduleMessages();
  }
}

std::shared_ptr<KXDocument> KXDocument::takingUp(const std::weak_ptr<KXDocument>& weak,
                                                 const std::weak_ptr<KXDocumentContainer>& writer) {
  auto self = weak.lock();
  if (!self || self->isClosed() || !self->container_->isValid() || self->container_ != writer.lock()) return nullptr;
  return self;
}

Result<void> KXDocument::closedWhileWriting(const SavePlan& plan) {
  // A duplicate's draft is the copy's, whole: the copy may open.
  if (plan.isDuplicate) return {};
  // The draft of a document closed meanwhile would come back at the next start: it goes as the
  // close took the document. A Save As wrote its file whole, as asked. Nothing is left to take
  // the outcome up.
  if (plan.operation == SaveOperation::autosaveElsewhere) (void)fs::removeItem(plan.url);
  return fail(Error(NSCocoaErrorDomain, 3072, "The document was closed."));
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
  if (isReverting_) return fail(Error(NSCocoaErrorDomain, 3072, "A revert is under way."));
  isReverting_ = true;
  auto result = PDBaseDocument::revert(url, type);
  isReverting_ = false;
  if (result) tookUpRevert();
  return result;
}

void KXDocument::tookUpRevert() {
  // The working copy holds the file's content again, and so does the editor, from its next page.
  container_->mark(false);
  restartEditorPage();
}

void KXDocument::readAsync(const std::filesystem::path& url, const std::string& type,
                           std::function<void(Result<void>)> done) {
  readInBackground(url, type, nullptr, std::move(done));
}

bool KXDocument::afterSave(std::function<void(KXDocument&)> then, std::function<void(Result<void>)> done) {
  if (!isSaving_) return false;
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  queuedSaves_.push_back([weak, then = std::move(then), done = std::move(done)] {
    auto self = weak.lock();
    if (!self || self->isClosed() || !self->container_->isValid())
      return done(fail(Error(NSCocoaErrorDomain, 3072, "The document was closed.")));
    then(*self);
  });
  return true;
}

void KXDocument::revertAsync(const std::filesystem::path& url, const std::string& type,
                             std::function<void(Result<void>)> done) {
  if (isReverting_) return done(fail(Error(NSCocoaErrorDomain, 3072, "A revert is under way.")));
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  if (afterSave([url, type, done](KXDocument& self) { self.revertAsync(url, type, done); }, done)) return;
  isReverting_ = true;
  PDBaseDocument::revertAsync(url, type, [weak, done = std::move(done)](Result<void> result) {
    auto self = weak.lock();
    if (!self) return done(std::move(result));
    self->isReverting_ = false;
    if (result) self->tookUpRevert();
    done(std::move(result));
    self->runQueued();
  });
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
  tookUpChangedFile(old, *aside);
  return {};
}

void KXDocument::revertToChangedFileAsync(const std::filesystem::path& url, const std::string& type,
                                          std::function<void(Result<void>)> done) {
  if (isReverting_) return done(fail(Error(NSCocoaErrorDomain, 3072, "A revert is under way.")));
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  // The edits are kept aside as the revert starts, not before the save it follows has ended.
  if (afterSave([url, type, done](KXDocument& self) { self.revertToChangedFileAsync(url, type, done); }, done)) return;
  auto old = container_;
  auto aside = container_->keepUnsavedEditsAside(isDocumentEdited());
  if (!aside) return done(fail(aside.error()));
  container_->log("The file changed on disk since it was last read or saved; reading it again");
  revertAsync(url, type, [weak, old, aside = *aside, done = std::move(done)](Result<void> reverted) {
    auto self = weak.lock();
    if (self && !self->isClosed()) {
      if (!reverted && aside) self->keepAsideAfterFailedRevert(*aside);
      if (reverted) self->tookUpChangedFile(old, aside);
    }
    done(std::move(reverted));
  });
}

void KXDocument::tookUpChangedFile(const std::shared_ptr<KXDocumentContainer>& old,
                                   const std::optional<std::filesystem::path>& aside) {
  // A file that now holds another project is read into a working copy of its own; the old one's
  // edits are in the copy.
  if (old != container_) (void)old->deleteContainer(false);
  if (aside) {
    setAsideToAnnounce_ = SetAside{*aside, SetAside::Why::changedElsewhere};
    scheduleMessages();
  }
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
  // A revert is writing the working copy: the copy is of what it read.
  if (isReverting_) {
    std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
    queuedSaves_.push_back([weak, done = std::move(done)] {
      auto self = weak.lock();
      if (!self || self->isClosed() || !self->container_->isValid())
        return done(fail(Error(NSCocoaErrorDomain, NSFileWriteUnknownError, "The document was closed.")));
      self->duplicate(done);
    });
    return;
  }
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
  // As a save: the time-out is the editor's, and korvel's own work on its answer is waited for.
  std::weak_ptr<KXDocumentContainer> container = container_;
  auto last = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                     std::chrono::duration<double>(flushTimeout + ownWorkBound));
  auto giveUp = std::make_shared<std::function<void()>>();
  *giveUp = [waiting, container, last, flushed, later = std::weak_ptr(giveUp)] {
    if (waiting->ended) return;
    auto c = container.lock();
    auto again = later.lock();
    if (again && c && c->isValid() && !c->awaitsProviders() && std::chrono::steady_clock::now() < last)
      return MainQueue::asyncAfter(0.25, [again] { (*again)(); });
    flushed(false);
  };
  MainQueue::asyncAfter(flushTimeout, [giveUp] { (*giveUp)(); });
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
  // One save at a time: one asked while another writes, or while a revert reads the file,
  // follows it, as it was asked.
  if (!isSaving_ && !isReverting_) return false;
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

void KXDocument::canClose(std::function<void(bool shouldClose)> done) {
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  // A copy being written from the working copy (Duplicate) ends first, with the main loop free:
  // the close would wait for it on the main loop.
  const Document* self = this;
  auto copying = controller() ? controller()->workUnderWay().find({WorkUnderWay::Kind::duplicating},
                                                                  [self](const auto& w) { return w.owner() == self; })
                              : nullptr;
  if (copying)
    return copying->whenEnded([weak, done = std::move(done)] {
      auto self = weak.lock();
      if (!self || self->isClosed()) return done(true);
      self->canClose(done);
    });
  if (!isSaving_ && !isReverting_) return PDBaseDocument::canClose(std::move(done));
  queuedSaves_.push_back([weak, done = std::move(done)] {
    auto self = weak.lock();
    if (!self || self->isClosed()) return done(true);
    self->canClose(done);
  });
}

void KXDocument::saveForSessionEnd(std::function<void()> done) {
  if (!isSaving_ && !isReverting_) return PDBaseDocument::saveForSessionEnd(std::move(done));
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  queuedSaves_.push_back([weak, done = std::move(done)] {
    auto self = weak.lock();
    if (!self || self->isClosed()) return done();
    self->saveForSessionEnd(done);
  });
}

Document::Completion KXDocument::savingUntilDone(Completion completion) {
  isSaving_ = true;
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  return [weak, completion = std::move(completion)](std::optional<Error> error) {
    if (completion) completion(error);
    auto self = weak.lock();
    if (!self) return;
    self->isSaving_ = false;
    self->runQueued();
  };
}

void KXDocument::runQueued() {
  auto keepAlive = shared_from_this();
  while (!isSaving_ && !isReverting_ && !queuedSaves_.empty()) {
    auto next = std::move(queuedSaves_.front());
    queuedSaves_.pop_front();
    next();
  }
}

void KXDocument::writeSafelyAsync(const std::filesystem::path& url, const std::string& type, SaveOperation operation,
                                  std::function<void(Result<void>)> done) {
  // A save writes its file beside the main loop; the working copy stays open to edits meanwhile,
  // and what changed while it was written stays a change.
  bool inPlace = operation == SaveOperation::save ||
                 (operation == SaveOperation::autosaveInPlace && !autosavingIsImplicitlyCancellable());
  bool elsewhere = operation == SaveOperation::saveAs || operation == SaveOperation::autosaveElsewhere;
  if ((!inPlace && !elsewhere) || (inPlace && (!fileArchive_ || fileArchive_->backing().url() != url)) ||
      (!autosavingIsImplicitlyCancellable() && container_->hasUnwrittenChanges()))
    return done(writeSafely(url, type, operation));
  savedAsArchive_.reset();
  if (elsewhere) return writeElsewhereInBackground(std::make_shared<const SavePlan>(planSave(url, type, operation)),
                                                   std::move(done));
  if (auto target = targetAsChecked()) fileArchive_->backing().replaceOnlyIfStill(*target);
  container_->saveInBackground(fileArchive_, KXDocumentContainer::ArchiveRelation::origin(false), std::move(done));
}

void KXDocument::writeElsewhereInBackground(std::shared_ptr<const SavePlan> plan, std::function<void(Result<void>)> done) {
  // The target is opened, written and, for a folder, read back beside the main loop; the
  // document takes up the outcome on it. A close meanwhile waits for the write (the container's
  // invalidation does) and leaves nothing to take up.
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  std::weak_ptr<KXDocumentContainer> writer = container_;
  auto stillOpen = [weak, writer] { return takingUp(weak, writer); };
  container_->saveInBackground(
      plan->url, [plan] { return openForSave(*plan); }, plan->relation,
      [plan, stillOpen, done = std::move(done)](Result<std::shared_ptr<KXDocumentArchive>> written) mutable {
        if (!written) return done(fail(written.error()));
        if (!stillOpen()) return done(closedWhileWriting(*plan));
        if (!plan->isFolder) return stillOpen()->adoptSaved(plan, *written, true, std::move(done));
        auto archive = *written;
        GlobalQueue::async([plan, archive, stillOpen, done = std::move(done)]() mutable {
          auto verified = std::make_shared<Result<void>>(verifySavedFolder(*plan, *archive));
          MainQueue::async([plan, archive, stillOpen, verified, done = std::move(done)]() mutable {
            if (!*verified) return done(std::move(*verified));
            auto self = stillOpen();
            if (!self) return done(closedWhileWriting(*plan));
            self->adoptSaved(plan, archive, true, std::move(done));
          });
        });
      });
}
