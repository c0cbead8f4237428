// Timed backups of the document JSON and the code files, and the package-registry settings.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <set>

#include "document/storage/KXDirectoryArchiveBacking+Writing.h"
#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXDocumentContainer.h"
#include "document/storage/KXZipArchiveBacking.h"
#include "platform/FileSystem.h"
#include "platform/Url.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"
#include "platform/UniqueFd.h"

namespace {

// How the folder a backup's zip is made in is named, after "." and the zip's name.
constexpr const char* temporaryInfix = ".zip.korvel-tmp-";

std::string backupName(std::chrono::system_clock::time_point when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H.%M.%S", &tm);
  return buf;
}

std::optional<std::time_t> parseBackupName(const std::string& stem) {
  std::tm tm{};
  const char* end = strptime(stem.c_str(), "%Y-%m-%d %H.%M.%S", &tm);
  if (!end || *end != '\0') return std::nullopt;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// Removes from the backups folder, open as `opened` (a /proc/self/fd path), the folders that
// backups of ended processes were made in; how many went.
std::size_t removeEndedBackupTemporaries(const std::filesystem::path& opened) {
  std::set<std::string> temporaries;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(opened, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    auto name = it->path().filename().string();
    if (auto at = name.find(temporaryInfix); !name.empty() && name[0] == '.' && at != std::string::npos)
      temporaries.insert(name.substr(0, at + std::strlen(temporaryInfix)));
  }
  std::size_t removed = 0;
  // Only "<prefix><pid>-XXXXXX" folders of this user's, not links, whose process is gone.
  for (const auto& prefix : temporaries) removed += fs::removeStaleTemporaries(opened, prefix);
  return removed;
}

}  // namespace

void KXDocumentContainer::removeLeftoverBackupTemporaries() const {
  // Entered without following a link: a backups folder that leads elsewhere is left alone.
  auto folder = fs::openFolderInside(projectDirectory_, KXDocumentArchive::relativePathForBackups, false);
  if (!folder) return;
  auto removed = removeEndedBackupTemporaries("/proc/self/fd/" + std::to_string(folder->get()));
  if (removed) log("Removed " + std::to_string(removed) + " backup(s) that ended runs left half made");
}

void KXDocumentContainer::scheduleBackup() {
  if (!isValid_ || deleted_) return;
  if (backupTimer_ && backupTimer_->isValid()) return;  // one chain of backups per container
  std::weak_ptr<KXDocumentContainer> weak = weak_from_this();
  backupTimer_ = Timer::scheduled(backupTimeInterval, false, [weak] {
    auto self = weak.lock();
    if (!self || !self->isValid_) return;
    // A read or save under way has the working copy: the editor's files wait for the next round.
    if (self->background_) {
      self->backupTimer_.reset();
      return self->scheduleBackup();
    }
    self->backupNow();
  });
}

void KXDocumentContainer::backupNow(std::function<void()> done) {
  auto self = shared_from_this();
  writeChanges([self, done = std::move(done)]() mutable { self->backupStep(std::move(done)); });
}

namespace {

// The design and every file whose path starts as the code folder's name does, without a look
// at the other folders (the pictures may be a hundred thousand). Nothing behind a link. Any thread.
std::vector<std::string> backedUpPaths(const std::filesystem::path& project) {
  std::vector<std::string> paths;
  UniqueFd root(::open(project.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) return paths;
  const std::filesystem::path design = KXDocumentArchive::relativePathForDocumentJSON;
  UniqueFd designFolder(
      ::openat(root.get(), design.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (designFolder && ::fstatat(designFolder.get(), design.filename().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(st.st_mode))
    paths.push_back(design.string());
  const std::string code = KXDocumentArchive::relativePathForCodeFiles;
  int copy = ::dup(root.get());
  DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
  if (!dir) {
    if (copy >= 0) ::close(copy);
    return paths;
  }
  std::vector<std::string> names;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name.rfind(code, 0) == 0) names.push_back(std::move(name));
  }
  ::closedir(dir);
  for (const auto& name : names) {
    if (::fstatat(root.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(st.st_mode) && KXDocumentArchive::shouldInclude(name)) paths.push_back(name);
    if (!S_ISDIR(st.st_mode) || !KXDocumentArchive::mayContainIncludedFiles(name)) continue;
    UniqueFd folder(::openat(root.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder)
      folderbacking::walk(folder.get(), name,
                          [&](int, const std::string&, const std::string& relative) { paths.push_back(relative); });
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

}  // namespace

void KXDocumentContainer::backupStep(std::function<void()> done) {
  auto finished = [this, done = std::move(done)] {
    backupTimer_.reset();
    scheduleBackup();
    if (done) done();
  };
  // Closed or deleted meanwhile, or the working copy read or saved: nothing is backed up now.
  if (!isValid_ || deleted_ || background_) return finished();
  // What the worker needs, copied: the entries of the design and the code files the container
  // knows (a lookup, not a walk of every picture), and those of the last backup.
  Entries known;
  if (auto design = projectManifestEntries_.find(KXDocumentArchive::relativePathForDocumentJSON);
      design != projectManifestEntries_.end())
    known.insert(*design);
  const std::string code = KXDocumentArchive::relativePathForCodeFiles;
  for (auto it = projectManifestEntries_.lower_bound(code);
       it != projectManifestEntries_.end() && it->first.rfind(code, 0) == 0; ++it)
    known.insert(*it);
  auto work = std::make_shared<BackgroundWork>();
  background_ = work;
  auto self = shared_from_this();
  GlobalQueue::async([self, work, known = std::move(known), last = lastBackupManifestEntries_,
                      finished = std::move(finished)]() mutable {
    auto entries = std::make_shared<Entries>();
    auto paths = backedUpPaths(self->projectDirectory_);
    for (const auto& path : paths) {
      auto it = known.find(path);
      (*entries)[path] = it != known.end() ? it->second : KXDocumentManifest::Entry::unknown();
    }
    if (*entries != last) self->writeBackup(std::move(paths));
    work->end();
    // The container goes along: its last reference, were it this one, ends on the main loop.
    MainQueue::async([self = std::move(self), work, entries, finished = std::move(finished)] {
      if (self->background_ == work) self->background_.reset();
      if (self->isValid_ && !self->deleted_) self->lastBackupManifestEntries_ = std::move(*entries);
      finished();
    });
  });
}

void KXDocumentContainer::writeBackup(std::vector<std::string> paths) const {
  auto backups = projectDirectory_ / KXDocumentArchive::relativePathForBackups;
  auto zipName = backupName(std::chrono::system_clock::now()) + ".zip";
  log("backing up to " + (backups / zipName).string());
  auto written = [&]() -> Result<void> {
    // Read through a folder backing of its own: the working copy's is the main loop's.
    auto project = KXDirectoryArchiveBacking::create(projectDirectory_, true, false);
    if (!project) return fail(project.error());
    auto view = KXDocumentArchive::listed(
        std::make_shared<KXDocumentArchive>(std::move(*project), KXDocumentArchive::WithIdentity{uuid_}), std::move(paths));
    // The folder is entered from the project folder without following a link, and then used
    // through the open folder: a link in the document never takes a backup elsewhere, nor
    // has a file removed there.
    auto folder = fs::openFolderInside(projectDirectory_, KXDocumentArchive::relativePathForBackups, true);
    if (!folder) return fail(folder.error());
    const std::filesystem::path opened = "/proc/self/fd/" + std::to_string(folder->get());
    auto zipPath = opened / zipName;
    auto backing = KXZipArchiveBacking::create(zipPath, true, false);
    if (!backing) return fail(backing.error());
    KXDocumentArchive zip(std::move(*backing), std::nullopt);
    if (auto r = zip.reflect(*view); !r) return r;

    // Keep the newest backups; only zips are ever deleted, and never the one just written.
    std::vector<std::pair<std::optional<std::time_t>, std::filesystem::path>> items;
    std::error_code ec;
    for (auto& item : std::filesystem::directory_iterator(opened, ec)) {
      auto name = item.path().filename().string();
      if (name.empty() || name[0] == '.') continue;
      items.emplace_back(parseBackupName(item.path().stem().string()), item.path());
    }
    if (ec) return fail(Error::file(ec.value(), backups.string()));
    // What a backup killed half way left: its folder goes once its process has ended.
    (void)removeEndedBackupTemporaries(opened);
    if (items.size() > maximumNumberOfBackups) {
      std::stable_sort(items.begin(), items.end(), [](const auto& a, const auto& b) {
        if (a.first && b.first) return *a.first > *b.first;
        return a.first.has_value() && !b.first.has_value();
      });
      for (size_t i = maximumNumberOfBackups; i < items.size(); ++i) {
        const auto& path = items[i].second;
        if (path.extension() == ".zip" && path != zipPath) (void)fs::removeItem(path);
      }
    }
    return {};
  }();
  if (!written) log("couldn't back up: " + written.error().description());
}

void KXDocumentContainer::addPackageRegistrySettings() {
  requireValid("addPackageRegistrySettings");
  PackageRegistrySettings settings;
  if (packageRegistrySettingsProvider) settings = packageRegistrySettingsProvider();
  auto url = Url::parse(settings.registryURL);
  std::string scheme = url && !url->scheme().empty() ? url->scheme() : "https";
  std::string host = url && !url->host().empty() ? url->host() : "localhost";
  std::string content = "@korvel:registry=" + scheme + "://" + host + "/";
  if (settings.token) {
    const auto& token = *settings.token;
    bool clean = std::none_of(token.begin(), token.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
    if (clean) {
      content += "\nalways-auth=true\n//" + host + "/:_authToken=" + token;
    } else {
      log("The sign-in token holds control characters; it was left out of .npmrc");
    }
  }
  auto file = projectDirectory_ / ".npmrc";
  // Written only when it changed (every read comes here): a file already holding it, private
  // to the user, stays as it is.
  struct stat st{};
  if (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0600 &&
      static_cast<std::size_t>(st.st_size) == content.size() && fs::readText(file).value_or("") == content)
    return;
  // It holds the user's credential: readable by the user alone. Its temporary is named for this
  // process, so that what a kill leaves in a folder document goes at its next opening.
  (void)fs::writeInside(projectDirectory_, ".npmrc", std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()),
                        0600);
}

void KXDocumentContainer::refreshAllPackageRegistrySettings() {
  auto all = allInstances();
  for (auto& weak : all)
    if (auto container = weak.lock(); container && container->isValid_) container->addPackageRegistrySettings();
}
