#include "document/DocumentController.h"

#include <algorithm>

#include "account/LoginController.h"
#include "canvas/BackgroundPages.h"
#include "document/DocumentHooks.h"
#include "document/KXDocument.h"
#include "document/PDDocumentWindow.h"
#include "document/storage/KXDocumentContainer.h"
#include "document/storage/KXDocumentError.h"
#include "document/storage/KXDocumentMigration.h"
#include "document/storage/KXSaveInFlight.h"
#include "document/storage/KXZipArchiveBacking.h"
#include "foundation/AppServices.h"
#include "platform/Alert.h"
#include "platform/GObjectPtr.h"
#include "platform/GtkPersonInterfaces.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"

DocumentController::DocumentController() {
  documentTypes = {
      {KXDocument::zipType, "Korvel Project", "korvelx", false},
      {KXDocument::folderType, "Korvel Project Folder", "", true},
      {tutorialTypeIdentifier, "Korvel Tutorial", tutorialPathExtension, false},
  };
  defaultType = KXDocument::zipType;
  setAutosavingDelay(60.0);
  wirePackageRegistrySettings();
}

void DocumentController::wirePackageRegistrySettings() {
  static bool wired = false;
  if (std::exchange(wired, true)) return;
  KXDocumentContainer::packageRegistrySettingsProvider = [] {
    return KXDocumentContainer::PackageRegistrySettings{
        AppServices::shared().currentEndpoints().packageRegistryURL.absoluteString(), LoginController::shared().token()};
  };
  // A new environment or sign-in rewrites every open project's ".npmrc".
  AppServices::shared().addObserveHandler([] { KXDocumentContainer::refreshAllPackageRegistrySettings(); });
}

DocumentController::~DocumentController() {
  // An opening's outcome comes back to this controller: none may come after it.
  if (!workUnderWay().empty()) stopOpenings();
}

std::vector<std::shared_ptr<PDBaseDocument>> DocumentController::orderedDocuments() {
  std::vector<std::shared_ptr<PDBaseDocument>> ordered;
  if (auto* controller = shared())
    for (const auto& document : controller->documents())
      if (auto base = std::dynamic_pointer_cast<PDBaseDocument>(document)) ordered.push_back(std::move(base));
  auto stamp = [](const std::shared_ptr<PDBaseDocument>& d) {
    return d->documentWindow() ? d->documentWindow()->orderStamp() : 0;
  };
  std::stable_sort(ordered.begin(), ordered.end(), [&](const auto& a, const auto& b) { return stamp(a) > stamp(b); });
  return ordered;
}

bool DocumentController::canOpenDocuments() const { return DocumentHooks::shouldOpenDocuments(); }

bool DocumentController::validateUserInterfaceItem(const std::string& action) const {
  if (action == "newDocument:" || action == "openDocument:") return canOpenDocuments();
  return true;
}

namespace {

// A file korvel wrote under a name without its extension (earlier builds did), or renamed since,
// is known by what it holds: a zip that holds the design, read by the zip reader within its
// bounds. Anything else stays no document, told by `notADocument`. Any thread.
Result<std::string> typeByWhatItHolds(const std::filesystem::path& url, const Error& notADocument) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(url, ec)) return fail(notADocument);
  auto zip = KXZipArchiveBacking::create(url, false, false);
  if (!zip || !(*zip)->declaredSizes().count(KXDocumentArchive::relativePathForDocumentJSON)) return fail(notADocument);
  RWLog("Opening " + url.string() + " by its contents: a project zip named without the extension");
  return std::string(KXDocument::zipType);
}

Error givenUp() { return Error(NSCocoaErrorDomain, 3072, "The opening was given up."); }

}  // namespace

Result<std::string> DocumentController::typeForContents(const Path& url) const {
  if (url.extension() == std::string(".") + tutorialPathExtension) return std::string(tutorialTypeIdentifier);
  auto type = BaseDocumentController::typeForContents(url);
  if (type) return type;
  return typeByWhatItHolds(url, type.error());
}

void DocumentController::typeInBackground(const Path& url, const std::shared_ptr<Opening>& opening,
                                          std::function<void(Result<std::string>)> done) const {
  auto type = BaseDocumentController::typeForContents(url);
  std::error_code ec;
  if (type || !std::filesystem::is_regular_file(url, ec)) return done(std::move(type));
  GlobalQueue::async([url, stop = opening->work->stop(), notADocument = type.error(), done = std::move(done)]() mutable {
    auto found = std::make_shared<Result<std::string>>(typeByWhatItHolds(url, notADocument));
    MainQueue::async([stop, found, done = std::move(done)] {
      done(stop->load() ? Result<std::string>(fail(givenUp())) : std::move(*found));
    });
  });
}

namespace {
template <class T>
Result<std::shared_ptr<Document>> asDocument(Result<std::shared_ptr<T>> made) {
  if (!made) return fail(made.error());
  return std::shared_ptr<Document>(*made);
}
}  // namespace

Result<std::shared_ptr<Document>> DocumentController::makeDocument(const Path& url, const std::string& type) {
  if (!canOpenDocuments()) return fail(makeError(KXDocumentError::notLoggedIn));
  return asDocument(KXDocument::make(url, type));
}

Result<std::shared_ptr<Document>> DocumentController::makeDocument(const std::optional<Path>& url,
                                                                   const Path& contentsURL, const std::string& type) {
  if (!canOpenDocuments()) return fail(makeError(KXDocumentError::notLoggedIn));
  return asDocument(KXDocument::make(url, contentsURL, type));
}

Result<std::shared_ptr<Document>> DocumentController::makeUntitledDocument(const std::string& type) {
  if (!canOpenDocuments()) return fail(makeError(KXDocumentError::notLoggedIn));
  return asDocument(KXDocument::makeUntitled(type));
}

Result<std::shared_ptr<Document>> DocumentController::openUntitledDocumentAndDisplay(bool display) {
  auto made = BaseDocumentController::openUntitledDocumentAndDisplay(display);
  if (made && display) (*made)->showWindows();
  return made;
}

void DocumentController::makeDocumentInBackground(const std::optional<Path>& url, const Path& contentsURL,
                                                  const std::string& type,
                                                  std::function<void(Result<std::shared_ptr<Document>>)> done) {
  if (!canOpenDocuments()) return done(fail(makeError(KXDocumentError::notLoggedIn)));
  if (DocumentHooks::isTerminating()) return done(fail(givenUp()));
  auto opening = beginOpening(contentsURL, false);
  RWLog("Reading " + contentsURL.string());
  KXDocument::open(url, contentsURL, type, opening->work->stop(),
                   [this, opening, done = std::move(done)](Result<std::shared_ptr<KXDocument>> made) {
                     endOpening(opening, made);
                     if (!made) {
                       done(fail(made.error()));
                       return showWelcomeWindowIfNothingIsLeft();
                     }
                     DocumentHooks::closeWelcomeWindow();
                     done(std::shared_ptr<Document>(*made));
                   });
}

std::size_t DocumentController::reopenAutosavedDrafts() {
  // What saves a kill ended left in the person's folders goes before anything is opened.
  (void)KXSaveInFlight::removeLeftoversOfEndedSaves();
  if (!canOpenDocuments()) return 0;
  // Each draft is read beside the main loop; until its read has chosen a working copy, the one
  // it left is kept by its record, which names the draft.
  auto reopening = BaseDocumentController::reopenAutosavedDrafts();
  if (auto removed = KXDocumentContainer::removeUnclaimedWorkingCopies())
    RWLog("Removed " + std::to_string(removed) + " working copies that belonged to no document");
  return reopening;
}

void DocumentController::newDocument() {
  DocumentHooks::closeWelcomeWindow();
  BaseDocumentController::newDocument();
}

void DocumentController::openDocument() {
  // The alert for a file that can't be read stands on the window the panel stood on, where the
  // person asked: once the read beside the main loop has failed, the window manager may have
  // given the keyboard to another window as the panel closed.
  auto asking = std::make_shared<GObjectPtr<GtkWindow>>(GObjectPtr<GtkWindow>::retain(dialogParentFor(nullptr)));
  auto urls = URLsFromRunningOpenPanel();
  if (urls.empty()) return;
  openDocument(urls.front(), true, [this, asking](std::shared_ptr<Document>, bool, std::optional<Error> error) {
    if (!error) return;
    GtkWindow* window = asking->get();
    presentError(*error, window && gtk_widget_get_mapped(GTK_WIDGET(window)) ? window : nullptr);
  });
}

namespace {

// What a person reads when a file can't be opened: the file's name and what is wrong with it,
// in words; the reader's own error stays beneath for the log.
Error unreadableDocumentError(const std::filesystem::path& url, const Error& error) {
  auto name = url.filename().string();
  if (name.empty()) name = url.parent_path().filename().string();
  std::error_code ec;
  bool missing = !std::filesystem::exists(std::filesystem::symlink_status(url, ec));
  Error readable(error.domain, error.code, error.message);
  readable.userInfo = error.userInfo;
  readable.with(NSLocalizedFailureReasonErrorKey,
                missing ? "The document “" + name + "” could not be found."
                        : "“" + name + "” is not a Korvel document, or it is damaged.");
  readable.with("NSLocalizedRecoverySuggestion", missing ? "It may have been moved, renamed or deleted."
                                                         : "Korvel could not read the file at " + url.string() + ".");
  readable.with(NSFilePathErrorKey, url.string());
  readable.withUnderlying(error);
  return readable;
}

bool speaksForItself(const Error& error) {
  // A file too large to expand, or for the disk, is named with its sizes by the reader itself.
  bool tooLarge = error.domain == NSCocoaErrorDomain &&
                  (error.code == NSFileReadTooLargeError || error.code == NSFileWriteOutOfSpaceError) &&
                  error.info(NSLocalizedFailureReasonErrorKey);
  // So is a file of a folder the reader could not take (a named pipe, a link out of the folder).
  bool fileNamed = error.domain == NSCocoaErrorDomain && error.code == NSFileReadUnknownError &&
                   error.info(NSLocalizedFailureReasonErrorKey) && error.info("NSLocalizedRecoverySuggestion");
  return isDocumentError(error, KXDocumentError::notLoggedIn) ||
         isDocumentError(error, KXDocumentError::documentVersionTooNew) ||
         (error.domain == NSCocoaErrorDomain && error.code == 3072) || tooLarge || fileNamed;
}

}  // namespace

void DocumentController::openDocument(const Path& url, bool display, OpenCompletion completion) {
  // A file that can't be opened is named in words, logged, and never leaves the person with
  // nothing on screen: the welcome window comes back before the error is shown.
  // Until the document is made (its editor holds them from then on), hidden pages wait.
  auto hold = std::make_shared<std::unique_ptr<BackgroundPages::Hold>>(std::make_unique<BackgroundPages::Hold>());
  completion = [this, url, hold, completion = std::move(completion)](std::shared_ptr<Document> document, bool wasOpen,
                                                                      std::optional<Error> error) {
    hold->reset();
    if (error) {
      RWLog("Could not open " + url.string() + ": " + error->description(), 3);
      if (!speaksForItself(*error)) error = unreadableDocumentError(url, *error);
      // The file chooser listed it among the recent documents as it handed it out. An opening
      // given up (at quit) says nothing of the file: it stays.
      bool givenUpOrRefused = isDocumentError(*error, KXDocumentError::notLoggedIn) ||
                              (error->domain == NSCocoaErrorDomain && error->code == 3072);
      if (!givenUpOrRefused) RecentDocuments::shared().removeRecentDocumentURL(url);
      if (documents().empty() && !DocumentHooks::isTerminating()) DocumentHooks::showWelcomeWindow();
    }
    if (completion) completion(std::move(document), wasOpen, std::move(error));
  };
  // The welcome window stays on screen while a document is read, until its window shows.
  auto extension = url.extension().string();
  if (extension == std::string(".") + classicPathExtension) {
    DocumentHooks::closeWelcomeWindow();
    return convertClassicProject(url, std::move(completion));
  }
  if (extension == std::string(".") + tutorialPathExtension) {
    bool edit = false;
    if (DocumentHooks::optionKeyHeld()) {
      AlertSpec alert{"Would you like to start the “" + url.stem().string() + "” tutorial or edit the document?",
                     "As a tutorial author, you can show this message by holding down option while opening the "
                     "tutorial.",
                     {"Start Tutorial", "Edit…"},
                     0};
      edit = Alert::shared().runModal(alert, nullptr) != Alert::firstButtonReturn;
    }
    if (!edit) {
      DocumentHooks::closeWelcomeWindow();
      return openTutorial(url, std::move(completion));
    }
  }
  openFile(url, display, std::move(completion));
}

void DocumentController::openFile(const Path& url, bool display, OpenCompletion completion) {
  // A Save As writing this file (or the folder that holds it) ends first: its document is then
  // the file's, and this opening joins it. One that failed leaves the file to be read as it is.
  if (!documentForURL(url)) {
    auto saving = workUnderWay().find({WorkUnderWay::Kind::saving}, [&](const WorkUnderWay::Work& work) {
      return replacedBySaving(work.url(), url);
    });
    if (saving) {
      RWLog("Opening " + url.string() + " once the save that writes it has ended");
      return saving->whenEnded([this, url, display, completion = std::move(completion)]() mutable {
        if (DocumentHooks::isTerminating()) return completion(nullptr, false, givenUp());
        openFile(url, display, std::move(completion));
      });
    }
  }
  // A folder is a project only when it holds a design; any other folder is no document.
  std::error_code ec;
  if (std::filesystem::is_directory(url, ec) &&
      !std::filesystem::exists(url / KXDocumentArchive::relativePathForDocumentJSON, ec) && !documentForURL(url))
    return completion(nullptr, false, makeError(KXDocumentError::unsupportedDocument));
  openInBackground(url, display, std::move(completion));
}

void DocumentController::openInBackground(const Path& url, bool show, OpenCompletion completion) {
  if (auto open = documentForURL(url)) {
    DocumentHooks::closeWelcomeWindow();
    if (show) open->showWindows();
    return completion(open, true, std::nullopt);
  }
  // A file already being read is read once: every opening of it gets the one document.
  std::error_code ec;
  for (auto& opening : openings_) {
    if (opening->joinable && (opening->url == url || std::filesystem::equivalent(opening->url, url, ec))) {
      opening->waiters.push_back({show, std::move(completion)});
      return;
    }
  }
  if (!canOpenDocuments()) return completion(nullptr, false, makeError(KXDocumentError::notLoggedIn));
  auto opening = beginOpening(url, true);
  opening->waiters.push_back({show, std::move(completion)});
  auto tell = [this, opening](Result<std::shared_ptr<KXDocument>> made) {
    endOpening(opening, made);
    auto waiters = std::exchange(opening->waiters, {});
    if (!made) {
      for (auto& waiter : waiters) waiter.completion(nullptr, false, made.error());
      return;
    }
    std::shared_ptr<Document> document = *made;
    DocumentHooks::closeWelcomeWindow();
    addDocument(document);
    noteNewRecentDocumentURL(opening->url);
    bool shown = false;
    bool first = true;
    for (auto& waiter : waiters) {
      if (waiter.show && !shown) {
        this->display(*document);
        document->showWindows();
        shown = true;
      }
      waiter.completion(document, !first, std::nullopt);
      first = false;
    }
  };
  typeInBackground(url, opening, [url, opening, tell](Result<std::string> type) {
    if (!type) return tell(fail(type.error()));
    RWLog("Opening " + url.string());
    KXDocument::open(url, *type, opening->work->stop(), tell);
  });
}

std::shared_ptr<DocumentController::Opening> DocumentController::beginOpening(const Path& url, bool joinable) {
  auto opening = std::make_shared<Opening>();
  opening->url = url;
  opening->joinable = joinable;
  opening->work = workUnderWay().begin(joinable ? WorkUnderWay::Kind::opening : WorkUnderWay::Kind::reading, url);
  openings_.push_back(opening);
  return opening;
}

void DocumentController::endOpening(const std::shared_ptr<Opening>& opening, Result<std::shared_ptr<KXDocument>>& made) {
  std::erase(openings_, opening);
  bool givenUpMeanwhile = opening->work->isGivenUp();
  opening->work->end();
  // Given up (at quit) after its read was done: it never shows.
  if (made && givenUpMeanwhile) {
    (*made)->giveUp();
    made = fail(givenUp());
  }
}

void DocumentController::showWelcomeWindowIfNothingIsLeft() {
  if (isIdle() && !DocumentHooks::isTerminating()) DocumentHooks::showWelcomeWindow();
}

void DocumentController::stopOpenings() {
  // Each ends at its next chunk, a copy being written once it is written; the main loop runs only
  // what they hand back.
  if (!workUnderWay().giveUpAndWait(60)) RWLog("Work under way had not ended after a minute; quitting without it", 3);
}

void DocumentController::openTutorial(const Path& url, OpenCompletion completion) {
  if (!canOpenDocuments()) return completion(nullptr, false, makeError(KXDocumentError::notLoggedIn));
  // Every start of a tutorial is a new untitled document of its own.
  auto opening = beginOpening(url, false);
  RWLog("Starting the tutorial " + url.string());
  KXDocument::openFromTemplate(
      defaultType, url, tutorialTypeIdentifier, true, opening->work->stop(),
      [this, opening, url, completion = std::move(completion)](Result<std::shared_ptr<KXDocument>> made) {
        endOpening(opening, made);
        if (!made) return completion(nullptr, false, made.error());
        (*made)->setDisplayName(url.stem().string());
        std::shared_ptr<Document> document = *made;
        DocumentHooks::closeWelcomeWindow();
        addDocument(document);
        display(*document);
        completion(document, false, std::nullopt);
      });
}

void DocumentController::convertClassicProject(const Path& url, OpenCompletion completion) {
  if (!canOpenDocuments()) return completion(nullptr, false, makeError(KXDocumentError::notLoggedIn));
  // Its files are copied into a staging folder, read into a new working copy and the staging
  // folder removed, all beside the main loop; the classic folder is only read.
  auto opening = beginOpening(url, false);
  RWLog("Converting the classic project " + url.string());
  auto removeStaging = [](std::shared_ptr<KXDocumentArchive> staged) {
    GlobalQueue::async([staged] { KXDocumentMigration::removeStagingFolder(*staged); });
  };
  auto converted = [this, opening, url, removeStaging, completion](std::shared_ptr<KXDocumentArchive> staged,
                                                                   Result<std::shared_ptr<KXDocument>> made) {
    if (staged) removeStaging(staged);
    endOpening(opening, made);
    if (!made) return completion(nullptr, false, made.error());
    (*made)->setMigratedDocumentURL(url);
    (*made)->setDisplayName((*made)->displayName() + " (" + url.stem().string() + ")");
    std::shared_ptr<Document> document = *made;
    addDocument(document);
    display(*document);
    completion(document, false, std::nullopt);
  };
  GlobalQueue::async([url, stop = opening->work->stop(), type = defaultType, converted] {
    auto staged = std::make_shared<Result<std::shared_ptr<KXDocumentArchive>>>(KXDocumentMigration::stageClassicProject(url));
    MainQueue::async([staged, stop, type, converted] {
      if (!*staged) return converted(nullptr, fail(staged->error()));
      if (stop->load()) return converted(**staged, fail(givenUp()));
      auto archive = **staged;
      KXDocument::openFromTemplate(type, archive->backing().url(), KXDocument::folderType, false, stop,
                                   [archive, converted](Result<std::shared_ptr<KXDocument>> made) {
                                     converted(archive, std::move(made));
                                   });
    });
  });
}

bool DocumentController::attemptRecovery(const Error& error, int optionIndex) {
  if (error.domain == KXDocumentErrorDomain && error.code == static_cast<long>(KXDocumentError::documentVersionTooNew)) {
    if (optionIndex == 0) DocumentHooks::checkForUpdates();
    return true;
  }
  return BaseDocumentController::attemptRecovery(error, optionIndex);
}
