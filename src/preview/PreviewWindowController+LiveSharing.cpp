// Live sharing from the preview window: the popover's start and stop go to the project server,
// and the popover shows the live-sharing status the server reports in its state.
#include "foundation/SharedNames.h"
#include "platform/NotificationCenter.h"
#include "platform/Pasteboard.h"
#include "platform/RunLoop.h"
#include "preview/PreviewDocument.h"
#include "preview/PreviewWindow.h"
#include "preview/PreviewWindowController.h"
#include "server/ServerController.h"

void PreviewWindowController::wireLiveSharingPopover() {
  mirrorPopover.startLiveSharing = [this] { startLiveSharing(); };
  mirrorPopover.stopLiveSharing = [this] { stopLiveSharing(); };
  mirrorPopover.copyAddress = [this] { copyLiveSharingURL(); };
}

void PreviewWindowController::setUpLiveSharing() {
  serverStateObserver_ = NotificationCenter::defaultCenter().addObserver(
      ServerControllerStateDidUpdateNotification, nullptr, [weak = std::weak_ptr<bool>(alive_), this](const Notification& n) {
        if (weak.expired()) return;
        auto d = document_.lock();
        ServerController* server = d ? d->serverController() : nullptr;
        if (server && n.object == server) updateLiveSharingState();
      });
  updateLiveSharingState();
}

void PreviewWindowController::startLiveSharing() {
  auto d = document_.lock();
  ServerController* server = d ? d->serverController() : nullptr;
  // Without a link the command goes nowhere: say so rather than claim to start.
  bool linked = server && server->currentServerURL();
  if (linked) server->startLiveSharing();
  if (!liveSharing_.start(linked)) return;
  showLiveSharingState();
  if (liveSharing_.state().kind != MirrorPopoverState::Kind::starting) return;
  liveSharingStartTimer_ = Timer::scheduled(liveSharingStartTimeout, false, [weak = std::weak_ptr<bool>(alive_), this] {
    if (weak.expired()) return;
    if (liveSharing_.startTimedOut()) showLiveSharingState();
  });
}

void PreviewWindowController::stopLiveSharing() {
  auto d = document_.lock();
  if (auto* server = d ? d->serverController() : nullptr) server->stopLiveSharing();
}

void PreviewWindowController::copyLiveSharingURL() {
  auto address = liveSharing_.copyableAddress();
  if (!address) return;
  auto& pasteboard = Pasteboard::general();
  pasteboard.declareTypes({PasteboardType::string});
  pasteboard.setString(*address, PasteboardType::string);
}

void PreviewWindowController::updateLiveSharingState() {
  auto d = document_.lock();
  ServerController* server = d ? d->serverController() : nullptr;
  bool changed = server && server->state()
                     ? liveSharing_.apply(server->state()->liveSharing.status, server->state()->liveSharing.url)
                     : liveSharing_.serverGone();  // stopped or crashed: nothing can be shared
  if (changed) showLiveSharingState();
}

void PreviewWindowController::showLiveSharingState() {
  if (liveSharing_.state().kind != MirrorPopoverState::Kind::starting) liveSharingStartTimer_.reset();
  mirrorPopover.setState(liveSharing_.state());
}

void PreviewWindowController::toggleLivePreviewPopover() {
  if (mirrorPopover.isShown()) {
    mirrorPopover.close();
    return;
  }
  if (!window_) return;
  show(true);
  mirrorPopover.show(window_->liveButton());
}
