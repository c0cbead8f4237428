#include "platform/Document.h"

#include <sys/stat.h>

#include <algorithm>

#include "platform/Alert.h"
#include "platform/BaseDocumentController.h"
#include "platform/ErrorWording.h"
#include "platform/FileSystem.h"
#include "platform/Panels.h"
#include "platform/RWLog.h"
#include "platform/Uuid.h"
#include "platform/Xdg.h"

namespace {

// The user-info key of a presentable error's reason; the document layer fills it.
constexpr const char* failureReasonKey = "NSLocalizedFailureReason";

Error userCancelled() { return Error(NSCocoaErrorDomain, 3072, "The user cancelled."); }

std::optional<Document::Date> modificationDate(const std::filesystem::path& url) {
  struct stat st {};
  if (::stat(url.c_str(), &st) != 0) return std::nullopt;
  return fs::dateOf(st.st_mtim);
}

bool isNonEmptyFolderOrFile(const std::filesystem::path& url) {
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::symlink_status(url, ec))) return false;
  if (!std::filesystem::is_directory(url, ec)) return true;
  return std::filesystem::directory_iterator(url, ec) != std::filesystem::directory_iterator();
}

int nextUntitledNumber() {
  static int counter = 0;
  return ++counter;
}

}  // namespace

Document::Document() = default;

Document::~Document() = default;

BaseDocumentController* Document::controller() const { return BaseDocumentController::shared(); }

void Document::setFileURL(std::optional<Path> url) { fileURL_ = std::move(url); }

std::string Document::displayName() const {
  if (displayName_) return *displayName_;
  if (fileURL_) return fileURL_->stem().string();
  // Only documents that are shown untitled take a number: opened files leave the count alone.
  if (untitledNumber_ == 0) untitledNumber_ = nextUntitledNumber();
  return untitledNumber_ <= 1 ? "Untitled" : "Untitled " + std::to_string(untitledNumber_);
}

void Document::updateChangeCount(ChangeType change) {
  bool edited = change != ChangeType::cleared;
  if (edited == edited_) return;
  edited_ = edited;
  notifyEdited();
}

void Document::updateChangeCountWithToken(SaveOperation operation) {
  if (operation == SaveOperation::save || operation == SaveOperation::saveAs ||
      operation == SaveOperation::autosaveInPlace)
    updateChangeCount(ChangeType::cleared);
}

ObserverToken Document::observeEdited(std::function<void()> didChange) {
  auto entry = std::make_shared<std::function<void()>>(std::move(didChange));
  editedObservers_.push_back(entry);
  std::weak_ptr<Document> weak = weak_from_this();
  std::weak_ptr<std::function<void()>> weakEntry = entry;
  return ObserverToken([weak, weakEntry] {
    auto self = weak.lock();
    auto e = weakEntry.lock();
    if (self && e) std::erase(self->editedObservers_, e);
  });
}

void Document::notifyEdited() {
  auto observers = editedObservers_;
  for (auto& o : observers) (*o)();
}

void Document::withImplicitCancellation(bool cancellable, const std::function<void()>& body) {
  bool before = implicitlyCancellable_;
  implicitlyCancellable_ = cancellable;
  body();
  implicitlyCancellable_ = before;
}

void Document::save(const Path& url, const std::string& type, SaveOperation operation, Completion completion) {
  performSave(url, type, operation, std::move(completion));
}

void Document::performSave(const Path& url, const std::string& type, SaveOperation operation, Completion completion) {
  auto keepAlive = shared_from_this();
  bool ownFile = isOwnFile(url) && (operation == SaveOperation::save || operation == SaveOperation::saveAs ||
                                    operation == SaveOperation::autosaveInPlace);
  if (operation == SaveOperation::saveAs && !ownFile && refusesReplacingOpenDocument(url)) {
    if (completion) completion(userCancelled());
    return;
  }
  if (ownFile && fileChangedOnDisk(url)) {
    // A timed autosave gives way at once: the person's own save, or the closing of the window,
    // looks closer and asks. With nobody to answer, the edits stay in the working copy.
    bool timed = operation == SaveOperation::autosaveInPlace && implicitlyCancellable_;
    if (!timed && fileHoldsLastContent(url)) {
      RWLog("The file of “" + displayName() + "” was written again with the content it had");
    } else {
      RWLog("The file of “" + displayName() + "” changed on disk since it was last read or written");
      if (nobodyAnswers_) RWLog("Not saving “" + displayName() + "” over it: nobody is there to answer");
      if (timed || nobodyAnswers_ || !confirmSavingOverChangedFile(url, type)) {
        if (completion) completion(userCancelled());
        return;
      }
    }
  }
  // Taken before the write: a subclass may report no draft once it has written a file.
  auto draft = autosavedContentsFileURL();
  // Taken right after the look above (and the person's answer): what the write may replace.
  targetAsChecked_ = fs::fileIdentity(url);
  // Among the work under way until the document has taken the outcome up: an opening of the file
  // waits for it, and a Save As of another document over it is refused.
  auto* c = controller();
  auto work = c ? c->workUnderWay().begin(WorkUnderWay::Kind::saving, url, this) : nullptr;
  // It ends once the outcome is recorded and before anyone is told, who may go on to a quit.
  Completion told = [work, completion](std::optional<Error> error) {
    if (work) work->end();
    if (completion) completion(std::move(error));
  };
  writeSafelyAsync(url, type, operation,
                   [this, keepAlive, url, type, operation, draft, told](Result<void> written) {
                     targetAsChecked_.reset();
                     finishSave(written, url, type, operation, draft, told);
                   });
}

void Document::finishSave(const Result<void>& written, const Path& url, const std::string& type,
                          SaveOperation operation, const std::optional<Path>& draft, const Completion& completion) {
  // A failed write leaves the file as the document last knew it took it, whatever it holds now:
  // another program may have written it meanwhile, and the next save looks and asks.
  if (!written) {
    // The writer's message is for the log; the person reads what happened and where.
    if (completion)
      completion(ErrorWording::presentable(written.error(), "The document “" + displayName() + "” could not be saved.",
                                           ErrorWording::whyWritingFailed(written.error(), url)));
    return;
  }
  switch (operation) {
    case SaveOperation::save:
    case SaveOperation::saveAs: {
      setFileType(type);
      if (fileURL_ != url) {
        setFileURL(url);
        // A name given to a file-less document (an example's) gives way to the file's.
        displayName_.reset();
        notifyEdited();
      }
      noteFileOnDisk(url);
      if (draft && *draft != url) (void)fs::removeItem(*draft);
      setAutosavedContentsFileURL(std::nullopt);
      if (auto* c = controller()) c->noteNewRecentDocumentURL(url);
      break;
    }
    case SaveOperation::autosaveElsewhere:
      setAutosavedContentsFileURL(url);
      break;
    case SaveOperation::autosaveInPlace:
      noteFileOnDisk(url);
      break;
    default:
      break;
  }
  updateChangeCountWithToken(operation);
  if (completion) completion(std::nullopt);
}

bool Document::isOwnFile(const Path& url) const {
  if (!fileURL_) return false;
  std::error_code ec;
  return *fileURL_ == url || std::filesystem::equivalent(*fileURL_, url, ec);
}

std::optional<Document::FileState> Document::fileStateOf(const Path& url) {
  auto state = fs::fileIdentity(url);
  if (!state || !state->regularFile) return std::nullopt;
  return state;
}

void Document::noteFileOnDisk(const Path& url) {
  setFileModificationDate(modificationDate(url));
  // A folder edited in place changes with every edit: only a file is held to what was read.
  fileState_ = fileStateOf(url);
}

bool Document::fileChangedOnDisk(const Path& url) const {
  if (!fileState_) return false;
  auto now = fileStateOf(url);
  return now && *now != *fileState_;
}

bool Document::refusesReplacingOpenDocument(const Path& url) {
  auto* c = controller();
  auto holder = c ? c->documentReplacedBySaving(url, this) : nullptr;
  if (!holder) return c && refusesReplacingWorkUnderWay(url);
  auto held = holder->fileURL()->filename().string();
  auto target = url.filename().string();
  std::error_code ec;
  bool inside = std::filesystem::is_directory(url, ec) && !std::filesystem::equivalent(url, *holder->fileURL(), ec);
  AlertSpec alert{inside ? "“" + target + "” holds “" + held + "”, which is open in the window “" +
                               holder->displayName() + "”."
                         : "“" + target + "” is open in the window “" + holder->displayName() + "”.",
                 "A document that is open can’t be replaced. Choose another name, or close that window first. Both "
                 "documents stay as they are.",
                 {}};
  RWLog("Not saving “" + displayName() + "” over " + url.string() + ": “" + holder->displayName() + "” is open there");
  Alert::shared().runModal(alert, windowForSheet());
  return true;
}

bool Document::refusesReplacingWorkUnderWay(const Path& url) {
  auto work = controller()->workReplacedBySaving(url, this);
  if (!work) return false;
  auto target = url.filename().string();
  auto held = work->url().filename().string();
  bool inside = !WorkUnderWay::sameFile(work->url(), url);
  bool saving = work->kind() == WorkUnderWay::Kind::saving;
  std::string what = saving ? "being saved from another window" : "being opened";
  AlertSpec alert{inside ? "“" + target + "” holds “" + held + "”, which is " + what + "."
                         : "“" + target + "” is " + what + ".",
                  saving ? "A file that another window is saving can’t be replaced. Choose another name, or save again "
                           "once that save has ended. Both documents stay as they are."
                         : "A document that is being opened can’t be replaced. Choose another name. Both documents "
                           "stay as they are.",
                  {}};
  RWLog("Not saving “" + displayName() + "” over " + url.string() + ": " + work->url().string() + " is " + what);
  Alert::shared().runModal(alert, windowForSheet());
  return true;
}

bool Document::confirmSavingOverChangedFile(const Path& url, const std::string& type) {
  AlertSpec alert{"“" + url.filename().string() + "” has changed on disk since you opened or saved it.",
                 "Another window or program wrote it. Save Anyway replaces what it holds now with the document as "
                 "you see it here. Revert opens the file as it is now and keeps a copy of your unsaved edits.",
                 {"Cancel", "Revert", "Save Anyway"}};
  int answer = Alert::shared().runModal(alert, windowForSheet());
  if (answer == Alert::thirdButtonReturn) {
    RWLog("Saving “" + displayName() + "” over the changed file at the person’s word");
    return true;
  }
  if (answer == Alert::secondButtonReturn && !closed_) {
    // The file is read beside the main loop, once this save has given way.
    std::weak_ptr<Document> weak = weak_from_this();
    revertToChangedFileAsync(url, type, [weak, url](Result<void> reverted) {
      auto self = weak.lock();
      if (!self || reverted) return;
      self->presentError(ErrorWording::presentable(reverted.error(),
                                                   "The document “" + self->displayName() + "” could not be reverted.",
                                                   ErrorWording::whyReadingFailed(reverted.error(), url)));
    });
  }
  return false;
}

Document::Path Document::draftFolder() { return xdg::dataHome() / "Korvel" / "Autosave Information"; }

std::optional<std::string> Document::nameInDraftURL(const Path& draft) {
  // "<name> (<UUID>).<extension>", as newDraftURL makes them.
  auto stem = draft.stem().string();
  constexpr std::size_t uuidLength = 36;
  constexpr std::size_t suffixLength = uuidLength + 3;  // " (" + UUID + ")"
  if (stem.size() <= suffixLength || stem.compare(stem.size() - suffixLength, 2, " (") != 0 || stem.back() != ')')
    return std::nullopt;
  if (!Uuid::parse(stem.substr(stem.size() - uuidLength - 1, uuidLength))) return std::nullopt;
  return stem.substr(0, stem.size() - suffixLength);
}

Document::Path Document::newDraftURL() const { return newDraftURL(displayName()); }

Document::Path Document::newDraftURL(const std::string& name) const {
  std::string extension = ".korvelx";
  if (auto* c = controller())
    for (auto& t : c->documentTypes)
      if (t.typeName == fileType_ && !t.isFolder) extension = "." + t.extension;
  auto folder = draftFolder();
  (void)fs::createDirectories(folder, 0700);
  return folder / (name + " (" + Uuid::random().string() + ")" + extension);
}

bool Document::isNativeType(const std::string& type) const {
  auto types = writableTypes();
  return std::find(types.begin(), types.end(), type) != types.end();
}

void Document::saveDocument(Completion completion) {
  if (!fileURL_) {
    saveDocumentAs(std::move(completion));
    return;
  }
  std::weak_ptr<Document> weak = weak_from_this();
  save(*fileURL_, fileType_, SaveOperation::save, [weak, completion](std::optional<Error> error) {
    if (auto self = weak.lock(); self && error) self->presentError(*error);
    if (completion) completion(error);
  });
}

void Document::saveDocumentAs(Completion completion) {
  SavePanelOptions options;
  if (auto* c = controller())
    for (auto& t : c->documentTypes)
      if (isNativeType(t.typeName)) options.types.push_back(t);
  options.typeName = fileType_;
  options.nameFieldValue = displayName();
  // The document's own folder, or the documents folder for one that has none.
  options.directory = fileURL_ ? fileURL_->parent_path() : xdg::documents();
  auto chosen = Panels::shared().runSavePanel(options, windowForSheet());
  if (!chosen) {
    if (completion) completion(userCancelled());
    return;
  }
  // Another window's document is never replaced, nor a folder that holds one.
  if (chosen->url != fileURL_ && refusesReplacingOpenDocument(chosen->url)) {
    if (completion) completion(userCancelled());
    return;
  }
  // A chooser readily returns a folder such as ~/Documents: nothing is replaced unless the
  // person confirms it by name.
  if (chosen->url != fileURL_ && isNonEmptyFolderOrFile(chosen->url)) {
    AlertSpec alert{"“" + chosen->url.filename().string() + "” already exists. Do you want to replace it?",
                   "Replacing it will overwrite everything in “" + chosen->url.filename().string() + "”.",
                   {"Cancel", "Replace"}};
    if (Alert::shared().runModal(alert, windowForSheet()) != Alert::secondButtonReturn) {
      if (completion) completion(userCancelled());
      return;
    }
  }
  std::weak_ptr<Document> weak = weak_from_this();
  save(chosen->url, chosen->typeName, SaveOperation::saveAs, [weak, completion](std::optional<Error> error) {
    if (auto self = weak.lock(); self && error) self->presentError(*error);
    if (completion) completion(error);
  });
}

void Document::autosave(bool implicitlyCancellable, Completion completion) {
  if (isInViewingMode()) {
    if (completion) completion(std::nullopt);
    return;
  }
  withImplicitCancellation(implicitlyCancellable, [&] {
    if (fileURL_) {
      save(*fileURL_, fileType_, SaveOperation::autosaveInPlace, completion);
    } else {
      auto url = autosavedContentsFileURL().value_or(newDraftURL());
      save(url, fileType_, SaveOperation::autosaveElsewhere, completion);
    }
  });
}

void Document::revertDocumentToSaved() {
  if (!fileURL_ || isReverting()) return;
  AlertSpec alert{"Do you want to revert to the most recently saved version of the document “" + displayName() + "”?",
                 "Your current changes will be lost.", {"Revert", "Cancel"}};
  std::weak_ptr<Document> weak = weak_from_this();
  Alert::shared().beginSheet(alert, windowForSheet(), [weak](int response) {
    auto self = weak.lock();
    if (!self || response != Alert::firstButtonReturn || !self->fileURL_ || self->isReverting() || self->closed_) return;
    auto url = *self->fileURL_;
    // The file is read beside the main loop; the window stays live meanwhile.
    self->revertAsync(url, self->fileType_, [weak, url](Result<void> reverted) {
      auto self = weak.lock();
      if (!self || reverted) return;
      self->presentError(ErrorWording::presentable(reverted.error(),
                                                   "The document “" + self->displayName() + "” could not be reverted.",
                                                   ErrorWording::whyReadingFailed(reverted.error(), url)));
    });
  });
}

Result<void> Document::revert(const Path& url, const std::string& type) {
  // Taken before the read: a write that lands during it shows at the next save.
  auto before = fileStateOf(url);
  auto result = read(url, type);
  if (!result) return result;
  reverted(url, before);
  return {};
}

void Document::revertAsync(const Path& url, const std::string& type, std::function<void(Result<void>)> done) {
  auto before = fileStateOf(url);
  std::weak_ptr<Document> weak = weak_from_this();
  readAsync(url, type, [weak, url, before, done = std::move(done)](Result<void> read) {
    auto self = weak.lock();
    if (read && self && !self->closed_) self->reverted(url, before);
    done(std::move(read));
  });
}

void Document::reverted(const Path& url, const std::optional<FileState>& before) {
  updateChangeCount(ChangeType::cleared);
  setFileModificationDate(modificationDate(url));
  fileState_ = before;
}

void Document::duplicateDocument() {
  std::weak_ptr<Document> weak = weak_from_this();
  auto name = displayName();
  duplicate([weak, name](Result<std::shared_ptr<Document>> made) {
    if (made) return;
    auto error = ErrorWording::presentable(made.error(), "The document “" + name + "” could not be duplicated.",
                                           ErrorWording::whyWritingFailed(made.error(), draftFolder() / "copy"));
    if (auto self = weak.lock()) self->presentError(error);
    else if (auto* c = BaseDocumentController::shared()) c->presentError(error);
  });
}

void Document::duplicate(std::function<void(Result<std::shared_ptr<Document>>)> done) {
  if (!controller()) return done(fail(NSCocoaErrorDomain, 256, "No document controller."));
  // The copy's draft carries the copy's name: after a crash it comes back under it.
  auto name = displayName() + " copy";
  auto url = newDraftURL(name);
  auto type = fileType_;
  // Under way while the copy is written, and then read as the controller's own reading: a quit
  // meanwhile waits for the write and gives the copy up, and no draft is left of a copy the person
  // never saw.
  auto work = controller()->workUnderWay().begin(WorkUnderWay::Kind::duplicating, url, this);
  writeSafelyAsync(url, type, SaveOperation::autosaveElsewhere,
                   [url, type, name, work, done = std::move(done)](Result<void> written) {
                     auto* c = BaseDocumentController::shared();
                     if (!written || !c || work->isGivenUp()) {
                       (void)fs::removeItem(url);
                       work->end();
                       if (!written) return done(fail(written.error()));
                       if (c) return done(fail(NSCocoaErrorDomain, 3072, "The copy was given up."));
                       return done(fail(NSCocoaErrorDomain, 256, "No document controller."));
                     }
                     c->makeDocumentInBackground(std::nullopt, url, type, [url, name, done](Result<std::shared_ptr<Document>> copy) {
                       // A copy that can't be read, or whose reading was given up, is no stray draft.
                       if (!copy) {
                         (void)fs::removeItem(url);
                         return done(copy);
                       }
                       (*copy)->setDisplayName(name);
                       if (auto* c = BaseDocumentController::shared()) c->addDocument(*copy);
                       (*copy)->makeWindowControllers();
                       (*copy)->showWindows();
                       done(copy);
                     });
                     // Its reading is among the work under way by now.
                     work->end();
                   });
}

void Document::canClose(std::function<void(bool)> done) {
  if (!edited_) {
    done(true);
    return;
  }
  std::weak_ptr<Document> weak = weak_from_this();
  if (fileURL_) {
    // Autosaving in place: an edited document with a file is saved, never asked about.
    withImplicitCancellation(false, [&] {
      save(*fileURL_, fileType_, SaveOperation::autosaveInPlace, [weak, done](std::optional<Error> error) {
        auto self = weak.lock();
        if (self && error) self->presentError(*error);
        done(!error.has_value());
      });
    });
    return;
  }
  AlertSpec alert{"Do you want to save the new document “" + displayName() + "”?",
                 "If you delete it, its content is lost.", {"Save…", "Delete", "Cancel"}};
  Alert::shared().beginSheet(alert, windowForSheet(), [weak, done](int response) {
    auto self = weak.lock();
    if (!self) return done(false);
    if (response == Alert::secondButtonReturn) return done(true);
    if (response != Alert::firstButtonReturn) return done(false);
    self->saveDocumentAs([done](std::optional<Error> error) { done(!error.has_value()); });
  });
}

void Document::close() {
  if (closed_) return;
  closed_ = true;
  // An untitled document's draft goes with it: the person chose to delete it.
  if (!fileURL_)
    if (auto draft = autosavedContentsFileURL()) (void)fs::removeItem(*draft);
  if (auto* c = controller()) c->removeDocument(*this);
}

void Document::giveUp() {
  if (!fileURL_) autosavedContentsFileURL_.reset();
  close();
}

void Document::saveForSessionEnd(std::function<void()> done) {
  nobodyAnswers_ = true;
  if (!edited_ || isInViewingMode()) return done();
  auto name = displayName();
  autosave(false, [name, done = std::move(done)](std::optional<Error> error) {
    if (error)
      RWLog("“" + name + "” could not be saved as the session ends; its edits stay where they are: " +
                error->description(), 3);
    done();
  });
}

void Document::presentError(const Error& error) {
  if (error.domain == NSCocoaErrorDomain && error.code == 3072) return;
  if (auto* c = controller()) {
    c->presentError(error, windowForSheet());
    return;
  }
  auto words = ErrorWording::presentable(error);
  RWLog("Presenting error: " + error.description());
  AlertSpec alert{*words.info(failureReasonKey), words.info(ErrorWording::recoverySuggestionKey).value_or(""), {}};
  Alert::shared().runModal(alert, windowForSheet());
}
