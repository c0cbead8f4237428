#pragma once
// The private working copy of one document's project. A zip document's container lives in
// Korvel-<UUID>/ under the per-user autosave folder and outlives the application; a folder
// document's container works in the document's own folder. The container tracks changes
// against its origin, collects the files the editor holds (data sources), logs what it does,
// keeps timed backups and reduced copies of images.
//
// Main thread only, except log(), which any thread may call, and the reads and saves it runs
// beside the main loop itself.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentContainerDataSource.h"
#include "platform/FileSystem.h"
#include "platform/ObserverToken.h"
#include "platform/Uuid.h"

class Timer;

class KXDocumentContainer : public std::enable_shared_from_this<KXDocumentContainer> {
 public:
  using DataSource = KXDocumentContainerDataSource;
  using Entries = std::map<std::string, KXDocumentManifest::Entry>;

  // How an archive relates to the container when it is read or saved.
  struct ArchiveRelation {
    enum class Kind { origin, copy } kind = Kind::copy;
    bool isDraft = false;
    // The origin read again over whatever the working copy holds (Revert to Saved).
    bool replacesWorkingCopy = false;
    static ArchiveRelation origin(bool isDraft) { return {Kind::origin, isDraft}; }
    static ArchiveRelation copy() { return {Kind::copy, false}; }
    static ArchiveRelation revertedOrigin() { return {Kind::origin, false, true}; }
    std::string word() const {
      return kind == Kind::copy ? "copy" : isDraft ? "draft origin" : replacesWorkingCopy ? "reverted origin" : "origin";
    }
  };

  // What ".npmrc" is made of; the services environment and the sign-in provide it.
  struct PackageRegistrySettings {
    std::string registryURL;
    std::optional<std::string> token;
  };

  static constexpr const char* nameForProjectDirectory = "container";
  static constexpr const char* nameForProjectLog = "container.log";
  static constexpr const char* nameForOriginInfo = "info";
  // A set-aside copy of unsaved edits is "Korvel-<UUID>" + this + a date, beside the container.
  static constexpr const char* setAsideInfix = " unsaved edits ";
  // In a copy set aside while no document was open, until the person has been told of it.
  static constexpr const char* nameForSetAsideNotice = ".korvel-set-aside";
  // In a copy of content its provider handed over that can't be written (the editor's design as
  // text that isn't JSON): that content as it came, and why it was refused.
  static constexpr const char* nameForRefusedContent = "refused-design.txt";
  static constexpr const char* nameForRefusalReason = ".korvel-refusal";
  // In the user info of such a refusal: what the reader said of the text, in a line.
  static constexpr const char* refusalReasonKey = "KXRefusalReason";
  static constexpr int cachedImageDimensions[] = {512, 1024, 2048};
  static inline double backupTimeInterval = 60.0;
  static constexpr std::size_t maximumNumberOfBackups = 42;
  // How long a write pass waits for a provider before it gives up on it; one with its answer in
  // hand is waited for to the end.
  static inline double providerTimeout = 10.0;
  // Code files larger than this are not searched for the names of images and assets: while one
  // is in the project, every image and asset the design doesn't name is kept.
  static constexpr std::int64_t maximumCodeFileSizeForDiscarding = 8 << 20;
  // A data source holds its file whole while the document is open: a document whose file for one
  // is larger is not opened, and content larger is not written. Chosen so that a design this
  // large opens, is edited and saves with korvel, the editor page's processes and the project
  // server holding under a gigabyte together, and so that the editor's answer for it fits the
  // page's message bound twice over.
  static const std::uint64_t maximumDataSourceSize;
  // The last search of the design for the names of images and assets, and what it found.
  struct DesignSearch {
    fs::FileIdentity design;
    std::set<std::string> names;
    std::set<std::string> found;
  };
  // The refusal, for the person, of a design larger than maximumDataSourceSize handed over for
  // saving: `size` bytes, or more than the bound when none.
  static Error designTooLargeToSave(std::optional<std::uint64_t> size);
  // The design in the editor's answer `message` ({"method": ..., "arguments": design}), laid out
  // as a document stores it without being parsed whole: with its keys sorted, indented when that
  // fits maximumDataSourceSize, else compact; refused when neither fits or it is no object or
  // array. Any thread. Text that isn't JSON is refused as such, and `refusedText`, when given,
  // receives the design as it was handed over if it takes at most maximumDataSourceSize.
  static Result<Data> designFromAnswer(std::string_view message, Data* refusedText = nullptr);
  // The size of a file of `archive`, as its zip declares it or as it is on disk; none when absent.
  static std::optional<std::uint64_t> storedSize(const KXDocumentArchive& archive, const std::string& relativePath);
  // The name the editor's images are stored under: their SHA-1, Base64 without "/", "+", "=".
  static std::string contentName(const Data& sha1Digest);

  // $XDG_DATA_HOME/Korvel/Autosave Information, private to the user.
  static std::filesystem::path baseDirectory();

  // A container for the project with `uuid`, reusing its folder when one exists and its origin
  // record names `requiredOriginIfExists` (or records no origin).
  static Result<std::shared_ptr<KXDocumentContainer>> create(const Uuid& uuid,
                                                             std::optional<std::filesystem::path> requiredOriginIfExists);
  // A container working in place in a folder document.
  static Result<std::shared_ptr<KXDocumentContainer>> create(std::shared_ptr<KXDocumentArchive> projectDirectoryArchive);
  // Removes the working copies under baseDirectory() that no live container uses and whose
  // origin record is missing or names a file that is gone (an untitled document or a draft
  // of an earlier session that ended without closing it). A working copy that holds other than
  // what its gone origin held is set aside instead, as a read sets unsaved edits aside.
  // Returns how many went.
  static std::size_t removeUnclaimedWorkingCopies();
  // Removes the working copies that record `origin`, a file another document's Save As has
  // just replaced, unless a document holds them. Edits one holds are kept aside as at a start,
  // under the identity `heir` the file carries now, so that its next opening tells of them if
  // nobody has been told before. Where the last of them went.
  static std::optional<std::filesystem::path> retireWorkingCopies(const std::filesystem::path& origin,
                                                                  const Uuid& heir);
  // The two halves of retireWorkingCopies: which working copies record `origin` and no document
  // holds, picked on the main thread; and their judging and removal, which reads and removes all
  // their files, on any thread.
  static std::vector<std::filesystem::path> workingCopiesToRetire(const std::filesystem::path& origin);
  static std::optional<std::filesystem::path> retire(const std::vector<std::filesystem::path>& copies,
                                                     const std::filesystem::path& origin, const Uuid& heir);
  // The identity of a working copy no document holds whose origin record names `origin`, the
  // newest record when several do.
  static std::optional<Uuid> workingCopyRecording(const std::filesystem::path& origin);
  // Whether the folder of the project `uuid` records an origin other than `origin` (one that is
  // gone counts as other): a working copy that `origin` may not take up.
  static bool recordsOtherOrigin(const Uuid& uuid, const std::filesystem::path& origin);
  // The newest copy set aside for the project `uuid`, or for the file `origin` under any name it
  // has now, while its document was away (or its origin record unreadable, or its file
  // replaced) that nobody has been told of yet.
  static std::optional<std::filesystem::path> setAsideCopyToAnnounce(const Uuid& uuid,
                                                                     const std::filesystem::path& origin = {});
  // The person has been shown where the set-aside copy `copy` is: no opening tells of it again.
  static void setAsideCopyWasAnnounced(const std::filesystem::path& copy);
  // Refused content a set-aside copy holds: the file, and why it was refused.
  struct RefusedContent {
    std::filesystem::path file;
    std::string reason;
  };
  static std::optional<RefusedContent> refusedContentIn(const std::filesystem::path& copy);
  // The shared invalid container a document holds before its first read and after it closes.
  static std::shared_ptr<KXDocumentContainer> placeholder();

  ~KXDocumentContainer();
  KXDocumentContainer(const KXDocumentContainer&) = delete;
  KXDocumentContainer& operator=(const KXDocumentContainer&) = delete;

  const Uuid& uuid() const { return uuid_; }
  const std::filesystem::path& uuidDirectory() const { return uuidDirectory_; }
  const std::filesystem::path& projectDirectory() const { return projectDirectory_; }
  bool projectDirectoryIsOrigin() const { return projectDirectoryIsOrigin_; }
  const std::shared_ptr<KXDocumentArchive>& projectDirectoryArchive() const { return projectDirectoryArchive_; }
  bool isValid() const { return isValid_; }
  const std::set<std::string>& projectRelativePathsToDiscard() const { return projectRelativePathsToDiscard_; }
  const Entries& projectManifestEntries() const { return projectManifestEntries_; }

  // Reading and saving.
  Result<void> read(const KXDocumentArchive& archive, ArchiveRelation relation);
  Result<void> save(KXDocumentArchive& archive, ArchiveRelation relation);
  // As read, with the files copied, hashed and linked beside the main loop; `completion` gets
  // the outcome on the main loop. Nothing else uses the container meanwhile (its document takes
  // it up once read). Once `stop` is set the copy ends at its next chunk and the read fails as
  // cancelled, leaving the working copy without an origin record.
  void readInBackground(std::shared_ptr<const KXDocumentArchive> archive, ArchiveRelation relation,
                        std::function<void(Result<void>)> completion,
                        std::shared_ptr<std::atomic<bool>> stop = nullptr);
  // As save, with the files written beside the main loop; `completion` gets the outcome on the
  // main loop. The working copy may change meanwhile: markSaved() counts what changed after it
  // was written as changes still.
  void saveInBackground(std::shared_ptr<KXDocumentArchive> archive, ArchiveRelation relation,
                        std::function<void(Result<void>)> completion);
  // As saveInBackground, into the archive at `url` that `open` opens beside the main loop first
  // (a file not yet opened: a Save As target, a draft); `completion` gets it once written.
  using ArchiveOpener = std::function<Result<std::shared_ptr<KXDocumentArchive>>()>;
  void saveInBackground(const std::filesystem::path& url, ArchiveOpener open, ArchiveRelation relation,
                        std::function<void(Result<std::shared_ptr<KXDocumentArchive>>)> completion);
  // After a save: the files of the working copy that differ from what it wrote, changed, added or
  // removed while it was written (what it left out as named by nothing, reduced copies and
  // backups aside). Empty once marked saved.
  std::vector<std::string> changedSinceSave();
  // Whether a read or save runs beside the main loop.
  bool isWorkingInBackground() const { return background_ != nullptr; }
  // Returns once the read or save beside the main loop has ended; it never needs the main loop.
  // Reads, saves and the close of the container wait so.
  void waitForBackgroundWork() const;
  // The last read kept a working copy whose files differ from what its origin held when it was
  // last read or saved: edits of an earlier session that were never saved.
  bool resumedWithUnsavedChanges() const { return resumedWithUnsavedChanges_; }
  // Where the last read put aside a working copy with unsaved edits before replacing it.
  const std::optional<std::filesystem::path>& setAsideCopy() const { return setAsideCopy_; }
  // Copies the working copy where set-aside edits are when it holds edits its origin never
  // received, or when `edited` says it does, before the origin is read over it. Where the copy
  // is; none when there was nothing to keep.
  Result<std::optional<std::filesystem::path>> keepUnsavedEditsAside(bool edited);
  // The last read found an origin record it couldn't read (damaged, or written by a later
  // version) rather than a file changed elsewhere.
  bool recordWasUnreadable() const { return recordWasUnreadable_; }
  Result<void> deleteContainer(bool toTrash);
  // As deleteContainer(false), with the working copy's files removed beside the main loop.
  void deleteContainerBesideMainLoop();
  // Working copies being removed beside the main loop are moved into folders named so first.
  static constexpr const char* removingPrefix = ".korvel-removing-";

  // Change tracking.
  bool hasChanges() const { return hasUnwrittenChanges_ || hasManifestChanges_; }
  bool hasUnwrittenChanges() const { return hasUnwrittenChanges_; }
  // Why a source is left unwritten, when its provider or the container said.
  std::optional<Error> unwrittenChangesReason() const;
  bool hasManifestChanges() const { return hasManifestChanges_; }
  [[nodiscard]] ObserverToken observeHasChanges(std::function<void()> didChange);
  // Brings the entries of files still being looked at up to date first.
  void mark(bool hasChanges);
  // After a save: unchanged as of what the save wrote (and what it left out because nothing
  // named it); a file changed while it was written is still a change. As mark(false) when the
  // last save wrote nothing.
  void markSaved();
  void invalidate();
  // A file of the project folder changed on disk. A large file is looked at beside the main
  // loop: its entry changes a moment later. A folder reported stands for the files it holds.
  void presentedSubitemDidChange(const std::filesystem::path& url);
  // The entries of the files still being looked at beside the main loop, taken at once: for a
  // save, which needs every entry as the folder holds it.
  void updatePendingManifestEntries();
  void remove(const std::string& relativePath);

  // Data sources.
  void addDataSource(std::shared_ptr<DataSource> source, const std::string& relativePath);
  bool hasDataSource(const std::string& relativePath) const { return dataSources_.count(relativePath) > 0; }
  // Writes every source into the project folder; `completion` runs on the main queue.
  void writeChanges(std::function<void()> completion);
  // Whether a write pass still waits for a provider to answer; one that has its answer in hand
  // counts as answered.
  bool awaitsProviders() const;

  // Images and assets.
  Result<std::string> addImage(const Data& data);
  Result<void> addImage(const std::string& name, const std::filesystem::path& contentsOf);
  Result<std::string> addAsset(const Data& data, const std::string& preferredName, int count = 0);

  // Appends a line to "container.log"; any thread.
  void log(const std::string& message) const;

  // ".npmrc" of the project folder, from `packageRegistrySettingsProvider`.
  void addPackageRegistrySettings();
  // Rewrites ".npmrc" in every valid container (after the environment or the sign-in changed).
  static void refreshAllPackageRegistrySettings();
  static std::function<PackageRegistrySettings()> packageRegistrySettingsProvider;

  // For tests: runs one backup now, as the timer does; `done` runs once it has ended.
  void backupNow(std::function<void()> done = {});
  // For tests: how many images' reduced copies are still being made, by any container.
  static std::size_t reducedCopiesInProgress();

 private:
  struct Key {};

 public:
  KXDocumentContainer(Key, const Uuid& uuid, bool isPlaceholder);

 private:
  static std::vector<std::weak_ptr<KXDocumentContainer>>& allInstances();
  // The working-copy folders under baseDirectory() that no live container uses, with their
  // identity; once the removal of unused files a close left in each has ended, unless only their
  // records are to be read.
  static std::vector<std::pair<std::filesystem::path, Uuid>> idleWorkingCopies(bool afterRemovals = true);
  static void registerInstance(const std::shared_ptr<KXDocumentContainer>& container);
  void unregister();
  void requireValid(const char* operation) const;

  // A read or save beside the main loop, waited for by whatever needs the container whole.
  struct BackgroundWork {
    std::mutex mutex;
    std::condition_variable endedChanged;
    bool ended = false;
    void end();
    void wait();
  };
  struct ReadFiles;
  // The parts of a read: its flags on the main loop, its files on any thread (the container
  // used by nothing else), its outcome taken up on the main loop.
  void beginRead();
  Result<ReadFiles> readFiles(const KXDocumentArchive& archive, ArchiveRelation relation,
                              const std::shared_ptr<std::atomic<bool>>& stop);
  Result<void> finishRead(Result<ReadFiles> files);
  // The parts of a save: the view of what it writes, taken on the main loop (none when the
  // target is the working copy itself), and the write, on any thread.
  std::optional<std::shared_ptr<KXDocumentArchive>> beginSave(const std::filesystem::path& url, ArchiveRelation relation);
  Result<void> writeSave(KXDocumentArchive& archive, const KXDocumentArchive& view, ArchiveRelation relation);

  bool isCurrentCopy(const KXDocumentArchive& archive, ArchiveRelation relation);
  void reflectOrigin(const KXDocumentArchive* archive, bool isDraft);
  // Removes the bookmark files but `keptBookmark`, and the record itself when `info`.
  void removeOriginRecords(bool info, const std::optional<std::string>& keptBookmark);
  bool workingCopyDiffersFromInfo();
  // Whether every file a save would write is in `archive` with the same content (call after
  // workingCopyDiffersFromInfo, which brings the working copy's manifest up to date).
  bool workingCopyHoldsContentsOf(const KXDocumentArchive& archive);
  void setWorkingCopyAside();
  // Keeps content a data source's provider refused to hand over as the file's where set-aside
  // edits are (one copy for this container, its content replaced by later refusals), so that the
  // next opening announces it; `why` comes back saying where it is, or that it couldn't be kept.
  Error keepRefusedContent(const Data& content, Error why);
  Result<std::filesystem::path> writeRefusedContent(const Data& content, const std::string& reason);
  // Removes what a kill left of keeping refused content: half-made copies and temporaries in
  // copies; how many items went.
  static std::size_t removeLeftoversOfKeptContent();
  // The bookmark of the file this working copy was last read from or saved to, when it has one.
  std::optional<Data> originBookmark() const;
  // After a revert failed part way: the working copy as it was `before` it, with its origin
  // `records`; kept aside when that can't be written.
  void putBackAfterFailedRevert(fs::TemporaryFolder before, const std::vector<std::pair<std::string, Data>>& records);

  void updateHasManifestChanges();
  // Whether `relativePath` counts for the changes and its entry differs from the origin's.
  bool differsFromOrigin(const std::string& relativePath) const;
  // The project's entry of `relativePath` set (or removed when none), the differences kept counted.
  void setProjectEntry(const std::string& relativePath, const KXDocumentManifest::Entry* entry);
  // Counts the differences afresh, after either side was replaced whole.
  void countManifestDifferences();
  void updateHasUnwrittenChanges();
  void updateManifestEntry(const std::string& relativePath);
  void applyManifestEntry(const std::string& relativePath, const Result<KXDocumentManifest::Entry>& entry);
  void hashNextPendingFile();
  // The folder `folder` was reported: the files it holds (none when not `present`) are looked at
  // beside the main loop, and the entries of those it no longer holds go.
  void lookIntoFolder(const std::string& folder, bool present);
  // Finds the images and assets neither the design nor the code names, beside the main loop,
  // and calls `done` on the main loop once the newest search's answer is in. A search whose files
  // changed while they were read runs `again` once; after that what they may name is kept.
  void detectDiscardableItems(std::function<void()> done, bool again = false);
  void finishDiscardSearch();
  // The refusal, for the person, when a file a data source holds is larger than
  // maximumDataSourceSize in `archive` (as a zip declares it, or on disk), read for `document`.
  // For the `workingCopy` taken up, its unsaved edits are kept aside first and the refusal says where.
  std::optional<Error> oversizedDataSource(const KXDocumentArchive& archive, const std::filesystem::path& document,
                                           bool workingCopy = false);
  void setFlags(std::optional<bool> unwritten, std::optional<bool> manifest, bool alwaysNotify = false);

  void scheduleBackup();
  // Zips the design and the code files into .backups when they changed since the last backup:
  // their folders walked and the zip written beside the main loop, as a read or save of the
  // working copy is (one waits for the other); `done` runs on the main loop once it has ended.
  void backupStep(std::function<void()> done);
  // Writes a backup zip of `paths` and drops the oldest; any thread, reading only the folder.
  void writeBackup(std::vector<std::string> paths) const;
  // Removes the folders in .backups that backups of ended processes were being made in.
  void removeLeftoverBackupTemporaries() const;

  void addCachedImageDimensionDirectories();
  // Removes the hidden items of the cache folders that no running process is making.
  void removeLeftoverCacheTemporaries() const;
  // Links the missing reduced copies of an image to it (unless `linked`) and has them made.
  void addMissingCachedImages(const std::string& imageName, const Entries& entries, bool linked = false);
  void linkCachedImage(const std::string& imageName, int size) const;
  void linkCachedImages(std::vector<std::pair<const std::string*, int>> missing) const;
  void addMissingCachedImages();

  Uuid uuid_;
  std::filesystem::path uuidDirectory_;
  std::filesystem::path projectDirectory_;
  bool projectDirectoryIsOrigin_ = false;
  std::map<std::string, std::shared_ptr<DataSource>> dataSources_;
  std::vector<ObserverToken> dataSourceObservers_;
  // The requests of write passes not yet answered or given up, by their pass's flag.
  std::map<std::shared_ptr<bool>, std::shared_ptr<DataSource>> awaitedProviders_;
  bool dataSourcesAreFinal_ = false;
  std::string projectDirectoryPathPrefix_;
  std::shared_ptr<KXDocumentArchive> projectDirectoryArchive_;
  bool hasManifestChanges_ = false;
  Entries originManifestEntries_;
  Entries projectManifestEntries_;
  // How many paths differ between the two: each change of one file costs a lookup, not a
  // comparison of both manifests.
  std::size_t manifestDifferences_ = 0;
  // Files larger than this are hashed beside the main loop, one at a time, in the order reported.
  static constexpr std::uintmax_t largestFileHashedAtOnce = 1 << 20;
  // The files waiting to be hashed and the look that counts for each: a newer look at a file
  // (reported again, or taken at once) outdates a hash under way.
  std::deque<std::string> pendingHashQueue_;
  std::map<std::string, std::uint64_t> pendingHashes_;
  std::uint64_t hashGeneration_ = 0;
  bool isHashing_ = false;
  std::set<std::string> projectRelativePathsToDiscard_;
  std::optional<DesignSearch> lastDesignSearch_;
  std::uint64_t discardSearchGeneration_ = 0;
  std::vector<std::function<void()>> discardSearchWaiters_;
  Entries lastBackupManifestEntries_;
  bool hasUnwrittenChanges_ = false;
  bool isValid_ = false;
  bool deleted_ = false;
  bool resumedWithUnsavedChanges_ = false;
  bool recordWasUnreadable_ = false;
  std::optional<std::filesystem::path> setAsideCopy_;
  // Where this container kept refused content, until written content supersedes it.
  std::optional<std::filesystem::path> refusedCopy_;
  std::unique_ptr<Timer> backupTimer_;
  std::shared_ptr<BackgroundWork> background_;
  // What the last save wrote, until it is marked saved, and what it left out as unnamed.
  std::optional<Entries> savedEntries_;
  std::set<std::string> discardedBySave_;
  std::vector<std::shared_ptr<std::function<void()>>> hasChangesObservers_;
  mutable std::mutex logMutex_;
};
