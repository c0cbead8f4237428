#include "KXDocumentContainer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <istream>

#include <ext/stdio_filebuf.h>

#include "document/storage/Bookmark.h"
#include "document/storage/KXDirectoryArchiveBacking+Writing.h"
#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXDiscardRemoval.h"
#include "document/storage/KXDocumentArchiveError.h"
#include "document/storage/KXDocumentError.h"
#include "document/storage/KXExpansionBudget.h"
#include "document/storage/NameSearch.h"
#include "platform/BridgeMessage.h"
#include "platform/Crypto.h"
#include "platform/ErrorWording.h"
#include "platform/Fatal.h"
#include "platform/FileSystem.h"
#include "platform/JsonCoder.h"
#include "platform/RunLoop.h"
#include "platform/UniqueFd.h"
#include "platform/Xdg.h"

std::function<KXDocumentContainer::PackageRegistrySettings()> KXDocumentContainer::packageRegistrySettingsProvider;

namespace {
constexpr std::uint64_t designBound = std::uint64_t{32} << 20;
// The page hands its design back as compact JSON text: numbers it writes out in full may widen
// what the file held.
static_assert(BridgeMessage::maximumSize >= 2 * designBound, "a design at the bound must fit the page's answer");
}  // namespace

const std::uint64_t KXDocumentContainer::maximumDataSourceSize = designBound;

namespace {

void requireMainThread(const char* operation) {
  if (!RunLoop::isMainThread()) KORVEL_FATAL(std::string("KXDocumentContainer.") + operation + " called off the main thread");
}

std::string logTimestamp() {
  using namespace std::chrono;
  auto now = system_clock::now();
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::time_t t = system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d.%02d.%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buf;
}

}  // namespace

std::filesystem::path KXDocumentContainer::baseDirectory() {
  return xdg::dataHome() / "Korvel" / "Autosave Information";
}

KXDocumentContainer::KXDocumentContainer(Key, const Uuid& uuid, bool isPlaceholder)
    : uuid_(uuid), isValid_(!isPlaceholder) {
  uuidDirectory_ = baseDirectory() / ((isPlaceholder ? "KorvelShouldNotExist-" : "Korvel-") + uuid.string());
}

KXDocumentContainer::~KXDocumentContainer() {
  dataSourceObservers_.clear();
  // The registry holds weak references; expired ones are dropped on the next walk.
}

std::vector<std::weak_ptr<KXDocumentContainer>>& KXDocumentContainer::allInstances() {
  static auto* instances = new std::vector<std::weak_ptr<KXDocumentContainer>>();
  return *instances;
}

void KXDocumentContainer::registerInstance(const std::shared_ptr<KXDocumentContainer>& container) {
  auto& all = allInstances();
  std::erase_if(all, [](const auto& weak) { return weak.expired(); });
  all.push_back(container);
}

void KXDocumentContainer::unregister() {
  std::erase_if(allInstances(), [this](const auto& weak) {
    auto c = weak.lock();
    return !c || c.get() == this;
  });
}

void KXDocumentContainer::requireValid(const char* operation) const {
  requireMainThread(operation);
  if (!isValid_) KORVEL_FATAL(std::string("KXDocumentContainer.") + operation + " called on a container that is not valid");
}

Result<std::shared_ptr<KXDocumentContainer>> KXDocumentContainer::create(
    const Uuid& uuid, std::optional<std::filesystem::path> requiredOriginIfExists) {
  requireMainThread("init");
  auto container = std::make_shared<KXDocumentContainer>(Key{}, uuid, false);
  const auto& dir = container->uuidDirectory_;
  // The unused files of its last close that are still going stay: it is read now.
  KXDiscardRemoval::stop(dir / nameForProjectDirectory);

  // An item "package" marks a folder of an older layout: start afresh.
  if (fs::exists(dir / "package")) (void)fs::removeItem(dir);

  if (requiredOriginIfExists && recordsOtherOrigin(uuid, *requiredOriginIfExists))
    return fail(makeError(KXDocumentError::containerAlreadyExistsForOtherOrigin));

  for (auto& weak : allInstances()) {
    auto other = weak.lock();
    if (other && other->isValid_ && other->uuid_ == uuid) return fail(makeError(KXDocumentError::containerAlreadyExists));
  }

  container->projectDirectory_ = dir / nameForProjectDirectory;
  container->projectDirectoryPathPrefix_ = container->projectDirectory_.string() + "/";
  // The autosave folder holds working copies of the user's documents: keep it private.
  if (auto made = fs::createDirectories(baseDirectory().parent_path(), 0700); !made) return fail(made.error());
  if (auto made = fs::createDirectories(baseDirectory(), 0700); !made) return fail(made.error());
  if (auto made = fs::createDirectories(dir, 0700); !made) return fail(made.error());
  if (auto made = fs::createDirectories(container->projectDirectory_); !made) return fail(made.error());
  // What an opening killed half-way left beside the working copy goes now, whether or not the
  // working copy is filled again.
  (void)fs::removeStaleSiblingTemporaries(container->projectDirectory_);
  auto backing = KXDirectoryArchiveBacking::create(container->projectDirectory_, false, false, true);
  if (!backing) return fail(backing.error());
  container->projectDirectoryArchive_ =
      std::make_shared<KXDocumentArchive>(std::move(*backing), KXDocumentArchive::WithIdentity{uuid});
  registerInstance(container);
  container->log("Initialized with uuid " + uuid.string());
  return container;
}

Result<std::shared_ptr<KXDocumentContainer>> KXDocumentContainer::create(
    std::shared_ptr<KXDocumentArchive> projectDirectoryArchive) {
  requireMainThread("init");
  struct stat st{};
  const auto& url = projectDirectoryArchive->backing().url();
  if (::stat(url.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      projectDirectoryArchive->backing().documentTypeIdentifier() != KXDocumentArchive::folderDocumentType)
    return fail(makeError(KXDocumentError::containerIsNotDirectory));
  auto container = std::make_shared<KXDocumentContainer>(Key{}, projectDirectoryArchive->uuid(), false);
  container->uuidDirectory_ = placeholder()->uuidDirectory_;
  container->projectDirectory_ = url;
  container->projectDirectoryIsOrigin_ = true;
  std::string prefix = url.string();
  if (prefix.empty() || prefix.back() != '/') prefix += "/";
  container->projectDirectoryPathPrefix_ = prefix;
  container->projectDirectoryArchive_ = std::move(projectDirectoryArchive);
  registerInstance(container);
  return container;
}

std::shared_ptr<KXDocumentContainer> KXDocumentContainer::placeholder() {
  static std::shared_ptr<KXDocumentContainer> shared = [] {
    auto c = std::make_shared<KXDocumentContainer>(Key{}, Uuid::random(), true);
    c->projectDirectory_ = c->uuidDirectory_ / nameForProjectDirectory;
    c->projectDirectoryPathPrefix_ = c->projectDirectory_.string() + "/";
    auto backing = KXDirectoryArchiveBacking::create(c->projectDirectory_, true, false);
    c->projectDirectoryArchive_ =
        std::make_shared<KXDocumentArchive>(std::move(*backing), KXDocumentArchive::WithIdentity{c->uuid_});
    return c;
  }();
  return shared;
}

void KXDocumentContainer::deleteContainerBesideMainLoop() {
  waitForBackgroundWork();
  if (!projectDirectoryIsOrigin_) {
    // The folder leaves its place at once, into one named after this process: what a kill leaves
    // of it goes at the next start.
    KXDiscardRemoval::stop(projectDirectory_);
    std::string pattern = (baseDirectory() / (std::string(removingPrefix) + std::to_string(::getpid()) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data())) {
      std::filesystem::path aside(pattern);
      std::error_code ec;
      std::filesystem::rename(uuidDirectory_, aside / uuidDirectory_.filename(), ec);
      if (!ec) {
        deleted_ = true;
        GlobalQueue::async([aside] { (void)fs::removeItem(aside); });
      } else {
        (void)fs::removeItem(aside);
      }
    }
  }
  (void)deleteContainer(false);
}

Result<void> KXDocumentContainer::deleteContainer(bool toTrash) {
  waitForBackgroundWork();
  Result<void> result;
  if (!projectDirectoryIsOrigin_) {
    KXDiscardRemoval::stop(projectDirectory_);
    deleted_ = true;
    backupTimer_.reset();
    result = toTrash ? fs::trashItem(uuidDirectory_) : fs::removeItem(uuidDirectory_);
    // A document the person throws away takes its set-aside edits along, to the trash too.
    if (toTrash) {
      std::string prefix = uuidDirectory_.filename().string() + setAsideInfix;
      std::error_code ec;
      for (auto it = std::filesystem::directory_iterator(baseDirectory(), ec);
           !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        if (it->path().filename().string().rfind(prefix, 0) == 0) (void)fs::trashItem(it->path());
    }
  }
  unregister();
  return result;
}

void KXDocumentContainer::log(const std::string& message) const {
  if (projectDirectoryIsOrigin_ || deleted_) return;
  std::string line = "[" + logTimestamp() + "] " + message + "\n";
  std::lock_guard lock(logMutex_);
  // One write of the whole line with O_APPEND: lines from several threads never interleave.
  UniqueFd fd(::open((uuidDirectory_ / nameForProjectLog).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) return;
  (void)!::write(fd.get(), line.data(), line.size());
}

// Change tracking.

ObserverToken KXDocumentContainer::observeHasChanges(std::function<void()> didChange) {
  auto entry = std::make_shared<std::function<void()>>(std::move(didChange));
  hasChangesObservers_.push_back(entry);
  std::weak_ptr<KXDocumentContainer> weak = weak_from_this();
  std::weak_ptr<std::function<void()>> weakEntry = entry;
  return ObserverToken([weak, weakEntry] {
    auto self = weak.lock();
    auto e = weakEntry.lock();
    if (self && e) std::erase(self->hasChangesObservers_, e);
  });
}

void KXDocumentContainer::setFlags(std::optional<bool> unwritten, std::optional<bool> manifest, bool alwaysNotify) {
  bool changed = (unwritten && *unwritten != hasUnwrittenChanges_) || (manifest && *manifest != hasManifestChanges_);
  if (!changed && !alwaysNotify) return;
  requireMainThread("hasChanges");
  if (unwritten) hasUnwrittenChanges_ = *unwritten;
  if (manifest) hasManifestChanges_ = *manifest;
  auto observers = hasChangesObservers_;
  for (auto& o : observers) (*o)();
}

void KXDocumentContainer::BackgroundWork::end() {
  {
    std::lock_guard lock(mutex);
    ended = true;
  }
  endedChanged.notify_all();
}

void KXDocumentContainer::BackgroundWork::wait() {
  std::unique_lock lock(mutex);
  endedChanged.wait(lock, [this] { return ended; });
}

void KXDocumentContainer::waitForBackgroundWork() const {
  if (auto work = background_) work->wait();
}

void KXDocumentContainer::markSaved() {
  if (!savedEntries_) return mark(false);
  requireValid("markSaved");
  updatePendingManifestEntries();
  auto saved = std::move(*savedEntries_);
  savedEntries_.reset();
  // What the save left out because nothing named it is no change while the working copy keeps it.
  for (const auto& path : discardedBySave_)
    if (auto kept = projectManifestEntries_.find(path); kept != projectManifestEntries_.end()) saved.emplace(path, kept->second);
  originManifestEntries_ = std::move(saved);
  countManifestDifferences();
  // The first few by name: what changed is what a person asks about when a save still says Edited.
  std::string named;
  if (manifestDifferences_ > 0) {
    std::size_t told = 0;
    for (const auto& [path, entry] : projectManifestEntries_)
      if (told < 3 && differsFromOrigin(path)) named += (told++ ? ", " : " (") + path;
    for (const auto& [path, entry] : originManifestEntries_)
      if (told < 3 && !projectManifestEntries_.count(path) && differsFromOrigin(path)) named += (told++ ? ", " : " (") + path;
    named += told < manifestDifferences_ ? ", …)" : ")";
  }
  log("Marking saved; files changed while it was written: " + std::to_string(manifestDifferences_) + named);
  setFlags(false, !projectDirectoryIsOrigin_ && manifestDifferences_ > 0, true);
}

void KXDocumentContainer::mark(bool flag) {
  requireValid("mark(hasChanges:)");
  updatePendingManifestEntries();
  if (flag) {
    originManifestEntries_.clear();
  } else {
    originManifestEntries_ = projectManifestEntries_;
  }
  countManifestDifferences();
  log(std::string("Marking changed: ") + (flag ? "true" : "false"));
  setFlags(false, flag, true);
}

namespace {
// Backups and reduced copies are what korvel writes into its own working copy, whenever it
// likes and unseen by the folder's watch: neither is an edit, so neither makes the document
// Edited, while a save still stores them.
bool isKorvelsOwn(const std::string& path) { return path.rfind(".backups", 0) == 0 || path.rfind(".cache/", 0) == 0; }
}  // namespace

bool KXDocumentContainer::differsFromOrigin(const std::string& relativePath) const {
  if (isKorvelsOwn(relativePath)) return false;
  auto origin = originManifestEntries_.find(relativePath);
  auto project = projectManifestEntries_.find(relativePath);
  bool inOrigin = origin != originManifestEntries_.end(), inProject = project != projectManifestEntries_.end();
  if (inOrigin != inProject) return true;
  return inOrigin && !(origin->second == project->second);
}

void KXDocumentContainer::setProjectEntry(const std::string& relativePath, const KXDocumentManifest::Entry* entry) {
  bool differed = differsFromOrigin(relativePath);
  if (entry)
    projectManifestEntries_[relativePath] = *entry;
  else
    projectManifestEntries_.erase(relativePath);
  bool differs = differsFromOrigin(relativePath);
  if (differs && !differed) ++manifestDifferences_;
  if (!differs && differed) --manifestDifferences_;
}

void KXDocumentContainer::countManifestDifferences() {
  // One walk over both, in their common order.
  std::size_t count = 0;
  auto o = originManifestEntries_.begin(), p = projectManifestEntries_.begin();
  while (o != originManifestEntries_.end() || p != projectManifestEntries_.end()) {
    if (p == projectManifestEntries_.end() || (o != originManifestEntries_.end() && o->first < p->first)) {
      count += !isKorvelsOwn(o->first);
      ++o;
    } else if (o == originManifestEntries_.end() || p->first < o->first) {
      count += !isKorvelsOwn(p->first);
      ++p;
    } else {
      count += !isKorvelsOwn(o->first) && !(o->second == p->second);
      ++o, ++p;
    }
  }
  manifestDifferences_ = count;
}

void KXDocumentContainer::updateHasManifestChanges() {
  setFlags(std::nullopt, !projectDirectoryIsOrigin_ && manifestDifferences_ > 0);
}

void KXDocumentContainer::updateHasUnwrittenChanges() {
  requireMainThread("updateHasUnwrittenChanges");
  bool value = std::any_of(dataSources_.begin(), dataSources_.end(),
                           [](const auto& s) { return s.second->dataNeedsToBeProvided(); });
  setFlags(value, std::nullopt);
}

std::optional<Error> KXDocumentContainer::unwrittenChangesReason() const {
  for (const auto& [path, source] : dataSources_)
    if (source->dataNeedsToBeProvided() && source->refusal()) return source->refusal();
  return std::nullopt;
}

Error KXDocumentContainer::designTooLargeToSave(std::optional<std::uint64_t> size) {
  Error e(NSCocoaErrorDomain, NSFileWriteUnknownError,
          "the design handed over for saving " +
              (size ? "takes " + std::to_string(*size) + " bytes" : std::string("is larger than the message bound")) +
              ", more than the " + std::to_string(maximumDataSourceSize) + " a document may hold");
  e.with(ErrorWording::failureReasonKey, "The document can't be saved.");
  auto [told, bound] = size ? KXExpansionBudget::describeApart(*size, maximumDataSourceSize)
                             : std::pair{std::string(), KXExpansionBudget::describeSize(maximumDataSourceSize)};
  std::string takes = size ? "takes " + told : "takes more than " + bound;
  e.with(ErrorWording::recoverySuggestionKey, "Its design " + takes + ", and a design may take at most " + bound +
                                                  ". Its edits stay in the open window.");
  return e;
}

namespace {

// What a reader said of text it refused, fit for a person and a log: its words and where in the
// design (which begins `designStart` bytes into the text read), without the bytes it last read
// (they may be the very bytes that aren't text).
std::string plainReason(const std::string& said, std::size_t designStart) {
  std::string reason = said.substr(0, said.find("; last read"));
  if (reason.rfind("[json.exception.", 0) == 0 && reason.find("] ") != std::string::npos)
    reason.erase(0, reason.find("] ") + 2);
  unsigned long line = 0, column = 0;
  auto at = reason.find("at line ");
  if (at != std::string::npos && std::sscanf(reason.c_str() + at, "at line %lu, column %lu", &line, &column) == 2) {
    auto detail = reason.find(" - ");
    std::string words = detail == std::string::npos ? "syntax error" : reason.substr(detail + 3);
    reason = line == 1 && column > designStart
                 ? words + " at byte " + std::to_string(column - designStart)
                 : words + " at line " + std::to_string(line) + ", column " + std::to_string(column);
  }
  for (auto& c : reason)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = '?';
  return reason;
}

// The design as the page handed it over: the member "arguments" of the bridge's own wrapper
// {"method":"…","arguments":…}, or the whole text when it is wrapped otherwise.
std::string_view handedDesign(std::string_view message) {
  constexpr std::string_view head = "{\"method\":\"", middle = "\",\"arguments\":";
  if (message.substr(0, head.size()) != head || message.empty() || message.back() != '}') return message;
  auto name = message.find('"', head.size());
  if (name == std::string_view::npos || message.substr(name, middle.size()) != middle) return message;
  auto start = name + middle.size();
  return start < message.size() ? message.substr(start, message.size() - 1 - start) : message;
}

}  // namespace

Result<Data> KXDocumentContainer::designFromAnswer(std::string_view message, Data* refusedText) {
  auto design = JsonCoder::relayoutMember(message, "arguments", JsonCoder::Style::pretty, maximumDataSourceSize);
  if (!design && design.error().code == JsonCoder::layoutTooLarge)
    design = JsonCoder::relayoutMember(message, "arguments", JsonCoder::Style::compact, maximumDataSourceSize);
  if (!design && design.error().code == JsonCoder::layoutTooLarge) return fail(designTooLargeToSave(std::nullopt));
  if (!design) {
    // Text that isn't JSON (bytes that aren't UTF-8, a broken escape) is named as such: the
    // design stays unwritten and the document edited. Its bytes, within what a design may take,
    // go to the caller to be kept where a crash finds them.
    auto handed = handedDesign(message);
    auto reason = plainReason(design.error().message, static_cast<std::size_t>(handed.data() - message.data()));
    bool keepable = handed.size() <= maximumDataSourceSize;
    if (refusedText && keepable) refusedText->assign(handed.begin(), handed.end());
    Error e(NSCocoaErrorDomain, NSFileWriteUnknownError, "the editor's answer for the design is no JSON text: " + reason);
    e.with(ErrorWording::failureReasonKey, "The document can't be saved.");
    e.with(refusalReasonKey, reason);
    e.with(ErrorWording::recoverySuggestionKey,
           "The editor handed over its design as text that isn't valid JSON (" + reason +
               "), so it wasn't written. Its edits stay in the open window." +
               (keepable ? std::string()
                         : " The text takes " + KXExpansionBudget::describeSize(handed.size()) +
                               ", more than a design may take, and was not kept."));
    return fail(e);
  }
  if (design->empty() || (design->front() != '{' && design->front() != '['))
    return fail(Error(NSCocoaErrorDomain, 3852, "The document is neither a JSON object nor an array."));
  return dataFromString(*design);
}

void KXDocumentContainer::updateManifestEntry(const std::string& relativePath) {
  pendingHashes_.erase(relativePath);
  applyManifestEntry(relativePath,
                     KXDocumentArchive::makeEntry(projectDirectoryArchive_->backing().dataReader(relativePath)));
}

void KXDocumentContainer::applyManifestEntry(const std::string& relativePath,
                                             const Result<KXDocumentManifest::Entry>& entry) {
  if (entry) {
    setProjectEntry(relativePath, &*entry);
  } else if (entry.error().domain == KXDocumentArchiveError::domain &&
             entry.error().code == KXDocumentArchiveError::notFoundCode) {
    setProjectEntry(relativePath, nullptr);
  }
  updateHasManifestChanges();
}

void KXDocumentContainer::presentedSubitemDidChange(const std::filesystem::path& url) {
  if (!isValid_) return;
  std::string path = url.string();
  auto at = path.rfind(projectDirectoryPathPrefix_);
  if (at == std::string::npos) return;
  std::string relative = path.substr(at + projectDirectoryPathPrefix_.size());
  if (relative.empty() || !KXDocumentArchive::shouldInclude(relative)) return;
  struct stat st {};
  bool present = ::lstat((projectDirectory_ / relative).c_str(), &st) == 0;
  if (!present || S_ISDIR(st.st_mode)) lookIntoFolder(relative, present);
  if (present && S_ISDIR(st.st_mode)) return;
  // Hashing a picture of hundreds of megabytes takes the better part of a second.
  std::error_code ec;
  auto size = std::filesystem::file_size(projectDirectory_ / relative, ec);
  if (ec || size <= largestFileHashedAtOnce) return updateManifestEntry(relative);
  if (!pendingHashes_.count(relative)) pendingHashQueue_.push_back(relative);
  pendingHashes_[relative] = ++hashGeneration_;
  hashNextPendingFile();
}

void KXDocumentContainer::lookIntoFolder(const std::string& folder, bool present) {
  // A folder made or moved in may hold files its watch never reports one by one (those made
  // before the watch on it began), and a folder moved out or removed takes its files along:
  // what it holds is listed here and hashed beside the main loop, as a large file is.
  std::set<std::string> found;
  if (present && KXDocumentArchive::mayContainIncludedFiles(folder))
    if (UniqueFd fd(::open((projectDirectory_ / folder).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)); fd)
      folderbacking::walk(fd.get(), folder, [&](int, const std::string&, const std::string& relative) { found.insert(relative); });
  const std::string prefix = folder + "/";
  std::vector<std::string> gone;
  for (auto it = projectManifestEntries_.lower_bound(prefix);
       it != projectManifestEntries_.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
    if (!found.count(it->first)) gone.push_back(it->first);
  for (const auto& path : gone) {
    pendingHashes_.erase(path);
    setProjectEntry(path, nullptr);
  }
  if (!gone.empty()) updateHasManifestChanges();
  for (const auto& path : found) {
    if (!pendingHashes_.count(path)) pendingHashQueue_.push_back(path);
    pendingHashes_[path] = ++hashGeneration_;
  }
  hashNextPendingFile();
}

void KXDocumentContainer::hashNextPendingFile() {
  while (!isHashing_ && !pendingHashQueue_.empty()) {
    std::string path = std::move(pendingHashQueue_.front());
    pendingHashQueue_.pop_front();
    auto pending = pendingHashes_.find(path);
    if (pending == pendingHashes_.end()) continue;  // taken at once meanwhile
    isHashing_ = true;
    std::weak_ptr<KXDocumentContainer> weak = weak_from_this();
    GlobalQueue::async([weak, path, generation = pending->second,
                        reader = projectDirectoryArchive_->backing().dataReader(path)] {
      auto entry = std::make_shared<Result<KXDocumentManifest::Entry>>(KXDocumentArchive::makeEntry(reader));
      MainQueue::async([weak, path, generation, entry] {
        auto self = weak.lock();
        if (!self) return;
        self->isHashing_ = false;
        if (!self->isValid_) return;
        auto pending = self->pendingHashes_.find(path);
        if (pending != self->pendingHashes_.end()) {
          if (pending->second == generation) {
            self->pendingHashes_.erase(pending);
            self->applyManifestEntry(path, *entry);
          } else {
            // Changed while it was read: read again.
            self->pendingHashQueue_.push_back(path);
          }
        }
        self->hashNextPendingFile();
      });
    });
  }
}

void KXDocumentContainer::updatePendingManifestEntries() {
  if (!isValid_) return;
  std::vector<std::string> paths;
  for (const auto& [path, generation] : pendingHashes_) paths.push_back(path);
  for (const auto& path : paths) updateManifestEntry(path);
}

void KXDocumentContainer::remove(const std::string& relativePath) {
  if (KXDocumentArchive::isSafeRelativePath(relativePath)) (void)fs::removeItem(projectDirectory_ / relativePath);
  pendingHashes_.erase(relativePath);
  setProjectEntry(relativePath, nullptr);
  updateHasManifestChanges();
}

void KXDocumentContainer::invalidate() {
  // A save under way ends first: a close keeps what it writes.
  waitForBackgroundWork();
  // A folder document is the user's own folder: nothing in it is deleted at close.
  if (isValid_ && !projectDirectoryIsOrigin_) {
    auto discarded = std::exchange(projectRelativePathsToDiscard_, {});
    std::vector<std::string> paths;
    for (const auto& path : discarded) {
      pendingHashes_.erase(path);
      setProjectEntry(path, nullptr);
      if (KXDocumentArchive::isSafeRelativePath(path)) paths.push_back(path);
    }
    updateHasManifestChanges();
    KXDiscardRemoval::start(projectDirectory_, std::move(paths));
  }
  isValid_ = false;
  backupTimer_.reset();
  log("Invalidated");
}

namespace {

// What the search beside the main loop is given, and what it answers.
struct DiscardSearchInput {
  std::filesystem::path projectDirectory;
  std::vector<std::string> names;
  std::set<std::string> storedByEditor;
  std::vector<std::string> codeFiles;  // project-relative
  bool codeTooLarge = false;            // a code file is too large to be searched
  std::optional<KXDocumentContainer::DesignSearch> lastDesignSearch;
};

struct DiscardSearchAnswer {
  std::optional<std::set<std::string>> inDesign;  // none: the design couldn't be searched
  std::set<std::string> inCode;
  std::optional<KXDocumentContainer::DesignSearch> designSearch;
  std::map<std::string, std::optional<fs::FileIdentity>> looked;  // every file read, as it stood
  std::vector<std::string> logLines;
};

std::optional<fs::FileIdentity> identityOf(const std::filesystem::path& file) {
  auto identity = fs::fileIdentity(file);
  if (!identity) return std::nullopt;
  return *identity;
}

// The names of `input.names` that some string of the design holds: every string of the design,
// decoded (so escaped names are found), key or value, one at a time as the file is read; a name
// is found only within one string.
void searchDesign(const DiscardSearchInput& input, DiscardSearchAnswer& answer) {
  const std::string relative = KXDocumentArchive::relativePathForDocumentJSON;
  auto file = input.projectDirectory / relative;
  auto identity = identityOf(file);
  answer.looked[relative] = identity;
  if (!identity || !identity->regularFile) {
    answer.logLines.push_back("Couldn't load " + relative + " for image/asset cleanup");
    return;
  }
  std::set<std::string> names(input.names.begin(), input.names.end());
  // Saves and the minute's backups come often; the design changes less.
  if (input.lastDesignSearch && input.lastDesignSearch->design == *identity && input.lastDesignSearch->names == names) {
    answer.inDesign = input.lastDesignSearch->found;
    answer.designSearch = input.lastDesignSearch;
    return;
  }
  if (static_cast<std::uint64_t>(identity->size) > KXDocumentContainer::maximumDataSourceSize) {
    answer.logLines.push_back(relative + " is too large for image/asset cleanup");
    return;
  }
  // Opened as a plain file only: a pipe swapped in since it was looked at never holds the search.
  auto opened = fs::openPlainFile(AT_FDCWD, file);
  if (!opened) {
    answer.logLines.push_back("Couldn't load " + relative + " for image/asset cleanup");
    return;
  }
  __gnu_cxx::stdio_filebuf<char> buffer(opened->release(), std::ios::in | std::ios::binary, std::size_t{1} << 20);
  std::istream in(&buffer);
  NameSearch search(input.names);
  auto read = JsonCoder::forEachString(in, [&](std::string_view text) {
    search.search(text);
    // Once every name is found the rest can't change the answer.
    return !search.allFound();
  });
  if (!read) {
    answer.logLines.push_back("Couldn't parse " + relative + " for image/asset cleanup");
    return;
  }
  std::set<std::string> found;
  for (std::size_t i = 0; i < input.names.size(); ++i)
    if (search.found(i)) found.insert(input.names[i]);
  answer.inDesign = found;
  // Taken again: a write that landed during the read is looked at next time.
  if (identityOf(file) == identity) answer.designSearch = KXDocumentContainer::DesignSearch{*identity, names, found};
}

// Only images the editor stored under their content's name go as soon as the design drops them;
// any other file goes only when neither the design nor the code names it. The code files are
// read one at a time, and only while such a file is left to look for.
void searchCode(const DiscardSearchInput& input, DiscardSearchAnswer& answer) {
  std::vector<std::string> unnamed;
  for (const auto& name : input.names)
    if (!answer.inDesign->count(name) && !input.storedByEditor.count(name)) unnamed.push_back(name);
  if (unnamed.empty()) return;
  // A name in a file that can't be searched is still a name: nothing it might name goes.
  if (input.codeTooLarge) {
    answer.logLines.push_back("A code file is too large to be searched for image/asset cleanup");
    answer.inCode.insert(unnamed.begin(), unnamed.end());
    return;
  }
  NameSearch search(unnamed);
  for (const auto& path : input.codeFiles) {
    if (search.allFound()) break;
    auto file = input.projectDirectory / path;
    answer.looked[path] = identityOf(file);
    // As the walk that listed it found it: a plain file, never through a link.
    auto opened = fs::openPlainFile(AT_FDCWD, file, false);
    auto bytes = opened ? fs::readAll(opened->get(), file, KXDocumentContainer::maximumCodeFileSizeForDiscarding)
                        : Result<Data>(fail(opened.error()));
    if (!bytes || std::find(bytes->begin(), bytes->end(), 0) != bytes->end()) continue;
    search.search(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  }
  for (std::size_t i = 0; i < unnamed.size(); ++i)
    if (search.found(i)) answer.inCode.insert(unnamed[i]);
}

}  // namespace

void KXDocumentContainer::detectDiscardableItems(std::function<void()> done, bool again) {
  discardSearchWaiters_.push_back(std::move(done));
  const std::string images = std::string(KXDocumentArchive::relativePathForImages) + "/";
  const std::string assets = std::string(KXDocumentArchive::relativePathForAssets) + "/";
  const std::string code = std::string(KXDocumentArchive::relativePathForCodeFiles) + "/";
  auto input = std::make_shared<DiscardSearchInput>();
  input->projectDirectory = projectDirectory_;
  std::map<std::string, std::vector<std::string>> candidates;  // name → its paths
  for (const auto& [path, entry] : projectManifestEntries_) {
    if (path.rfind(code, 0) == 0) {
      input->codeFiles.push_back(path);
      if (entry.size > maximumCodeFileSizeForDiscarding) input->codeTooLarge = true;
    }
    bool isImage = path.rfind(images, 0) == 0;
    if (!isImage && path.rfind(assets, 0) != 0) continue;
    std::string name = path.substr(isImage ? images.size() : assets.size());
    if (name.empty() || name.find('/') != std::string::npos) continue;
    auto& paths = candidates[name];
    paths.push_back(path);
    if (isImage)
      for (int size : cachedImageDimensions)
        paths.push_back(std::string(KXDocumentArchive::relativePathForImageCaches) + "/" + std::to_string(size) + "/" +
                        name);
    std::string stem = name.substr(0, name.find('.'));
    if (isImage && entry.sha1 && stem == contentName(*entry.sha1)) input->storedByEditor.insert(name);
  }
  if (candidates.empty()) {
    ++discardSearchGeneration_;
    return finishDiscardSearch();
  }
  for (const auto& [name, paths] : candidates) input->names.push_back(name);
  input->lastDesignSearch = lastDesignSearch_;
  auto generation = ++discardSearchGeneration_;
  auto self = shared_from_this();
  // The design may be large and the names many: searched beside the main loop, the answer
  // applied only while no newer search has started and the files are still as they were read.
  GlobalQueue::async([self, generation, input, again, candidates = std::move(candidates)]() mutable {
    auto answer = std::make_shared<DiscardSearchAnswer>();
    searchDesign(*input, *answer);
    if (answer->inDesign) searchCode(*input, *answer);
    // The container goes along: its last reference, were it this one, ends on the main loop.
    MainQueue::async([self = std::move(self), generation, input, answer, again, candidates = std::move(candidates)] {
      if (generation != self->discardSearchGeneration_) return;
      for (const auto& line : answer->logLines) self->log(line);
      if (!self->isValid_) return self->finishDiscardSearch();
      const std::string design = KXDocumentArchive::relativePathForDocumentJSON;
      bool designChanged = false, codeChanged = false;
      for (const auto& [path, identity] : answer->looked)
        if (identityOf(self->projectDirectory_ / path) != identity) (path == design ? designChanged : codeChanged) = true;
      if (designChanged || codeChanged) {
        self->lastDesignSearch_.reset();
        // Written while it was read: looked at once more. A file another program keeps writing
        // is not waited for: what it may name is kept this time.
        if (!again) return self->detectDiscardableItems(nullptr, true);
        self->log("Files changed while they were searched for image/asset cleanup; what they may name is kept");
      }
      if (answer->designSearch && !designChanged) self->lastDesignSearch_ = answer->designSearch;
      for (const auto& [name, paths] : candidates) {
        // What can't be searched keeps every file, and so does what a file that changed
        // meanwhile may name.
        bool storedByEditor = input->storedByEditor.count(name);
        bool discard = answer->inDesign && !answer->inDesign->count(name) &&
                       (storedByEditor || !answer->inCode.count(name)) && !designChanged &&
                       (storedByEditor || !codeChanged);
        for (const auto& p : paths) {
          if (discard)
            self->projectRelativePathsToDiscard_.insert(p);
          else
            self->projectRelativePathsToDiscard_.erase(p);
        }
      }
      self->finishDiscardSearch();
    });
  });
}

void KXDocumentContainer::finishDiscardSearch() {
  auto waiters = std::exchange(discardSearchWaiters_, {});
  for (auto& waiter : waiters)
    if (waiter) waiter();
}

// Data sources.

void KXDocumentContainer::addDataSource(std::shared_ptr<DataSource> source, const std::string& relativePath) {
  requireValid("addDataSource");
  if (dataSourcesAreFinal_) KORVEL_FATAL("KXDocumentContainer.addDataSource called after the container was read");
  if (dataSources_.count(relativePath)) KORVEL_FATAL("KXDocumentContainer.addDataSource: a source for " + relativePath + " exists");
  std::weak_ptr<KXDocumentContainer> weak = weak_from_this();
  dataSourceObservers_.push_back(source->observeDataNeedsToBeProvided([weak] {
    if (auto self = weak.lock()) self->updateHasUnwrittenChanges();
  }));
  dataSources_[relativePath] = std::move(source);
}

namespace {

// Gives a pass up on its provider after `after` seconds, unless the provider has answered by then
// (`counted`) or has its answer in hand, which is waited for: what is left of it is korvel's own work.
void giveUpOnProviderAfter(double after, std::shared_ptr<KXDocumentContainerDataSource> source,
                           std::shared_ptr<bool> counted, std::function<void(const Data*)> finish) {
  MainQueue::asyncAfter(after, [source, counted, finish] {
    if (*counted) return;
    if (source->hasAnswerInHand()) return giveUpOnProviderAfter(0.25, source, counted, finish);
    finish(nullptr);
  });
}

}  // namespace

bool KXDocumentContainer::awaitsProviders() const {
  return std::any_of(awaitedProviders_.begin(), awaitedProviders_.end(),
                     [](const auto& awaited) { return !awaited.second->hasAnswerInHand(); });
}

void KXDocumentContainer::writeChanges(std::function<void()> completion) {
  requireValid("writeChanges");
  auto group = DispatchGroup::create();
  auto self = shared_from_this();
  for (auto& [path, source] : dataSources_) {
    group->enter();
    auto counted = std::make_shared<bool>(false);
    auto finish = [self, group, counted, path = path, source = source](const Data* content) {
      // Content handed over but refused is kept where a crash finds it; the refusal says where.
      if (!content)
        if (auto refused = source->takeRefusedContent())
          source->refuse(self->keepRefusedContent(*refused, source->refusal().value_or(Error())));
      if (content) {
        // Only content provided in this pass is written, and never into a container that is
        // closed or deleted.
        bool written = false;
        // Content larger than a document may hold would make a file that is refused at its next
        // opening: it stays unwritten, and the document stays edited.
        if (content->size() > maximumDataSourceSize) {
          self->log("Didn't write " + path + ": its " + std::to_string(content->size()) + " bytes are more than a document may hold");
          source->refuse(designTooLargeToSave(content->size()));
        } else if (self->isValid_ && !self->deleted_) {
          // Never through a link out of the project folder; the temporary carries this
          // process's id, so that what a kill leaves goes at the folder's next opening.
          auto wrote = fs::writeInside(self->projectDirectory_, path, *content);
          if (!wrote) self->log("Didn't write " + path + ": " + wrote.error().description());
          written = static_cast<bool>(wrote);
        }
        if (!written) source->setNeedsToBeProvided();
        // Refused content kept earlier is outdated by what was written: no opening tells of it.
        if (written && self->refusedCopy_) {
          setAsideCopyWasAnnounced(*self->refusedCopy_);
          self->log("A design was written after a refused one; the copy kept in " + self->refusedCopy_->string() +
                    " is no longer announced");
          self->refusedCopy_.reset();
        }
        self->updateManifestEntry(path);
      }
      if (*counted) {
        self->updateHasUnwrittenChanges();  // a late answer after the pass gave up on it
        return;
      }
      *counted = true;
      self->awaitedProviders_.erase(counted);
      group->leave();
    };
    if (source->dataNeedsToBeProvided()) {
      awaitedProviders_.emplace(counted, source);
      source->provideData(finish);
      if (!*counted) giveUpOnProviderAfter(providerTimeout, source, counted, finish);
    } else {
      finish(nullptr);
    }
  }
  group->notify([self, completion = std::move(completion)] {
    auto finish = [self, completion] {
      self->updateHasUnwrittenChanges();
      if (completion) completion();
    };
    if (self->isValid_)
      self->detectDiscardableItems(finish);
    else
      finish();
  });
}
