#pragma once
// The document architecture the document classes build on: a document knows its file, its
// type and its edited state, and the framework runs saving, autosaving, reverting,
// duplicating and closing around the read and write steps a subclass provides. Documents
// autosave in place: closing an edited document that has a file saves it; an untitled one
// asks whether to save or delete it. Main thread only.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/ObserverToken.h"

typedef struct _GtkWindow GtkWindow;
class BaseDocumentController;

enum class SaveOperation : int {
  save = 0,
  saveAs = 1,
  saveTo = 2,
  autosaveElsewhere = 3,
  autosaveInPlace = 4,
  autosaveAs = 5,
};

enum class ChangeType : int { done = 0, undone = 1, cleared = 2 };

class Document : public std::enable_shared_from_this<Document> {
 public:
  using Path = std::filesystem::path;
  using Completion = std::function<void(std::optional<Error> error)>;
  using Date = std::chrono::system_clock::time_point;

  virtual ~Document();
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  static constexpr bool autosavesInPlace = true;

  // The file and its type.
  const std::optional<Path>& fileURL() const { return fileURL_; }
  virtual void setFileURL(std::optional<Path> url);
  const std::string& fileType() const { return fileType_; }
  void setFileType(std::string type) { fileType_ = std::move(type); }
  virtual std::optional<Path> autosavedContentsFileURL() const { return autosavedContentsFileURL_; }
  virtual void setAutosavedContentsFileURL(std::optional<Path> url) { autosavedContentsFileURL_ = std::move(url); }
  const std::optional<Date>& fileModificationDate() const { return fileModificationDate_; }
  void setFileModificationDate(std::optional<Date> date) { fileModificationDate_ = date; }
  // Notes the file at `url` as this document last read or wrote it. A save over the document's
  // file that finds it changed since asks the person before it replaces anything.
  void noteFileOnDisk(const Path& url);
  // Whether the file at `url` (the document's own) is no longer what the document last read or
  // wrote there. A file that is gone or is a folder counts as unchanged.
  bool fileChangedOnDisk(const Path& url) const;
  // The file's name without extension, or "Untitled" (numbered from the second untitled
  // document on).
  std::string displayName() const;
  void setDisplayName(std::optional<std::string> name) { displayName_ = std::move(name); }

  // A document only looked at (a tutorial): never autosaved.
  virtual bool isInViewingMode() const { return false; }

  // Edited state. Observers run synchronously whenever it may have changed.
  bool isDocumentEdited() const { return edited_; }
  virtual void updateChangeCount(ChangeType change);
  // After a save of `operation` succeeded: a save or save as clears the edited state.
  virtual void updateChangeCountWithToken(SaveOperation operation);
  [[nodiscard]] ObserverToken observeEdited(std::function<void()> didChange);

  // Saving. The framework's save writes through writeSafely and then records the new file.
  virtual void save(const Path& url, const std::string& type, SaveOperation operation, Completion completion);
  virtual Result<void> writeSafely(const Path& url, const std::string& type, SaveOperation operation) = 0;
  // As writeSafely, for a writer that writes beside the main loop: `done` gets the outcome on
  // the main loop. The framework's save writes through this one.
  virtual void writeSafelyAsync(const Path& url, const std::string& type, SaveOperation operation,
                                std::function<void(Result<void>)> done) {
    done(writeSafely(url, type, operation));
  }
  virtual Result<void> read(const Path& url, const std::string& type) = 0;
  // As read, for a reader that reads beside the main loop: `done` gets the outcome on the main
  // loop. Revert to Saved reads through this one.
  virtual void readAsync(const Path& url, const std::string& type, std::function<void(Result<void>)> done) {
    done(read(url, type));
  }
  // True while an autosave runs that the framework may give up on without losing anything.
  bool autosavingIsImplicitlyCancellable() const { return implicitlyCancellable_; }

  // Menu actions.
  void saveDocument(Completion completion = {});
  void saveDocumentAs(Completion completion = {});
  // Autosave: in place for a document with a file, elsewhere (a draft) for an untitled one.
  void autosave(bool implicitlyCancellable, Completion completion = {});
  void revertDocumentToSaved();
  void duplicateDocument();

  // Where untitled documents keep their drafts, and the name a draft there was made for.
  static Path draftFolder();
  static std::optional<std::string> nameInDraftURL(const Path& draft);

  virtual Result<void> revert(const Path& url, const std::string& type);
  // As revert, with the file read through readAsync; `done` gets the outcome on the main loop.
  virtual void revertAsync(const Path& url, const std::string& type, std::function<void(Result<void>)> done);
  // While a revert reads the file: Revert to Saved is not offered again.
  virtual bool isReverting() const { return false; }
  // Reads the document's file again after it changed on disk, at the person's word; a document
  // that can keep its unsaved edits somewhere keeps them and tells where.
  virtual Result<void> revertToChangedFile(const Path& url, const std::string& type) { return revert(url, type); }
  // As revertToChangedFile, with the file read through revertAsync; `done` gets the outcome on
  // the main loop.
  virtual void revertToChangedFileAsync(const Path& url, const std::string& type,
                                        std::function<void(Result<void>)> done) {
    revertAsync(url, type, std::move(done));
  }
  // Whether the file at `url`, no longer as the document last read or wrote it, still holds the
  // content it had then (written again byte for byte, by a sync client or a backup); false when
  // that can't be told.
  virtual bool fileHoldsLastContent(const Path&) const { return false; }
  // Writes a copy into a new draft and reads it beside the main loop as an edited untitled
  // document named "<name> copy", which shows; `done` gets it, or why not, on the main loop. A
  // copy that can't be read is removed again.
  virtual void duplicate(std::function<void(Result<std::shared_ptr<Document>>)> done);
  // Decides whether the document may close, asking the person when needed; `done` gets the
  // answer (true: the document was saved or may be discarded).
  virtual void canClose(std::function<void(bool shouldClose)> done);
  // Closes the document's windows and forgets it. Subclasses forward here.
  virtual void close();
  // Closes the document leaving its draft, and whatever else it keeps for the next start, where
  // it is: that start reopens it.
  virtual void giveUp();
  // The session ends and nobody is there to answer: keeps the edits as a close would, without a
  // question. A document with a file saves in place; an edited untitled one writes its draft,
  // which giveUp() then leaves for the next start. A save that would need an answer (its file
  // changed on disk), or that fails, leaves the edits where they are and says so in the log.
  // `done` runs once it has ended, on the main loop.
  virtual void saveForSessionEnd(std::function<void()> done);
  bool isClosed() const { return closed_; }

  // Windows.
  virtual void makeWindowControllers() {}
  virtual void showWindows() {}
  virtual GtkWindow* windowForSheet() const { return nullptr; }

  // Shows an error with its failure reason and any recovery options.
  void presentError(const Error& error);

  BaseDocumentController* controller() const;

  // The types a save panel offers and whether a type is one this document writes.
  virtual bool isNativeType(const std::string& type) const;
  virtual std::vector<std::string> writableTypes() const { return {fileType_}; }

 protected:
  Document();
  // Runs `body` with autosavingIsImplicitlyCancellable set as given, restoring it after.
  void withImplicitCancellation(bool cancellable, const std::function<void()>& body);
  void notifyEdited();
  // While a save writes: its target as the save found it once it had looked (none inside: nothing
  // was there). A writer that replaces the file whole does so only if it is still that.
  const std::optional<std::optional<fs::FileIdentity>>& targetAsChecked() const { return targetAsChecked_; }

 private:
  void performSave(const Path& url, const std::string& type, SaveOperation operation, Completion completion);
  // Records what a save's write did and tells `completion`.
  void finishSave(const Result<void>& written, const Path& url, const std::string& type, SaveOperation operation,
                  const std::optional<Path>& draft, const Completion& completion);
  bool isOwnFile(const Path& url) const;
  // After a revert read the file: not edited, and the file as it was before the read.
  void reverted(const Path& url, const std::optional<fs::FileIdentity>& before);
  // Says so when a save to `url` would replace a document open in another window, or one being
  // opened or saved; true then.
  bool refusesReplacingOpenDocument(const Path& url);
  bool refusesReplacingWorkUnderWay(const Path& url);
  // Asks before a save replaces changes made on disk by someone else; true to save anyway.
  bool confirmSavingOverChangedFile(const Path& url, const std::string& type);
  Path newDraftURL() const;
  Path newDraftURL(const std::string& name) const;

  std::optional<Path> fileURL_;
  std::string fileType_;
  std::optional<Path> autosavedContentsFileURL_;
  std::optional<Date> fileModificationDate_;
  // The file as last read or written, told apart from a rewrite by anyone else.
  using FileState = fs::FileIdentity;
  static std::optional<FileState> fileStateOf(const Path& url);
  std::optional<FileState> fileState_;
  std::optional<std::optional<fs::FileIdentity>> targetAsChecked_;
  std::optional<std::string> displayName_;
  // Taken when the document is first named untitled; 0 until then.
  mutable int untitledNumber_ = 0;
  bool edited_ = false;
  bool implicitlyCancellable_ = false;
  bool closed_ = false;
  // Set once the session ends: a save asks nobody.
  bool nobodyAnswers_ = false;
  std::vector<std::shared_ptr<std::function<void()>>> editedObservers_;
};
