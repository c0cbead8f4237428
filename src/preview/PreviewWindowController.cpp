#include "preview/PreviewWindowController.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

#include <nlohmann/json.hpp>

#include "canvas/BaseOstrelViewController.h"
#include "canvas/ScriptLiteral.h"
#include "canvas/WebViewController.h"
#include "canvas/WebViewExtras.h"
#include "foundation/SharedNames.h"
#include "platform/ApplicationFocus.h"
#include "platform/Defaults.h"
#include "platform/NotificationCenter.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"
#include "preview/DeviceManager.h"
#include "preview/KorvelViewController.h"
#include "preview/PreviewDocument.h"
#include "preview/PreviewMenu.h"
#include "preview/PreviewWindow.h"
#include "server/ServerController.h"

using namespace PreviewSizing;

PreviewWindowController::PreviewWindowController(std::weak_ptr<PreviewDocument> document)
    : document_(std::move(document)) {
  buildSettingsMenu();
  wireLiveSharingPopover();
}

PreviewWindowController::~PreviewWindowController() {
  *alive_ = false;
  mirrorPopover.close();
  if (window_) window_->detach();
  window_.reset();
}

void PreviewWindowController::loadWindow() {
  if (window_) return;
  korvelViewController_ = std::make_shared<KorvelViewController>();
  korvelViewController_->document = document_;
  window_ = std::make_unique<PreviewWindow>(*this, korvelViewController_->view());
  auto d = document_.lock();
  if (d && d->windowForSheet()) {
    window_->setTransientFor(d->windowForSheet());
    window_->observeDocumentWindow(d->windowForSheet(), [this](bool active) { documentWindowDidChangeMain(active); });
  }

  keepOnTopObserver_ = Defaults::standard().observe(UserDefaultsPreviewKeepOnTopKey, [this] {
    if (window_) window_->setKeepAbove(Defaults::standard().boolValue(UserDefaultsPreviewKeepOnTopKey));
  });
  window_->setKeepAbove(Defaults::standard().boolValue(UserDefaultsPreviewKeepOnTopKey));

  // Pushes count only when they come from this document's own project server.
  auto fromOwnServer = [weak = std::weak_ptr<bool>(alive_), this](const Notification& n) -> ServerController* {
    if (weak.expired()) return nullptr;
    auto doc = document_.lock();
    ServerController* server = doc ? doc->serverController() : nullptr;
    return server && n.object == server ? server : nullptr;
  };
  auto& center = NotificationCenter::defaultCenter();
  previewDataUpdateObserver_ =
      center.addObserver(ServerControllerPreviewDataDidUpdateNotification, nullptr, [this, fromOwnServer](const Notification& n) {
        if (auto* server = fromOwnServer(n); server && server->previewData()) ostrelPreviewUpdate(*server->previewData());
      });
  previewReloadObserver_ =
      center.addObserver(ServerControllerPreviewShouldReloadNotification, nullptr, [this, fromOwnServer](const Notification& n) {
        if (fromOwnServer(n)) reload();
      });
  if (auto* server = d ? d->serverController() : nullptr; server && server->previewData())
    ostrelPreviewUpdate(*server->previewData());

  setUpLiveSharing();

  setAspectRatio(false);
  Rect frame = updatedWindowFrame(window_->frame());
  if (auto first = updatedWindowFrameForFirstAppearance(frame)) frame = *first;
  window_->setFrame(frame);
  updateTitle();
  reload();
}

void PreviewWindowController::show(bool makeKey, bool animated) {
  (void)animated;
  if (!window_) return;
  Rect frame = window_->frame();
  std::optional<Rect> first;
  if (isFirstAppearance_) first = updatedWindowFrameForFirstAppearance(frame);
  if (first) {
    auto d = document_.lock();
    if (auto* editor = d ? d->editorForPreview() : nullptr) editor->previewLoaded();
    isFirstAppearance_ = false;
  }
  // The first placement is taken as it is: the window has not been where it goes yet.
  window_->setFrame(first ? *first : updatedWindowFrame(frame));
  // Placed beside its document window, the preview follows it again.
  window_->followDocumentWindow();
  window_->present(makeKey);
  setAspectRatio(false);
  RWLog("Preview shown", 1);
}

void PreviewWindowController::windowDidBecomeKey() {
  wasKeyWindow_ = true;
  ++keyChanges_;
}

void PreviewWindowController::windowDidResignKey() {
  // A window that became key again meanwhile stays key.
  MainQueue::async([weak = std::weak_ptr<bool>(alive_), this, at = ++keyChanges_] {
    if (!weak.expired() && keyChanges_ == at) wasKeyWindow_ = false;
  });
}

void PreviewWindowController::restoreState() {
  if (window_) setWindowFrame(window_->frame(), false);
}

void PreviewWindowController::orderBelowDocument() {
  if (window_) window_->orderBelow();
}

void PreviewWindowController::documentWindowDidChangeMain(bool isMain) {
  if (!window_) return;
  if (isMain) {
    if (orderPreviewWhenBecomingMain_ != 0 && !window_->isVisible()) {
      if (orderPreviewWhenBecomingMain_ > 0)
        window_->present(false);
      else
        window_->orderBelow();
    }
    return;
  }
  // The person went over to the preview itself, or opened one of korvel's menus (the menu's
  // grab takes the focus off every window): nothing to follow.
  if (window_->isActive() || ApplicationFocus::menuIsOpen()) return;
  // Without a window manager's stacking list the preview, transient for its document window,
  // is above it.
  orderPreviewWhenBecomingMain_ = window_->isVisible() ? 1 : 0;
  if (!Defaults::standard().boolValue(UserDefaultsPreviewKeepVisibleKey)) window_->hide();
}

void PreviewWindowController::windowWillShow() {
  if (std::exchange(pageWanted_, true)) return;
  if (window_) window_->setContentDrawn(false);
  if (korvelViewController_) korvelViewController_->reload();
}

void PreviewWindowController::previewPageDidLoad() {
  if (window_) window_->setContentDrawn(true);
}

bool PreviewWindowController::isVisible() const { return window_ && window_->isVisible(); }

void PreviewWindowController::reload() {
  if (!pageWanted_) return;
  MainQueue::async([weak = std::weak_ptr<bool>(alive_), this] {
    if (!weak.expired() && korvelViewController_) korvelViewController_->reload();
  });
}

void PreviewWindowController::togglePreviewFullscreen() {
  if (!window_) return;
  window_->present(true);
  window_->toggleFullscreen();
}

bool PreviewWindowController::isFullScreen() const { return window_ && window_->isFullScreen(); }

void PreviewWindowController::showInspector() {
  auto d = document_.lock();
  if (!window_ || !d || !d->windowForSheet() || !korvelViewController_) return;
  auto& view = korvelViewController_->webViewController().webView();
  if (view.isInspectorAttached()) return;
  GtkWindow* documentWindow = d->windowForSheet();
  // The attached frame lies over the document window: its screen is the one that counts.
  auto screen = PreviewWindow::screenFrameOf(documentWindow);
  if (screen) screen = window_->insetForBorders(*screen);
  // A screen without room for it gets the inspector in a window of its own, and the preview
  // keeps its frame.
  if (!screenFitsAttachedInspector(screen, window_->chrome())) {
    WebViewExtras::showInspectorAttached(view, false, [] {});
    return;
  }
  isAttachingInspector_ = true;
  wantsAttachedInspectorBehavior_ = true;
  clearAspectRatio();
  // A spring still under way would carry the window back to where it was going.
  window_->stopAnimating();
  window_->setFrame(attachedInspectorFrame(PreviewWindow::frameOf(documentWindow), PreviewWindow::chromeOf(documentWindow),
                                           window_->frame(), screen));
  window_->present(true);
  // The engine attaches only to a view already laid out at the larger size, which a loaded
  // machine may take seconds to reach.
  showInspectorWhenRoom(std::chrono::steady_clock::now() + std::chrono::seconds(10));
}

void PreviewWindowController::showInspectorWhenRoom(std::chrono::steady_clock::time_point deadline) {
  if (!korvelViewController_) {
    isAttachingInspector_ = false;
    return;
  }
  auto& view = korvelViewController_->webViewController().webView();
  if (!WebViewExtras::canAttachInspector(view) && std::chrono::steady_clock::now() < deadline) {
    MainQueue::asyncAfter(0.02, [weak = std::weak_ptr<bool>(alive_), this, deadline] {
      if (!weak.expired()) showInspectorWhenRoom(deadline);
    });
    return;
  }
  // Without room by then the inspector opens in a window of its own.
  WebViewExtras::showInspectorAttached(view, true, [weak = std::weak_ptr<bool>(alive_), this] {
    if (!weak.expired()) isAttachingInspector_ = false;
  });
}

void PreviewWindowController::windowWillClose() {
  if (korvelViewController_) korvelViewController_->webViewController().webView().closeInspector();
  if (!window_) return;
  // Closed by the person, it stays closed when its document window comes to the front again,
  // whatever it was to do then.
  orderPreviewWhenBecomingMain_ = 0;
  wantsAttachedInspectorBehavior_ = false;
  MainQueue::async([weak = std::weak_ptr<bool>(alive_), this] {
    if (!weak.expired()) resizeToIntrinsicSize();
  });
}

void PreviewWindowController::windowDidMap() {
  // The server's word of the map may come after the inspector asked for its frame: that frame wins.
  if (!window_ || window_->isAnimating() || window_->isFullScreen() || wantsAttachedInspectorBehavior_) return;
  Rect frame = window_->frame();
  Rect kept = updatedWindowFrame(frame);
  if (kept != frame) window_->setFrame(kept);
}

void PreviewWindowController::resizeToIntrinsicSize() {
  setAspectRatio(false);
  if (!window_) return;
  Size intrinsic = intrinsicContentSize();
  Rect frame = window_->frame();
  if (intrinsic.width > 0 && intrinsic.height > 0) {
    frame.width = intrinsic.width;
    frame.height = intrinsic.height + window_->chrome();
  }
  setWindowFrame(frame, window_->isVisible());
}

void PreviewWindowController::cleanup() {
  if (korvelViewController_) korvelViewController_->webViewController().webView().closeInspector();
  korvelViewController_.reset();
  previewDataUpdateObserver_.reset();
  previewReloadObserver_.reset();
  keepOnTopObserver_.reset();
  serverStateObserver_.reset();
  liveSharingStartTimer_.reset();
  mirrorPopover.close();
  // A share never outlives its document: this runs before the document stops its server.
  stopLiveSharing();
}

void PreviewWindowController::close() {
  if (!window_) return;
  window_->hide();
  window_->detach();
  // The window goes after the handler that may be running in it.
  MainQueue::async([window = std::shared_ptr<PreviewWindow>(std::move(window_))] {});
}

void PreviewWindowController::ostrelServerStoreData(const nlohmann::json& value) {
  if (!korvelViewController_) return;
  // The value goes in as JSON text made here, never as the editor's own text.
  std::string script = "window._ipc && window._ipc.emit(\"serverStoreData\", " + ScriptLiteral::json(value) + ")";
  korvelViewController_->webViewController().evaluateJavaScript(script);
}

bool PreviewWindowController::setPreviewContentScale(double scale) {
  if (!std::isfinite(scale) || scale <= 0 || scale > 64) return false;
  if (scale == previewContentScale_) return true;
  previewContentScale_ = scale;
  updateTitle();
  if (wantsAttachedInspectorBehavior_ && !isAttachingInspector_ && korvelViewController_ && window_ &&
      !korvelViewController_->webViewController().webView().isInspectorAttached()) {
    wantsAttachedInspectorBehavior_ = false;
    MainQueue::async([weak = std::weak_ptr<bool>(alive_), this] {
      if (!weak.expired()) resizeToIntrinsicSize();
    });
  }
  return true;
}

std::string PreviewWindowController::zoomText(double scale) {
  return "(" + std::to_string(std::lround(scale * 100)) + "%)";
}

std::string PreviewWindowController::title() const {
  if (!selection_) return "No Selection";
  return selection_->metadata.name + "  " + zoomText(previewContentScale_);
}

void PreviewWindowController::updateTitle() {
  if (window_) window_->setTitle(title());
}

// Sizing.

PreviewSizing::Size PreviewWindowController::intrinsicContentSize() const {
  return PreviewSizing::intrinsicContentSize(selection_ ? &*selection_ : nullptr, deviceDescriptor(), deviceIsCanvas());
}

void PreviewWindowController::clearAspectRatio() {
  aspectRatio_ = {};
  contentMinimum_ = contentMinSize;
  if (window_) window_->setGeometry(aspectRatio_, contentMinimum_);
  updateMainWindowContentMinSize();
}

void PreviewWindowController::setAspectRatio(bool setFrame) {
  const DeviceDescriptor* d = deviceDescriptor();
  if (wantsAttachedInspectorBehavior_ || !d || !d->hasPositiveScreen()) clearAspectRatio();
  if (wantsAttachedInspectorBehavior_) return;
  if (deviceShowBezel()) {
    clearAspectRatio();
    return;
  }
  if (!d || !d->hasPositiveScreen()) return;
  Size ratio{double(d->screen.width), double(d->screen.height)};
  if (deviceRotate()) std::swap(ratio.width, ratio.height);
  if (ratio == aspectRatio_) return;
  aspectRatio_ = ratio;
  contentMinimum_ = PreviewSizing::contentMinimum(ratio);
  if (window_) window_->setGeometry(aspectRatio_, contentMinimum_);
  updateMainWindowContentMinSize();
  if (setFrame && window_) setWindowFrame(window_->frame(), true);
}

void PreviewWindowController::updateMainWindowContentMinSize() {
  auto d = document_.lock();
  GtkWindow* documentWindow = d ? d->windowForSheet() : nullptr;
  if (!documentWindow) return;
  documentMinimum_ = PreviewSizing::documentWindowContentMinimum(contentMinimum_, documentPadding(PreviewWindow::chromeOf(documentWindow)));
  PreviewWindow::setContentMinimum(documentWindow, *documentMinimum_);
}

PreviewSizing::Rect PreviewWindowController::updatedWindowFrame(const Rect& frame) const {
  if (!window_) return frame;
  double chrome = window_->chrome();
  Size size = fittedSize({frame.width, frame.height}, aspectRatio_, chrome);
  auto screen = window_->screenFrame();
  if (screen) size = sizeOnScreen(size, intrinsicContentSize(), chrome, *screen);
  return frameKeepingTopLeft(size, window_->frame(), screen);
}

std::optional<PreviewSizing::Rect> PreviewWindowController::updatedWindowFrameForFirstAppearance(const Rect& frame) const {
  auto d = document_.lock();
  GtkWindow* documentWindow = d ? d->windowForSheet() : nullptr;
  if (!window_ || !documentWindow) return std::nullopt;
  auto screen = PreviewWindow::screenFrameOf(documentWindow);
  if (!screen) return std::nullopt;
  return PreviewSizing::firstAppearanceFrame(intrinsicContentSize(), window_->chrome(), {frame.width, frame.height},
                                             PreviewWindow::frameOf(documentWindow), window_->insetForBorders(*screen));
}

void PreviewWindowController::setWindowFrame(const Rect& frame, bool animated) {
  if (!window_) return;
  Rect target = updatedWindowFrame(frame);
  if (isFirstAppearance_)
    if (auto first = updatedWindowFrameForFirstAppearance(target)) target = *first;
  if (!animated || !window_->isVisible()) {
    window_->stopAnimating();
    window_->setFrame(target);
    return;
  }
  window_->animateFrame(window_->frame(), target, [weak = std::weak_ptr<bool>(alive_), this] {
    if (!weak.expired()) updateTitle();
  });
}

PreviewSizing::Size PreviewWindowController::windowWillResize(Size proposed) {
  if (!window_) return proposed;
  MainQueue::async([weak = std::weak_ptr<bool>(alive_), this] {
    if (!weak.expired()) updateTitle();
  });
  return snappedSize(proposed, intrinsicContentSize(), window_->chrome(), window_->screenFrame());
}
