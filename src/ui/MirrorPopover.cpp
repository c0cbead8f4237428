#include "ui/MirrorPopover.h"

#include "platform/UrlOpener.h"
#include "ui/MirrorPopoverViewController.h"

MirrorPopover::MirrorPopover() = default;
MirrorPopover::~MirrorPopover() = default;

void MirrorPopover::setState(MirrorPopoverState state) {
  state_ = std::move(state);
  if (view_) view_->reflect(state_);
}

void MirrorPopover::toggleVisible(GtkWidget* sender) {
  if (isShown() || !sender) {
    close();
    return;
  }
  show(sender);
}

void MirrorPopover::show(GtkWidget* anchor) {
  if (!anchor) return;
  if (!view_ || !view_->canShowAt(anchor)) {
    view_.reset();
    view_ = std::make_unique<MirrorPopoverViewController>(*this, anchor);
  }
  view_->reflect(state_);
  view_->popup(anchor);
}

void MirrorPopover::close() {
  if (view_) view_->popdown();
}

bool MirrorPopover::isShown() const { return view_ && view_->isShown(); }

GtkWidget* MirrorPopover::anchor() const { return view_ ? view_->anchor() : nullptr; }

void MirrorPopover::performMainAction() {
  switch (state_.mainAction()) {
    case MirrorPopoverState::Action::stop:
      if (stopLiveSharing) stopLiveSharing();
      close();
      break;
    case MirrorPopoverState::Action::contactSupport: UrlOpener::open(helpURL); break;
    case MirrorPopoverState::Action::start:
      if (startLiveSharing) startLiveSharing();
      break;
    case MirrorPopoverState::Action::none: break;
  }
}
