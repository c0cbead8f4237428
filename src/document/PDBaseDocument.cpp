#include "document/PDBaseDocument.h"

#include <sys/stat.h>

#include <utility>

#include <nlohmann/json.hpp>

#include "canvas/OstrelViewController.h"
#include "document/DocumentController.h"
#include "document/DocumentHooks.h"
#include "export/ExportPreviewCache.h"
#include "document/ImagesPasteboard.h"
#include "document/PDDocumentWindow.h"
#include "document/ServiceAssembly.h"
#include "document/storage/KXDocumentArchive.h"
#include "ipc/OstrelIPCProcessor.h"
#include "platform/BaseDocumentController.h"
#include "platform/Fatal.h"
#include "platform/NotificationCenter.h"
#include "platform/RWLog.h"
#include "platform/PagePictures.h"
#include "platform/RunLoop.h"
#include "preview/DeviceManager.h"
#include "preview/DeviceSettingsMenuController.h"
#include "preview/KorvelViewController.h"
#include "preview/PreviewWindowController.h"
#include "server/ServerController.h"

namespace {

constexpr const char* serverStateNotification = "ServerControllerStateDidUpdateNotification";
constexpr const char* userInfoChangedNotification = "UserInfoChangedNotification";
constexpr const char* intercomUnreadCountNotification = "IntercomUnreadCountDidChangeNotification";

// Whether `path` lies on the same file system as "/".
std::optional<bool> isOnRootFileSystem(const std::filesystem::path& path) {
  struct stat item {}, root {};
  if (::stat(path.c_str(), &item) != 0 || ::stat("/", &root) != 0) return std::nullopt;
  return item.st_dev == root.st_dev;
}

}  // namespace

PDBaseDocument::PDBaseDocument(bool tutorialMode)
    : deviceManager_(std::make_unique<DeviceManager>()),
      ostrelImageSubPath_(KXDocumentArchive::relativePathForImages),
      ostrelViewController_(OstrelViewController::create(tutorialMode)) {
  auto processor = std::make_unique<OstrelIPCProcessor>();
  processor_ = processor.get();
  ostrelViewController_->setOstrelIPCProcessor(std::move(processor));
}

PDBaseDocument::~PDBaseDocument() {
  // The processor calls back into this document; it must not outlive it.
  ostrelViewController_->setOstrelIPCProcessor(nullptr);
  window_.reset();
  // The editor's controller goes on a later turn, after the document.
  MainQueue::async([controller = std::move(ostrelViewController_)] {});
}

std::optional<std::filesystem::path> PDBaseDocument::ostrelImagePath() const {
  auto project = projectPath();
  if (!project) return std::nullopt;
  return *project / ostrelImageSubPath_;
}

std::optional<std::filesystem::path> PDBaseDocument::ostrelImageCachePath() const {
  auto project = projectPath();
  if (!project) return std::nullopt;
  return *project / ".cache" / "images";
}

std::optional<Url> PDBaseDocument::serverURL() const {
  return serverController_ ? serverController_->currentServerURL() : std::nullopt;
}

void PDBaseDocument::makeWindowControllers() {
  if (!window_) {
    window_ = std::make_unique<PDDocumentWindow>(std::static_pointer_cast<PDBaseDocument>(shared_from_this()));
    setup();
  }
  if (!previewWindowController_) {
    std::weak_ptr<PreviewDocument> self = std::static_pointer_cast<PDBaseDocument>(shared_from_this());
    previewWindowController_ = std::make_unique<PreviewWindowController>(self);
    previewWindowController_->loadWindow();
  }
}

void PDBaseDocument::showWindows() {
  if (window_) window_->show();
}

void PDBaseDocument::attachToEditor() {
  auto self = std::static_pointer_cast<PDBaseDocument>(shared_from_this());
  std::weak_ptr<OstrelViewControllerDelegate> weak = self;
  processor_->applicationOpenProjectFile = OstrelIPCProcessor::projectFileOpener(weak);
  processor_->delegate = weak;
  // Looked up at each event, so that a tracker replaced later is the one told.
  processor_->track = [](const std::string& event, const std::map<std::string, std::string>& data) {
    DocumentHooks::track(event, data);
  };
}

BaseOstrelViewController* PDBaseDocument::editorForPreview() const { return ostrelViewController_.get(); }

GtkWindow* PDBaseDocument::windowForSheet() const { return window_ ? window_->window() : nullptr; }

void PDBaseDocument::setup() {
  if (services_) return;
  services_ = std::make_unique<ServiceAssembly>(std::nullopt);
  services_->seal();
  if (!deviceMenuController_)
    deviceMenuController_ = std::make_unique<DeviceSettingsMenuController>(
        std::weak_ptr<PreviewDocument>(std::static_pointer_cast<PDBaseDocument>(shared_from_this())));
  std::weak_ptr<PDBaseDocument> weak = std::static_pointer_cast<PDBaseDocument>(shared_from_this());
  userInfoObserver_ = NotificationCenter::defaultCenter().addObserver(userInfoChangedNotification, nullptr,
                                                                      [weak](const Notification&) {
                                                                        MainQueue::async([weak] {
                                                                          if (auto self = weak.lock()) self->updateUserInfo();
                                                                        });
                                                                      });
  editedObserver_ = observeEdited([weak] {
    auto self = weak.lock();
    if (self && self->window_) self->window_->setTitle(PDDocumentWindow::title(self->displayName(), self->isDocumentEdited()));
  });
  window_->setTitle(PDDocumentWindow::title(displayName(), isDocumentEdited()));
  updateUserInfo();
  intercomUnreadCountObserver_ = NotificationCenter::defaultCenter().addObserver(
      intercomUnreadCountNotification, nullptr, [weak](const Notification& n) {
        long count = n.userInfo && n.userInfo->contains("count") && (*n.userInfo)["count"].is_number_integer()
                         ? (*n.userInfo)["count"].get<long>()
                         : 0;
        MainQueue::async([weak, count] {
          auto self = weak.lock();
          if (self && self->window_) self->window_->setIntercomUnread(count >= 1);
        });
      });
  intercomLoadedObserver_ = DocumentHooks::observeIntercomLoaded([weak](bool loaded) {
    auto self = weak.lock();
    if (self && self->window_) self->window_->setIntercomEnabled(loaded);
  });
  window_->setContentView(ostrelViewController_->view());
  startEditorPage();
  // A server that failed before the window existed.
  if (serverController_ && !serverController_->running() && projectPath())
    showServerFailure("The project server could not be started.");
}

void PDBaseDocument::updateUserInfo() {
  if (window_) window_->setAccountTitle(DocumentHooks::userDisplayName());
}

void PDBaseDocument::didChangeContainer() {
  reloadPreview();
  updateServerMount();
}

void PDBaseDocument::updateServerMount() {
  std::weak_ptr<PDBaseDocument> weak = std::static_pointer_cast<PDBaseDocument>(shared_from_this());
  if (!serverController_) {
    serverController_ = ServerController::create();
    serverController_->crashHandler = [weak](int) {
      if (auto self = weak.lock()) self->updateServerMount();
    };
    serverController_->stoppedHandler = [weak] {
      if (auto self = weak.lock()) self->serverDidStop();
    };
    serverController_->gaveUpHandler = [weak] {
      if (auto self = weak.lock()) self->showServerFailure("The project server keeps stopping right after it starts.");
    };
    serverControllerStateUpdateObserver_.reset();
    serverControllerStateUpdateObserver_ = NotificationCenter::defaultCenter().addObserver(
        serverStateNotification, serverController_.get(), [weak](const Notification&) {
          auto self = weak.lock();
          if (!self) return;
          if (self->serverController_ && self->serverController_->state()) self->deliverServerAddresses();
          self->serverControllerStateDidUpdate();
        });
  }
  serverController_->stop();
  // Its address goes with it; a page loaded meanwhile waits for the next one.
  serverLocalUrl_.reset();
  auto project = projectPath();
  if (!project) return;
  auto started = serverController_->start(project->string(), [weak](std::optional<Url> url) {
    if (auto self = weak.lock()) self->serverDidStart(url);
  });
  if (!started) {
    RWLog("Project server did not start: " + started.error().description(), 3);
    showServerFailure("The project server could not be started.");
    return;
  }
  if (window_) window_->hideServerFailure();
}

// Without its server the editor stays empty; the person sees why and may try again.
void PDBaseDocument::showServerFailure(const std::string& reason) {
  if (!window_ || isClosing_) return;
  std::weak_ptr<PDBaseDocument> weak = std::static_pointer_cast<PDBaseDocument>(shared_from_this());
  window_->showServerFailure(reason + " The document can't be shown until it runs.", [weak] {
    auto self = weak.lock();
    if (!self || self->isClosing_) return;
    if (self->serverController_) self->serverController_->restartPolicy.reset();
    self->updateServerMount();
  });
}

std::optional<Url> PDBaseDocument::editorImageBaseURL(const std::optional<Url>& server) const {
  auto imagePath = ostrelImagePath();
  if (!imagePath) return std::nullopt;
  std::error_code ec;
  if (auto onRoot = isOnRootFileSystem(*imagePath); onRoot && !*onRoot)
    // A folder's address, as the file address below: the page appends the picture's name to it.
    return server ? std::optional(server->appendingPathComponent(ostrelImageSubPath_ + "/")) : std::nullopt;
  return Url::fileURL(std::filesystem::absolute(*imagePath, ec), true);
}

// The pages draw the pictures their engine can't (TIFF files of earlier documents) through us.
void PDBaseDocument::servePagePictures() {
  auto folder = ostrelImagePath();
  auto copies = ostrelImageCachePath();
  if (ostrelViewController_)
    PagePictures::serve(ostrelViewController_->webViewController().webView().widget(), folder, copies);
  if (previewWindowController_ && previewWindowController_->korvelViewController())
    PagePictures::serve(previewWindowController_->korvelViewController()->view(), folder, copies);
}

void PDBaseDocument::startEditorPage() {
  auto project = projectPath();
  if (editorPageStarted_ || !project || !ostrelViewController_) return;
  servePagePictures();
  // A server already up gives the page its addresses with its load.
  if (serverLocalUrl_) return serverDidStart(Url::parse(*serverLocalUrl_));
  editorPageStarted_ = true;
  auto loaded = ostrelViewController_->loadDocumentBeforeServer(editorImageBaseURL(std::nullopt), project->string());
  if (!loaded) RWLog("The editor did not load: " + loaded.error().description());
}

void PDBaseDocument::restartEditorPage() {
  if (!editorPageStarted_ || !ostrelViewController_) return;
  editorPageStarted_ = false;
  heldEditorAddresses_.reset();
  // The server may be up again first: it then loads the page itself, and the empty page's end
  // is never reported.
  std::weak_ptr<PDBaseDocument> weak = std::static_pointer_cast<PDBaseDocument>(shared_from_this());
  ostrelViewController_->unloadDocument([weak] {
    if (auto self = weak.lock()) self->startEditorPage();
  });
}

void PDBaseDocument::serverDidStart(const std::optional<Url>& url) {
  if (!url) return;
  serverLocalUrl_ = url->absoluteString();
  auto project = projectPath();
  if (!project || !ostrelViewController_) return;
  std::optional<Url> documentURL;
  std::error_code ec;
  if (std::filesystem::exists(*project / KXDocumentArchive::relativePathForDocumentJSON, ec))
    documentURL = url->appendingPathComponent(KXDocumentArchive::relativePathForDocumentJSON);
  auto imageBaseURL = editorImageBaseURL(url);
  std::string serverKey = serverController_ ? serverController_->pageKey() : std::string();
  servePagePictures();
  if (editorPageStarted_) {
    heldEditorAddresses_ = EditorAddresses{documentURL, imageBaseURL, *url, serverKey};
    if (serverController_ && serverController_->state()) {
      deliverServerAddresses();
    } else {
      std::weak_ptr<PDBaseDocument> weak = std::static_pointer_cast<PDBaseDocument>(shared_from_this());
      MainQueue::asyncAfter(linkWait, [weak, start = ++serverStarts_] {
        auto self = weak.lock();
        if (self && self->serverStarts_ == start) self->deliverServerAddresses();
      });
    }
  } else {
    editorPageStarted_ = true;
    auto loaded = ostrelViewController_->loadDocument(documentURL, imageBaseURL, url, project->string(), serverKey);
    if (!loaded) RWLog("The editor did not load: " + loaded.error().description());
  }
  if (previewWindowController_) previewWindowController_->reload();
}

// Its port may be anyone's now: neither view trusts it any more, and the editor's next start
// waits for the next server.
void PDBaseDocument::serverDidStop() {
  heldEditorAddresses_.reset();
  if (ostrelViewController_) ostrelViewController_->serverStopped();
  if (previewWindowController_ && previewWindowController_->korvelViewController())
    previewWindowController_->korvelViewController()->webViewController().forgetLoadedPage();
}

void PDBaseDocument::deliverServerAddresses() {
  auto held = std::exchange(heldEditorAddresses_, std::nullopt);
  if (!held || !ostrelViewController_ || isClosing_) return;
  ostrelViewController_->setServerAddresses(held->document, held->imageBase, held->project, held->serverKey);
}

void PDBaseDocument::updateChangeCount(ChangeType change) { reportChangeCount(change); }

void PDBaseDocument::reportChangeCount(ChangeType change) {
  Document::updateChangeCount(change);
  if (serverController_) serverController_->setDocumentDirty(isDocumentEdited());
}

void PDBaseDocument::windowShouldClose() {
  std::weak_ptr<PDBaseDocument> weak = std::static_pointer_cast<PDBaseDocument>(shared_from_this());
  canClose([weak](bool shouldClose) {
    if (auto self = weak.lock(); self && shouldClose) self->close();
  });
}

void PDBaseDocument::close() {
  auto keepAlive = shared_from_this();
  Document::close();
  if (isClosing_) return;
  isClosing_ = true;
  // The frontmost remaining document comes forward in place of a window the person had; a document
  // that never showed one (a file that could not be read) leaves the screen as it was.
  if (window_ && window_->orderStamp() > 0) {
    auto ordered = DocumentController::orderedDocuments();
    if (!ordered.empty()) ordered.front()->showWindows();
  }
  cleanup();
  if (window_) window_->close();
  // The window goes on a later turn: this close may run inside one of its signal handlers.
  std::shared_ptr<PDDocumentWindow> window(std::move(window_));
  MainQueue::async([window] {});
}

void PDBaseDocument::cleanup() {
  if (!RunLoop::isMainThread()) KORVEL_FATAL("PDBaseDocument::cleanup off the main thread");
  exportPreviewCache().clear();
  serverControllerStateUpdateObserver_.reset();
  userInfoObserver_.reset();
  editedObserver_.reset();
  intercomUnreadCountObserver_.reset();
  intercomLoadedObserver_.reset();
  if (previewWindowController_) {
    previewWindowController_->cleanup();
    previewWindowController_->close();
    previewWindowController_.reset();
  }
  if (services_) {
    services_->clear();
    services_.reset();
  }
  if (serverController_) {
    serverController_->stop();
    serverController_.reset();
  }
}

void PDBaseDocument::reloadPreview() {
  if (previewWindowController_) previewWindowController_->reload();
}

void PDBaseDocument::togglePreviewFullscreen() {
  if (previewWindowController_) previewWindowController_->togglePreviewFullscreen();
}

namespace {
void trackInteraction(const std::string& element) {
  DocumentHooks::track("ui_interaction", {{"id", element}, {"page", "top-right-menu-bar"}});
}
}  // namespace

void PDBaseDocument::windowWillBeginSheet() {
  if (!window_ || !window_->intercomButton()) return;
  if (DocumentHooks::intercomCurrentButton() == window_->intercomButton()) DocumentHooks::hideIntercomPopover();
}

void PDBaseDocument::toggleIntercomPopover(void* button) {
  DocumentHooks::toggleIntercomPopover(button);
  trackInteraction("intercom");
}

void PDBaseDocument::showPreviewWindow() {
  if (previewWindowController_) previewWindowController_->show(true);
  trackInteraction("preview");
}

void PDBaseDocument::showLivePreview(GtkWidget* sender) {
  if (previewWindowController_ && sender)
    previewWindowController_->mirrorPopover.toggleVisible(sender);
  else if (previewWindowController_)
    previewWindowController_->toggleLivePreviewPopover();
  trackInteraction("live-preview");
}

void PDBaseDocument::addPackage(const std::string& name, bool isDevDependency) {
  if (serverController_) serverController_->addPackage(name, isDevDependency);
}

std::optional<std::string> PDBaseDocument::ostrelDocumentDidReceiveImageData(const Data&) { return std::nullopt; }

std::optional<std::string> PDBaseDocument::ostrelDocumentDidReceiveAssetData(const Data&, const std::string&) {
  return std::nullopt;
}

void PDBaseDocument::ostrelDocumentDidRequestCopyImagesToPasteboard(const std::vector<std::string>& imageNames) {
  auto folder = ostrelImagePath();
  if (!folder) return;
  ImagesPasteboard::shared().writeImages(imageNames, *folder);
}

void PDBaseDocument::ostrelDocumentDidRequestCopyImagesFromPasteboard() {
  ostrelReadImagesFromPasteboard(ImagesPasteboard::shared().readImages());
}

void PDBaseDocument::ostrelDocumentDidBecomeDirty() { ostrelViewController_->ostrelDocumentDidBecomeDirty(); }

void PDBaseDocument::ostrelServerStoreData(const nlohmann::json& value) {
  if (previewWindowController_) previewWindowController_->ostrelServerStoreData(value);
}

// The page names only the package; it is a regular dependency.
void PDBaseDocument::ostrelPackageAdd(const std::string& packageName) { addPackage(packageName, false); }

void PDBaseDocument::ostrelPackageUpdateKorvelLibrary() {}

void PDBaseDocument::ostrelPackageUpdateInfo() {
  if (serverController_) serverController_->updatePackageInfo();
}

void PDBaseDocument::openPreviewInspector() {
  if (previewWindowController_) previewWindowController_->showInspector();
}

void PDBaseDocument::openPreviewAndOrderFront(bool orderFront) {
  if (!previewWindowController_) return;
  if (orderFront)
    previewWindowController_->show(true);
  else if (!previewWindowController_->isVisible())
    previewWindowController_->orderBelowDocument();
}

ExportPreviewCache& PDBaseDocument::exportPreviewCache() {
  if (!exportPreviewCache_) exportPreviewCache_ = std::make_unique<ExportPreviewCache>();
  return *exportPreviewCache_;
}

void PDBaseDocument::ostrelReadImagesFromPasteboard(const std::map<std::string, std::filesystem::path>&) {}
