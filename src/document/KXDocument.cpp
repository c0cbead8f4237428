#include "document/KXDocument.h"

#include <sys/stat.h>

#include "canvas/OstrelError.h"
#include "canvas/OstrelViewController.h"
#include "document/DocumentHooks.h"
#include "document/UpdateLibraryWindowController.h"
#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXDocumentError.h"
#include "document/storage/KXDocumentVersionCheck.h"
#include "foundation/AppInfo.h"
#include "platform/Fatal.h"
#include "platform/FileMonitor.h"
#include "platform/FileSystem.h"
#include "platform/RWLog.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"

namespace {

std::optional<Document::Date> contentModificationDate(const std::filesystem::path& url) {
  struct stat st {};
  if (::stat(url.c_str(), &st) != 0) return std::nullopt;
  return fs::dateOf(st.st_mtim);
}

void requireMainThread(const char* what) {
  if (!RunLoop::isMainThread()) KORVEL_FATAL(std::string(what) + " off the main thread");
}

// The same files under a new identity: every read of a template gets its own working copy.
Result<std::shared_ptr<KXDocumentArchive>> withFreshIdentity(const KXDocumentArchive& archive) {
  return KXDocument::withIdentity(archive, Uuid::random());
}

}  // namespace

Uuid KXDocument::identityForCopy(const Uuid& uuid, const std::filesystem::path& url) {
  std::error_code ec;
  auto place = std::filesystem::weakly_canonical(url, ec);
  return Uuid::named(uuid.string() + "\n" + (ec ? url : place).string());
}

Result<std::shared_ptr<KXDocumentArchive>> KXDocument::withIdentity(const KXDocumentArchive& archive, const Uuid& uuid) {
  auto backing = archive.backing().moved(archive.backing().url());
  if (!backing) return fail(backing.error());
  return std::make_shared<KXDocumentArchive>(std::move(*backing), KXDocumentArchive::WithIdentity{uuid});
}

KXDocument::KXDocument(Key, bool tutorialMode)
    : PDBaseDocument(tutorialMode), container_(KXDocumentContainer::placeholder()), isInTutorialMode_(tutorialMode) {}

KXDocument::~KXDocument() {
  containerObserver_.reset();
  containerDirectoryMonitor_.reset();
  if (container_ && container_->isValid()) {
    container_->invalidate();
    container_->log("Invalidated");
  }
}

Result<std::shared_ptr<KXDocument>> KXDocument::made(std::shared_ptr<KXDocument> document, Result<void> outcome) {
  if (!outcome) {
    // A draft that could not be read stays where it is: a later version may read what this one
    // can't, and the person never chose to delete it.
    if (!document->fileURL()) document->Document::setAutosavedContentsFileURL(std::nullopt);
    document->close();
    return fail(outcome.error());
  }
  return document;
}

void KXDocument::giveUp() {
  // As the read left them: the draft, and a working copy taken up with its edits, for the next start.
  if (!fileURL()) Document::setAutosavedContentsFileURL(std::nullopt);
  setContainer(KXDocumentContainer::placeholder());
  PDBaseDocument::close();
}

std::shared_ptr<KXDocumentArchive> KXDocument::templateArchive() {
  auto url = Resources::path("Template");
  auto backing = KXDirectoryArchiveBacking::create(url, false, true);
  if (!backing) return nullptr;
  return std::make_shared<KXDocumentArchive>(std::move(*backing), std::nullopt);
}

Result<std::shared_ptr<KXDocument>> KXDocument::makeUntitled(const std::string& type) {
  return makeUntitled(type, templateArchive());
}

std::shared_ptr<KXDocument> KXDocument::aboutToReadTemplate(const std::string& type, bool tutorial) {
  auto document = std::make_shared<KXDocument>(Key{}, tutorial);
  document->attachToEditor();
  document->isAwaitingInitialRead_ = true;
  document->setFileURL(std::nullopt);
  document->setFileType(type);
  document->isReadingTemplate_ = true;
  return document;
}

Result<std::shared_ptr<KXDocument>> KXDocument::makeUntitled(const std::string& type,
                                                             std::shared_ptr<KXDocumentArchive> templateArchive) {
  auto document = aboutToReadTemplate(type, false);
  if (!templateArchive) return made(document, fail(makeError(KXDocumentError::templateIsNil)));
  auto read = document->read(templateArchive->backing().url(), templateArchive->backing().documentTypeIdentifier());
  document->isReadingTemplate_ = false;
  if (!read) return made(document, read);
  document->container_->mark(false);
  return document;
}

void KXDocument::openFromTemplate(const std::string& type, const std::filesystem::path& templateURL,
                                  const std::string& templateType, bool tutorial,
                                  std::shared_ptr<std::atomic<bool>> stop,
                                  std::function<void(Result<std::shared_ptr<KXDocument>>)> done) {
  auto document = aboutToReadTemplate(type, tutorial);
  document->readInBackground(templateURL, templateType, std::move(stop),
                             [document, done = std::move(done)](Result<void> read) {
                               document->isReadingTemplate_ = false;
                               if (read) document->container_->mark(false);
                               done(made(document, std::move(read)));
                             });
}

std::shared_ptr<KXDocument> KXDocument::aboutToRead(const std::filesystem::path& url, const std::string& type) {
  auto document = std::make_shared<KXDocument>(Key{}, false);
  document->attachToEditor();
  document->isAwaitingInitialRead_ = true;
  document->setFileURL(url);
  document->setAutosavedContentsFileURL(std::nullopt);
  document->setFileType(type);
  // Taken before the read: a write that lands during it shows at the next save.
  document->noteFileOnDisk(url);
  return document;
}

Result<std::shared_ptr<KXDocument>> KXDocument::make(const std::filesystem::path& url, const std::string& type) {
  auto document = aboutToRead(url, type);
  return made(document, document->read(url, type));
}

void KXDocument::open(const std::filesystem::path& url, const std::string& type, std::shared_ptr<std::atomic<bool>> stop,
                      std::function<void(Result<std::shared_ptr<KXDocument>>)> done) {
  auto document = aboutToRead(url, type);
  document->readInBackground(url, type, std::move(stop), [document, done = std::move(done)](Result<void> read) {
    done(made(document, std::move(read)));
  });
}

std::shared_ptr<KXDocument> KXDocument::aboutToRestore(const std::optional<std::filesystem::path>& url,
                                                       const std::filesystem::path& contentsURL,
                                                       const std::string& type) {
  auto document = std::make_shared<KXDocument>(Key{}, false);
  document->attachToEditor();
  document->isAwaitingInitialRead_ = true;
  document->setFileURL(url);
  document->setFileType(type);
  // Later writes to the file by anyone else show at the next save.
  if (url) document->noteFileOnDisk(*url);
  document->setFileModificationDate(contentModificationDate(contentsURL));
  if (!url) {
    document->isRestoringDraft_ = true;
    document->setAutosavedContentsFileURL(contentsURL);
  } else {
    document->setAutosavedContentsFileURL(std::nullopt);
  }
  return document;
}

Result<void> KXDocument::restored(Result<void> read) {
  // A draft comes back edited: what it holds was never saved.
  if (read) container_->mark(isRestoringDraft_);
  isRestoringDraft_ = false;
  return read;
}

Result<std::shared_ptr<KXDocument>> KXDocument::make(const std::optional<std::filesystem::path>& url,
                                                     const std::filesystem::path& contentsURL,
                                                     const std::string& type) {
  auto document = aboutToRestore(url, contentsURL, type);
  return made(document, document->restored(document->read(contentsURL, type)));
}

void KXDocument::open(const std::optional<std::filesystem::path>& url, const std::filesystem::path& contentsURL,
                      const std::string& type, std::shared_ptr<std::atomic<bool>> stop,
                      std::function<void(Result<std::shared_ptr<KXDocument>>)> done) {
  auto document = aboutToRestore(url, contentsURL, type);
  document->readInBackground(contentsURL, type, std::move(stop), [document, done = std::move(done)](Result<void> read) {
    done(made(document, document->restored(std::move(read))));
  });
}

std::optional<std::filesystem::path> KXDocument::projectURL() const {
  if (!container_ || !container_->isValid()) return std::nullopt;
  return container_->projectDirectory();
}

bool KXDocument::isNativeType(const std::string& type) const {
  if (type == zipType) return true;
  if (type == folderType) return DocumentHooks::optionKeyHeld();
  return false;
}

std::vector<std::string> KXDocument::writableTypes() const { return {zipType, folderType}; }

std::optional<std::filesystem::path> KXDocument::autosavedContentsFileURL() const {
  return fileArchive_ ? std::nullopt : Document::autosavedContentsFileURL();
}

void KXDocument::setAutosavedContentsFileURL(std::optional<std::filesystem::path> url) {
  Document::setAutosavedContentsFileURL(fileArchive_ ? std::nullopt : std::move(url));
}

void KXDocument::setFileURL(std::optional<std::filesystem::path> url) {
  auto previous = fileURL();
  Document::setFileURL(url);
  if (isAwaitingInitialRead_ || !url || url == previous) return;
  std::optional<Error> error;
  if (fileArchive_ && (!savedAsArchive_ || fileArchive_->backing().documentTypeIdentifier() ==
                                               savedAsArchive_->backing().documentTypeIdentifier())) {
    if (savedAsArchive_ && savedAsArchive_->backing().url() == *url) {
      fileArchive_ = savedAsArchive_;
    } else if (auto moved = fileArchive_->backing().moved(*url)) {
      fileArchive_ = std::make_shared<KXDocumentArchive>(std::move(*moved), std::nullopt);
    } else {
      error = moved.error();
    }
  } else if (savedAsArchive_ && savedAsArchive_->backing().url() == *url) {
    fileArchive_ = savedAsArchive_;
  }
  if (!error) {
    if (!fileArchive_)
      error = makeError(KXDocumentError::archiveIsNil);
    else if (fileArchive_->backing().url() != *url)
      error = makeError(KXDocumentError::archiveHasIncorrectFileURL);
  }
  if (error) presentError(*error);
}

std::shared_ptr<KXDocumentContainer::DataSource> KXDocument::documentJSONSource() {
  // Shares the editor controller's ownership: the source lives inside it.
  auto& controller = ostrelViewControllerPointer();
  return std::shared_ptr<KXDocumentContainer::DataSource>(controller, &controller->dataSourceForDocumentJSON());
}

struct KXDocument::ReadPlan {
  std::filesystem::path url;
  bool isFolder = false;
  bool isFirstRead = false;
  // A template's files are read under a fresh identity: every read of it gets its own working copy.
  bool isTemplate = false;
  // Whose document version the installed editor reads; none without an editor installation.
  std::optional<std::int64_t> supportedVersion;
  std::optional<std::filesystem::path> ostrelDir;
  std::shared_ptr<KXDocumentArchive> archive;
  std::shared_ptr<KXDocumentContainer> chosen;
  KXDocumentContainer::ArchiveRelation relation;
};

Result<KXDocument::ReadPlan> KXDocument::beginRead(const std::filesystem::path& url, const std::string& type) {
  requireMainThread("KXDocument::read");
  if (isReverting_ && container_->projectDirectoryIsOrigin()) return fail(makeError(KXDocumentError::archiveIsContainer));
  ReadPlan plan;
  plan.url = url;
  plan.isFirstRead = std::exchange(isAwaitingInitialRead_, false);
  plan.isFolder = !isReadingTemplate_ && type == folderType;
  plan.isTemplate = isReadingTemplate_;
  auto& globals = AppInfo::ostrelGlobals();
  if (globals) plan.supportedVersion = globals->documentVersion;
  if (!globals && AppInfo::current()) plan.ostrelDir = AppInfo::current()->ostrelDir();
  return plan;
}

Result<std::shared_ptr<KXDocumentArchive>> KXDocument::openArchive(const ReadPlan& plan, const std::string& type) {
  auto opened = KXDocumentArchive::open(plan.url, type, false, std::nullopt, !plan.isFolder);
  if (!opened) return fail(opened.error());
  if (plan.isFirstRead) {
    auto checked = verifyDocumentVersion(**opened, plan.supportedVersion);
    if (!checked) {
      // Without an editor installation nothing can be judged "too new": say what is missing.
      if (!plan.supportedVersion && isDocumentError(checked.error(), KXDocumentError::documentVersionTooNew))
        return fail(OstrelError::ostrelNotFound(plan.ostrelDir ? plan.ostrelDir->string() : "app-globals.json"));
      return fail(checked.error());
    }
  }
  // The zip's directory is read again for the new identity: beside the main loop too.
  if (plan.isTemplate) return withFreshIdentity(**opened);
  return *opened;
}

Result<void> KXDocument::read(const std::filesystem::path& url, const std::string& type) {
  if (isPreventingChangedByOtherAppErrorOnSave_) return {};
  auto plan = beginRead(url, type);
  if (!plan) return fail(plan.error());
  auto archive = openArchive(*plan, type);
  if (!archive) return fail(archive.error());
  plan->archive = *archive;
  if (auto chosen = chooseContainer(*plan); !chosen) return chosen;
  return finishRead(plan->chosen->read(*plan->archive, plan->relation), *plan);
}

void KXDocument::readInBackground(const std::filesystem::path& url, const std::string& type,
                                  std::shared_ptr<std::atomic<bool>> stop, std::function<void(Result<void>)> completion) {
  auto plan = beginRead(url, type);
  if (!plan) return completion(fail(plan.error()));
  auto self = std::static_pointer_cast<KXDocument>(shared_from_this());
  auto shared = std::make_shared<ReadPlan>(std::move(*plan));
  // The zip's directory, its manifest and the design's version are read beside the main loop;
  // the working copy is chosen on it, and filled beside it again.
  GlobalQueue::async([self, shared, type, stop, completion = std::move(completion)]() mutable {
    auto archive = std::make_shared<Result<std::shared_ptr<KXDocumentArchive>>>(openArchive(*shared, type));
    // The document goes along: its last reference, were it this one, ends on the main loop.
    MainQueue::async([self = std::move(self), shared = std::move(shared), archive, stop,
                      completion = std::move(completion)]() mutable {
      // Closed meanwhile (a revert's document): no working copy is chosen for it.
      if (self->isClosed()) return completion(fail(Error(NSCocoaErrorDomain, 3072, "The document was closed.")));
      if (!*archive) return completion(fail(archive->error()));
      if (stop && stop->load()) return completion(fail(Error(NSCocoaErrorDomain, 3072, "The opening was given up.")));
      shared->archive = **archive;
      if (auto chosen = self->chooseContainer(*shared); !chosen) return completion(chosen);
      shared->chosen->readInBackground(
          shared->archive, shared->relation,
          [self, shared, completion = std::move(completion)](Result<void> read) {
            completion(self->finishRead(std::move(read), *shared));
          },
          stop);
    });
  });
}

Result<void> KXDocument::chooseContainer(ReadPlan& plan) {
  const auto& url = plan.url;
  bool isFolder = plan.isFolder;
  auto archive = plan.archive;

  std::shared_ptr<KXDocumentContainer> chosen;
  bool sameFile = fileURL() == url && container_->isValid();
  // A file no korvel wrote carries no identity and gets a new one at every opening: its working
  // copy is the one that records it, as a file with one finds its own by that identity.
  if (!archive->hasOwnIdentity() && !isFolder && !isReadingTemplate_) {
    auto recorded = sameFile ? std::optional(container_->uuid()) : KXDocumentContainer::workingCopyRecording(url);
    if (recorded) {
      auto own = withIdentity(*archive, *recorded);
      if (!own) return fail(own.error());
      archive = *own;
    }
  }
  // A file that reached a project another file's working copy holds was given its own identity
  // when it opened (derived, or taken up from the working copy that records it when the derived
  // one was taken too); it reads into that working copy again (a revert).
  auto copyIdentity = identityForCopy(archive->uuid(), url);
  if (sameFile && !isFolder && container_->uuid() != archive->uuid() &&
      (container_->uuid() == copyIdentity || (KXDocumentContainer::recordsOtherOrigin(archive->uuid(), url) &&
                                              KXDocumentContainer::recordsOtherOrigin(copyIdentity, url)))) {
    auto own = withIdentity(*archive, container_->uuid());
    if (!own) return fail(own.error());
    archive = *own;
  }
  if (sameFile && container_->uuid() == archive->uuid()) {
    chosen = container_;
  } else {
    Result<std::shared_ptr<KXDocumentContainer>> made =
        isFolder ? KXDocumentContainer::create(archive) : KXDocumentContainer::create(archive->uuid(), url);
    if (!made && isDocumentError(made.error(), KXDocumentError::containerAlreadyExistsForOtherOrigin)) {
      auto own = withIdentity(*archive, copyIdentity);
      if (!own) return fail(own.error());
      made = KXDocumentContainer::create((*own)->uuid(), url);
      if (!made) {
        // Both identities went to files saved from this one: the working copy that records this
        // file is its own, whatever it is called; a fresh identity only when there is none.
        auto recorded = KXDocumentContainer::workingCopyRecording(url);
        own = recorded ? withIdentity(*archive, *recorded) : withFreshIdentity(*archive);
        if (!own) return fail(own.error());
        made = KXDocumentContainer::create((*own)->uuid(), recorded ? std::optional(url) : std::nullopt);
      }
      archive = *own;
    }
    if (!made) return fail(made.error());
    chosen = *made;
    if (isFolder) wantsVersioningCheck_ = plan.isFirstRead;
    chosen->addDataSource(documentJSONSource(), KXDocumentArchive::relativePathForDocumentJSON);
  }
  plan.archive = archive;
  plan.chosen = chosen;
  // A revert reads the file over the working copy, which is the file's again afterwards.
  plan.relation = isReadingTemplate_ ? KXDocumentContainer::ArchiveRelation::copy()
                  : isReverting_     ? KXDocumentContainer::ArchiveRelation::revertedOrigin()
                                     : KXDocumentContainer::ArchiveRelation::origin(isRestoringDraft_);
  return {};
}

Result<void> KXDocument::finishRead(Result<void> read, const ReadPlan& plan) {
  const auto& chosen = plan.chosen;
  const auto& archive = plan.archive;
  const auto& url = plan.url;
  if (!read) {
    if (chosen != container_) {
      // An opening given up leaves the working copy as the read left it: one that was taken up
      // keeps its edits, one part filled has no origin record and goes at the next start.
      if (read.error().domain == NSCocoaErrorDomain && read.error().code == 3072)
        chosen->invalidate();
      else
        (void)chosen->deleteContainer(false);
    }
    return read;
  }
  if (!isRestoringDraft_ && !isReadingTemplate_) fileArchive_ = archive;
  if (chosen->setAsideCopy()) {
    setAsideToAnnounce_ = SetAside{*chosen->setAsideCopy(), chosen->recordWasUnreadable()
                                                                ? SetAside::Why::earlierSession
                                                                : SetAside::Why::changedElsewhere};
  } else if (!isReadingTemplate_ && !isReverting_) {
    // Edits an earlier start kept aside because this document was away, or a design the editor
    // handed over that couldn't be written (a folder document's too).
    if (auto kept = KXDocumentContainer::setAsideCopyToAnnounce(chosen->uuid(), url))
      setAsideToAnnounce_ = SetAside{*kept, KXDocumentContainer::refusedContentIn(*kept)
                                                ? SetAside::Why::refusedAnswer
                                                : SetAside::Why::earlierSession};
  }
  if (setAsideToAnnounce_ && windowForSheet()) scheduleMessages();
  setContainer(chosen);
  // Edits an earlier session never saved are still edits.
  if (chosen->resumedWithUnsavedChanges()) chosen->mark(true);
  didChangeContainer();
  return {};
}

void KXDocument::setContainer(std::shared_ptr<KXDocumentContainer> container) {
  if (container == container_) return;
  containerObserver_.reset();
  containerDirectoryMonitor_.reset();
  if (container_->isValid()) {
    // The container discards what it may at invalidation; a folder document loses nothing.
    container_->invalidate();
    container_->log("Invalidated");
  }
  container_ = std::move(container);
  if (container_ == KXDocumentContainer::placeholder()) return;
  if (!container_->isValid() || !container_->hasDataSource(KXDocumentArchive::relativePathForDocumentJSON))
    KORVEL_FATAL("A document's container must be valid and hold the editor's document");
  container_->mark(false);
  updateContainerHasChanges();
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  containerObserver_ = container_->observeHasChanges([weak] {
    requireMainThread("container observation");
    if (auto self = weak.lock()) self->updateContainerHasChanges();
  });
  std::weak_ptr<KXDocumentContainer> weakContainer = container_;
  auto monitor = FileMonitor::create(container_->projectDirectory(), [weak, weakContainer](const std::filesystem::path& changed) {
    auto self = weak.lock();
    auto container = weakContainer.lock();
    if (!self || !container || self->container_ != container) return;
    container->presentedSubitemDidChange(changed);
  });
  if (monitor)
    containerDirectoryMonitor_ = std::move(*monitor);
  else
    RWLog("Project folder is not watched: " + monitor.error().description());
}

void KXDocument::updateContainerHasChanges() {
  containerHasChanges_ = container_->hasUnwrittenChanges() || container_->hasManifestChanges();
  reportChangeCount(containerHasChanges_ && !isInTutorialMode_ ? ChangeType::done : ChangeType::cleared);
}

void KXDocument::updateChangeCount(ChangeType) {}

void KXDocument::updateChangeCountWithToken(SaveOperation operation) {
  // Closed while its file was written: nothing is left to mark.
  if (!container_->isValid()) return;
  switch (operation) {
    case SaveOperation::save:
    case SaveOperation::saveAs:
      container_->markSaved();
      // An edit the page made after it was asked for its document is not in the file, and files
      // carried over from the working copy a Save As left are not either; a working copy read
      // anew from the file took the design as the file has it, so the page is asked again.
      if ((savingGeneration_ && *savingGeneration_ != editGeneration_) || carriedEditsOfSave_) {
        container_->mark(true);
        if (savingGeneration_ && *savingGeneration_ != editGeneration_)
          ostrelViewController().dataSourceForDocumentJSON().setNeedsToBeProvided();
      }
      carriedEditsOfSave_ = false;
      break;
    case SaveOperation::autosaveElsewhere:
    case SaveOperation::autosaveInPlace:
      PDBaseDocument::updateChangeCountWithToken(operation);
      break;
    default:
      break;
  }
}

void KXDocument::ostrelDocumentDidBecomeDirty() {
  ++editGeneration_;
  PDBaseDocument::ostrelDocumentDidBecomeDirty();
}
