#include "platform/BaseDocumentController.h"

#include <algorithm>

#include "platform/Alert.h"
#include "platform/ErrorWording.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"

namespace {

BaseDocumentController*& sharedSlot() {
  static BaseDocumentController* instance = nullptr;
  return instance;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= text.size() && !text.empty()) {
    auto end = text.find('\n', start);
    out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

}  // namespace

BaseDocumentController* BaseDocumentController::shared() { return sharedSlot(); }

BaseDocumentController::BaseDocumentController() { sharedSlot() = this; }

BaseDocumentController::~BaseDocumentController() {
  if (sharedSlot() == this) sharedSlot() = nullptr;
}

void BaseDocumentController::addDocument(std::shared_ptr<Document> document) {
  if (std::find(documents_.begin(), documents_.end(), document) == documents_.end())
    documents_.push_back(std::move(document));
}

void BaseDocumentController::removeDocument(Document& document) {
  std::erase_if(documents_, [&](const std::shared_ptr<Document>& d) { return d.get() == &document; });
}

std::shared_ptr<Document> BaseDocumentController::documentForURL(const Path& url) const {
  std::error_code ec;
  for (auto& d : documents_) {
    if (!d->fileURL()) continue;
    if (*d->fileURL() == url || std::filesystem::equivalent(*d->fileURL(), url, ec)) return d;
  }
  return nullptr;
}

bool BaseDocumentController::replacedBySaving(const Path& target, const Path& place) {
  std::error_code ec;
  if (std::filesystem::equivalent(place, target, ec)) return true;
  auto to = std::filesystem::weakly_canonical(target, ec);
  if (ec) to = target.lexically_normal();
  if (!to.has_filename()) to = to.parent_path();
  auto at = std::filesystem::weakly_canonical(place, ec);
  if (ec) at = place.lexically_normal();
  if (!at.has_filename()) at = at.parent_path();
  if (at == to) return true;
  if (!std::filesystem::is_directory(target, ec)) return false;
  auto [t, p] = std::mismatch(to.begin(), to.end(), at.begin(), at.end());
  return t == to.end();
}

std::shared_ptr<Document> BaseDocumentController::documentReplacedBySaving(const Path& url, const Document* except) const {
  for (auto& d : documents_) {
    if (d.get() == except || !d->fileURL()) continue;
    if (replacedBySaving(url, *d->fileURL())) return d;
  }
  return nullptr;
}

std::shared_ptr<WorkUnderWay::Work> BaseDocumentController::workReplacedBySaving(const Path& url,
                                                                                 const Document* except) const {
  using Kind = WorkUnderWay::Kind;
  return workUnderWay_.find({Kind::opening, Kind::reading, Kind::saving}, [&](const WorkUnderWay::Work& work) {
    if (work.owner() && work.owner() == except) return false;
    // Two saves into one folder write different files only when neither holds the other.
    return replacedBySaving(url, work.url()) || (work.kind() == Kind::saving && replacedBySaving(work.url(), url));
  });
}

bool BaseDocumentController::isOpening(const Path& url) const {
  using Kind = WorkUnderWay::Kind;
  return workUnderWay_.on(url, {Kind::opening, Kind::reading, Kind::duplicating}) != nullptr;
}

Result<std::string> BaseDocumentController::typeForContents(const Path& url) const {
  std::error_code ec;
  auto status = std::filesystem::status(url, ec);
  if (ec) return fail(Error::file(ec.value(), url.string()));
  bool isFolder = std::filesystem::is_directory(status);
  auto extension = url.extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  for (auto& t : documentTypes)
    if (!t.extension.empty() && t.extension == extension && t.isFolder == isFolder) return t.typeName;
  for (auto& t : documentTypes)
    if (t.isFolder && isFolder) return t.typeName;
  return fail(NSCocoaErrorDomain, 256, "The file “" + url.filename().string() + "” is not a document this application opens.");
}

std::optional<std::string> BaseDocumentController::displayName(const std::string& type) const {
  for (auto& t : documentTypes)
    if (t.typeName == type) return t.displayName;
  return std::nullopt;
}

void BaseDocumentController::display(Document& document) {
  document.makeWindowControllers();
  document.showWindows();
}

void BaseDocumentController::makeDocumentInBackground(const std::optional<Path>& url, const Path& contentsURL,
                                                      const std::string& type,
                                                      std::function<void(Result<std::shared_ptr<Document>>)> done) {
  done(makeDocument(url, contentsURL, type));
}

Result<std::shared_ptr<Document>> BaseDocumentController::openUntitledDocumentAndDisplay(bool show) {
  auto made = makeUntitledDocument(defaultType);
  if (!made) return made;
  addDocument(*made);
  if (show) display(**made);
  return made;
}

void BaseDocumentController::openDocument(const Path& url, bool show, OpenCompletion completion) {
  if (auto open = documentForURL(url)) {
    if (show) open->showWindows();
    if (completion) completion(open, true, std::nullopt);
    return;
  }
  auto type = typeForContents(url);
  if (!type) {
    if (completion) completion(nullptr, false, type.error());
    return;
  }
  auto made = makeDocument(url, *type);
  if (!made) {
    if (completion) completion(nullptr, false, made.error());
    return;
  }
  addDocument(*made);
  noteNewRecentDocumentURL(url);
  if (show) display(**made);
  if (completion) completion(*made, false, std::nullopt);
}

void BaseDocumentController::newDocument() {
  auto made = openUntitledDocumentAndDisplay(true);
  if (!made) presentError(made.error());
}

void BaseDocumentController::openDocument() {
  auto urls = URLsFromRunningOpenPanel();
  if (urls.empty()) return;
  openDocument(urls.front(), true, [this](std::shared_ptr<Document>, bool, std::optional<Error> error) {
    if (error) presentError(*error);
  });
}

std::vector<BaseDocumentController::Path> BaseDocumentController::URLsFromRunningOpenPanel() {
  OpenPanelOptions options;
  options.types = documentTypes;
  options.allowsMultipleSelection = true;
  return Panels::shared().runOpenPanel(options, nullptr);
}

void BaseDocumentController::presentError(const Error& error, GtkWindow* window) {
  if (error.domain == NSCocoaErrorDomain && error.code == 3072) return;  // cancelled by the person
  // A message written for the log never reaches the person: without words of its own an
  // error is told by what its causes can tell.
  auto words = ErrorWording::presentable(error);
  AlertSpec alert;
  alert.messageText = *words.info(ErrorWording::failureReasonKey);
  alert.informativeText = words.info(ErrorWording::recoverySuggestionKey).value_or("");
  alert.buttons = lines(error.info("NSLocalizedRecoveryOptions").value_or(""));
  RWLog("Presenting error: " + error.description() + " as: " + alert.messageText + " " + alert.informativeText);
  int response = Alert::shared().runModal(alert, window);
  if (!alert.buttons.empty()) attemptRecovery(error, response - Alert::firstButtonReturn);
}

bool BaseDocumentController::attemptRecovery(const Error&, int) { return false; }

void BaseDocumentController::noteNewRecentDocumentURL(const Path& url) {
  RecentDocuments::shared().noteNewRecentDocumentURL(url);
}

std::vector<BaseDocumentController::Path> BaseDocumentController::recentDocumentURLs() const {
  return RecentDocuments::shared().recentDocumentURLs();
}

void BaseDocumentController::setAutosavingDelay(double seconds) {
  autosavingDelay_ = seconds;
  autosaveTimer_.reset();
  if (seconds > 0) autosaveTimer_ = Timer::scheduled(seconds, true, [this] { autosaveAll(); });
}

void BaseDocumentController::autosaveAll() {
  auto documents = documents_;
  for (auto& d : documents)
    if (d->isDocumentEdited()) d->autosave(true);
}

std::size_t BaseDocumentController::reopenAutosavedDrafts() {
  std::vector<std::pair<std::filesystem::file_time_type, Path>> drafts;
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(Document::draftFolder(), ec)) {
    // Only regular files named as drafts are named; working copies and links are not drafts.
    if (!item.is_regular_file(ec) || item.is_symlink(ec) || !Document::nameInDraftURL(item.path())) continue;
    bool held = isOpening(item.path()) ||
                std::any_of(documents_.begin(), documents_.end(), [&](const std::shared_ptr<Document>& d) {
                  return d->autosavedContentsFileURL() == item.path();
                });
    if (!held) drafts.emplace_back(item.last_write_time(ec), item.path());
  }
  std::sort(drafts.begin(), drafts.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  if (drafts.size() > maximumReopenedDrafts) drafts.resize(maximumReopenedDrafts);
  std::size_t reopening = 0;
  for (const auto& entry : drafts) {
    const Path& draft = entry.second;
    auto extension = draft.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    auto type = std::find_if(documentTypes.begin(), documentTypes.end(),
                             [&](const PanelFileType& t) { return !t.isFolder && t.extension == extension; });
    if (type == documentTypes.end()) continue;
    ++reopening;
    makeDocumentInBackground(std::nullopt, draft, type->typeName, [this, draft](Result<std::shared_ptr<Document>> made) {
      if (!made) {
        // Left in place: a later version may read what this one can't.
        RWLog("Could not reopen the draft " + draft.string() + ": " + made.error().description(), 3);
        return;
      }
      auto name = Document::nameInDraftURL(draft).value_or("");
      if (name.rfind("Untitled", 0) != 0) (*made)->setDisplayName(name);
      (*made)->updateChangeCount(ChangeType::done);
      addDocument(*made);
      display(**made);
      RWLog("Reopened the draft " + draft.string());
    });
  }
  return reopening;
}
