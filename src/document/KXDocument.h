#pragma once
// The project document: a ".korvelx" zip or a project folder, worked on through a private
// working copy (the container). A zip is read into a container kept in the autosave area; a
// folder is edited in place. Saving flushes the editor's document into the container first,
// then writes the container into the file. Main thread only.

#include <atomic>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "document/LibraryVersion.h"
#include "document/PDBaseDocument.h"
#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentContainer.h"

class FileMonitor;
class UpdateLibraryWindowController;

class KXDocument : public PDBaseDocument {
 public:
  static constexpr const char* zipType = KXDocumentArchive::zipDocumentType;
  static constexpr const char* folderType = KXDocumentArchive::folderDocumentType;
  static constexpr const char* tutorialType = "com.korvel.tutorial";
  // How long a save waits for the editor's document; once the editor has handed it over, the save
  // waits for korvel's own work on it to its end, within ownWorkBound more.
  static inline double flushTimeout = 10.0;
  static constexpr double ownWorkBound = 600.0;
  // The migration and versioning notices follow their trigger after this long.
  static constexpr double messageDelay = 0.15;

  // `archive`'s files under the identity `uuid`.
  static Result<std::shared_ptr<KXDocumentArchive>> withIdentity(const KXDocumentArchive& archive, const Uuid& uuid);
  // A new untitled document from the "Template" resource, small enough to read on the main loop.
  static Result<std::shared_ptr<KXDocument>> makeUntitled(const std::string& type);
  // A new untitled document from `templateArchive` (the template, an example).
  static Result<std::shared_ptr<KXDocument>> makeUntitled(const std::string& type,
                                                         std::shared_ptr<KXDocumentArchive> templateArchive);
  // A new untitled document from the template at `templateURL` (a tutorial, only looked at then,
  // or a converted classic project), read beside the main loop; as open for `stop` and `done`.
  static void openFromTemplate(const std::string& type, const std::filesystem::path& templateURL,
                               const std::string& templateType, bool tutorial, std::shared_ptr<std::atomic<bool>> stop,
                               std::function<void(Result<std::shared_ptr<KXDocument>>)> done);
  static Result<std::shared_ptr<KXDocument>> make(const std::filesystem::path& url, const std::string& type);
  // As make, with the file read beside the main loop; `done` gets the document on the main loop.
  // Once `stop` is set the read ends soon and `done` gets a cancellation.
  static void open(const std::filesystem::path& url, const std::string& type, std::shared_ptr<std::atomic<bool>> stop,
                   std::function<void(Result<std::shared_ptr<KXDocument>>)> done);
  // Reopens: `url` none restores an untitled document's draft from `contentsURL`.
  static Result<std::shared_ptr<KXDocument>> make(const std::optional<std::filesystem::path>& url,
                                                  const std::filesystem::path& contentsURL, const std::string& type);
  // As that make, with the file read beside the main loop; as open for `stop` and `done`.
  static void open(const std::optional<std::filesystem::path>& url, const std::filesystem::path& contentsURL,
                   const std::string& type, std::shared_ptr<std::atomic<bool>> stop,
                   std::function<void(Result<std::shared_ptr<KXDocument>>)> done);
  // The "Template" resource, opened afresh.
  static std::shared_ptr<KXDocumentArchive> templateArchive();

  ~KXDocument() override;

  const std::shared_ptr<KXDocumentContainer>& container() const { return container_; }
  const std::shared_ptr<KXDocumentArchive>& fileArchive() const { return fileArchive_; }
  bool containerHasChanges() const { return containerHasChanges_; }
  bool isInTutorialMode() const { return isInTutorialMode_; }
  bool isInViewingMode() const override { return isInTutorialMode_ || PDBaseDocument::isInViewingMode(); }
  bool wantsVersioningCheck() const { return wantsVersioningCheck_; }
  const std::optional<std::filesystem::path>& migratedDocumentURL() const { return migratedDocumentURL_; }
  void setMigratedDocumentURL(std::optional<std::filesystem::path> url) { migratedDocumentURL_ = std::move(url); }
  const std::optional<LibraryVersion>& libraryVersion() const { return libraryVersion_; }
  UpdateLibraryWindowController* updateLibraryWindowController() const { return updateLibraryWindowController_.get(); }

  std::optional<std::filesystem::path> projectURL() const override;
  bool isNativeType(const std::string& type) const override;
  std::vector<std::string> writableTypes() const override;
  void setFileURL(std::optional<std::filesystem::path> url) override;
  std::optional<std::filesystem::path> autosavedContentsFileURL() const override;
  void setAutosavedContentsFileURL(std::optional<std::filesystem::path> url) override;

  // Reading, saving and the rest of the document's life.
  Result<void> read(const std::filesystem::path& url, const std::string& type) override;
  void save(const std::filesystem::path& url, const std::string& type, SaveOperation operation,
            Completion completion) override;
  Result<void> writeSafely(const std::filesystem::path& url, const std::string& type, SaveOperation operation) override;
  void writeSafelyAsync(const std::filesystem::path& url, const std::string& type, SaveOperation operation,
                        std::function<void(Result<void>)> done) override;
  Result<void> revert(const std::filesystem::path& url, const std::string& type) override;
  // Reads beside the main loop as an opening does.
  void readAsync(const std::filesystem::path& url, const std::string& type,
                 std::function<void(Result<void>)> done) override;
  // A revert beside the main loop: one asked while the file is written follows the save; a save,
  // a duplicate or a close asked meanwhile waits for it (a quit's close too), and a second
  // revert is refused as cancelled.
  void revertAsync(const std::filesystem::path& url, const std::string& type,
                   std::function<void(Result<void>)> done) override;
  bool isReverting() const override { return isReverting_; }
  // Asked while a file is written, answers once the write has ended: the close never waits for
  // it on the main loop, and never gives the write up.
  void canClose(std::function<void(bool shouldClose)> done) override;
  Result<void> revertToChangedFile(const std::filesystem::path& url, const std::string& type) override;
  // Asked while the file is written (the save that found it changed), it follows the save.
  void revertToChangedFileAsync(const std::filesystem::path& url, const std::string& type,
                                std::function<void(Result<void>)> done) override;
  bool fileHoldsLastContent(const std::filesystem::path& url) const override;
  void duplicate(std::function<void(Result<std::shared_ptr<Document>>)> done) override;
  void close() override;
  // Closes a document whose opening was given up once read, before it was ever shown, or one
  // left as the session ends: its draft and its working copy stay as they are, for the next start.
  void giveUp() override;
  // Asked while a file is written, saves once the write has ended, as canClose does.
  void saveForSessionEnd(std::function<void()> done) override;
  virtual void preventChangedByOtherAppErrorOnSave();

  // Edited state comes from the container only.
  void updateChangeCount(ChangeType change) override;
  void updateChangeCountWithToken(SaveOperation operation) override;

  void makeWindowControllers() override;

  // Editor services.
  std::optional<std::string> ostrelDocumentDidReceiveImageData(const Data& data) override;
  std::optional<std::string> ostrelDocumentDidReceiveAssetData(const Data& data, const std::string& preferredName) override;
  void ostrelReadImagesFromPasteboard(const std::map<std::string, std::filesystem::path>& images) override;
  void ostrelPackageUpdateKorvelLibrary() override;
  void ostrelDocumentDidBecomeDirty() override;
  void serverControllerStateDidUpdate() override;
  void updateKorvelLibrary();
  void showContainerInFinder();

  // Notices.
  virtual void presentMigrationMessageIfNeeded();
  virtual void presentVersioningMessageIfNeeded();
  // Unsaved edits the last read kept aside because the file changed elsewhere, or that an
  // earlier start kept aside because the document was away.
  virtual void presentSetAsideMessageIfNeeded();

 private:
  struct Key {};

 public:
  KXDocument(Key, bool tutorialMode);

 private:
  static Result<std::shared_ptr<KXDocument>> made(std::shared_ptr<KXDocument> document, Result<void> outcome);
  // A document of `url` set up for its first read.
  static std::shared_ptr<KXDocument> aboutToRead(const std::filesystem::path& url, const std::string& type);
  // An untitled document set up to read a template, or a tutorial.
  static std::shared_ptr<KXDocument> aboutToReadTemplate(const std::string& type, bool tutorial);
  // A document set up to read `contentsURL` in place of its file `url`; with no `url`, a draft.
  static std::shared_ptr<KXDocument> aboutToRestore(const std::optional<std::filesystem::path>& url,
                                                    const std::filesystem::path& contentsURL, const std::string& type);
  // The end of reading what aboutToRestore set up.
  Result<void> restored(Result<void> read);
  // The parts of a read: what it needs to know, taken on the main loop; the file's archive,
  // opened and its version checked on any thread; the working copy chosen, and the outcome
  // taken up, on the main loop.
  struct ReadPlan;
  Result<ReadPlan> beginRead(const std::filesystem::path& url, const std::string& type);
  static Result<std::shared_ptr<KXDocumentArchive>> openArchive(const ReadPlan& plan, const std::string& type);
  Result<void> chooseContainer(ReadPlan& plan);
  Result<void> finishRead(Result<void> read, const ReadPlan& plan);
  void readInBackground(const std::filesystem::path& url, const std::string& type, std::shared_ptr<std::atomic<bool>> stop,
                        std::function<void(Result<void>)> completion);
  // The identity of a project reached through a file that is not the one its working copy
  // belongs to (a copy of the file, the original after a Save As): the same for that file at
  // every opening, so that it finds its own working copy again.
  static Uuid identityForCopy(const Uuid& uuid, const std::filesystem::path& url);
  void setContainer(std::shared_ptr<KXDocumentContainer> container);
  void updateContainerHasChanges();
  std::shared_ptr<KXDocumentContainer::DataSource> documentJSONSource();
  Result<std::shared_ptr<KXDocumentContainer>> bindFolderContainer(std::shared_ptr<KXDocumentArchive> archive,
                                                                  bool isOrigin);
  // A save into another file than the document's own (Save As, a draft): what it writes to and
  // how, settled on the main loop before anything is written.
  struct SavePlan;
  SavePlan planSave(const std::filesystem::path& url, const std::string& type, SaveOperation operation);
  // The target's archive, opened (or made) for the save; any thread.
  static Result<std::shared_ptr<KXDocumentArchive>> openForSave(const SavePlan& plan);
  // Whether a folder just saved into holds, read afresh, what the save wrote; any thread.
  static Result<void> verifySavedFolder(const SavePlan& plan, const KXDocumentArchive& archive);
  // After the write: a working copy of its own for a file the document now works on, read from it
  // (beside the main loop when `inBackground`), and the document moved onto it; `done` gets
  // the outcome on the main loop.
  void adoptSaved(std::shared_ptr<const SavePlan> plan, std::shared_ptr<KXDocumentArchive> archive, bool inBackground,
                  std::function<void(Result<void>)> done);
  void readSavedContainer(std::shared_ptr<const SavePlan> plan, std::shared_ptr<KXDocumentArchive> archive,
                          bool inBackground, std::function<void(Result<void>)> done);
  void announceRetired(const std::optional<std::filesystem::path>& aside);
  void moveToSavedContainer(const SavePlan& plan, std::shared_ptr<KXDocumentArchive> archive,
                            std::shared_ptr<KXDocumentContainer> made);
  void writeElsewhereInBackground(std::shared_ptr<const SavePlan> plan, std::function<void(Result<void>)> done);
  // What a write that outlived its document's close leaves: a draft nobody will reopen goes.
  static Result<void> closedWhileWriting(const SavePlan& plan);
  // The document that takes up what `writer` wrote beside the main loop: none once it closed or
  // took up another working copy meanwhile.
  static std::shared_ptr<KXDocument> takingUp(const std::weak_ptr<KXDocument>& weak,
                                              const std::weak_ptr<KXDocumentContainer>& writer);
  Result<void> saveToFileArchive(const std::filesystem::path& url);
  // A save asked while another runs, or while a revert reads, is queued behind it: true then.
  bool queueSaveWhileSaving(const std::filesystem::path& url, const std::string& type, SaveOperation operation,
                            const Completion& completion);
  // `completion`, followed by the next queued save.
  Completion savingUntilDone(Completion completion);
  // Runs what waited for a save or a revert, until one of them starts again.
  void runQueued();
  // The working copy and the editor after a revert read the file.
  void tookUpRevert();
  // While a save runs: `then` follows it (`done` hears of a close meanwhile); true. Else false.
  bool afterSave(std::function<void(KXDocument&)> then, std::function<void(Result<void>)> done);
  // Asks the editor for its document and waits; `done` gets whether it answered in time.
  void flush(std::function<void(bool finished)> done);
  void scheduleMessages();
  // After a revert that failed: drops the set-aside `copy` of unsaved edits when the working copy
  // still holds them all, and otherwise tells the person where they are.
  void keepAsideAfterFailedRevert(const std::filesystem::path& copy);
  // After a revert read the changed file: the working copy it left goes when another took its
  // place, and the person is told where the unsaved edits were kept.
  void tookUpChangedFile(const std::shared_ptr<KXDocumentContainer>& old,
                         const std::optional<std::filesystem::path>& aside);

  std::shared_ptr<KXDocumentContainer> container_;
  ObserverToken containerObserver_;
  std::unique_ptr<FileMonitor> containerDirectoryMonitor_;
  std::unique_ptr<UpdateLibraryWindowController> updateLibraryWindowController_;
  std::shared_ptr<KXDocumentArchive> fileArchive_;
  std::shared_ptr<KXDocumentArchive> savedAsArchive_;
  bool isAwaitingInitialRead_ = false;
  bool isReadingTemplate_ = false;
  bool isRestoringDraft_ = false;
  bool isDuplicating_ = false;
  // While a revert reads the file (beside the main loop too, from its start to its end).
  bool isReverting_ = false;
  bool isPreventingChangedByOtherAppErrorOnSave_ = false;
  std::optional<std::filesystem::path> migratedDocumentURL_;
  // Unsaved edits a read kept aside, until the person is told.
  struct SetAside {
    std::filesystem::path copy;
    // Another program changed the file; or the edits couldn't be matched with it (the document
    // was away at a start, or its record of them was unreadable); or a Save As replaced the file;
    // or a revert read part of the file and the working copy couldn't be put back as it was; or
    // the editor handed its design over as text that isn't JSON and korvel ended before a good one.
    enum class Why { changedElsewhere, earlierSession, replaced, revertFailedPartWay, refusedAnswer } why;
  };
  std::optional<SetAside> setAsideToAnnounce_;
  bool wantsVersioningCheck_ = false;
  bool isInTutorialMode_ = false;
  bool containerHasChanges_ = false;
  std::optional<LibraryVersion> libraryVersion_;
  // Counts the editor's edits, so that one arriving during a save keeps the document edited.
  unsigned long editGeneration_ = 0;
  std::optional<unsigned long> savingGeneration_;
  // Files the working copy received while a Save As wrote, carried into the working copy that
  // replaced it: still edits once the save is over.
  bool carriedEditsOfSave_ = false;
  bool isSaving_ = false;
  // Saves, reverts, duplicates and closes waiting for the save or revert under way.
  std::deque<std::function<void()>> queuedSaves_;
};
