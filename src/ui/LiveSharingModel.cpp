#include "ui/LiveSharingModel.h"

#include "platform/Url.h"

using Kind = MirrorPopoverState::Kind;

std::string MirrorPopoverState::message() const {
  switch (kind) {
    case Kind::active: return "Scan the QR code with your camera to view on mobile, or open in browser.";
    case Kind::error: return reason;
    case Kind::unavailable:
      if (!reason.empty()) return reason;
      [[fallthrough]];
    default: return "Preview your project on mobile devices with real-time updates.";
  }
}

std::string MirrorPopoverState::buttonTitle() const {
  switch (kind) {
    case Kind::active: return "Stop";
    case Kind::error: return "Contact Support";
    case Kind::starting: return "Starting\u2026";
    case Kind::stopping: return "Stopping\u2026";
    default: return "Start";
  }
}

MirrorPopoverState::Action MirrorPopoverState::mainAction() const {
  switch (kind) {
    case Kind::active: return Action::stop;
    case Kind::error: return Action::contactSupport;
    case Kind::available: return Action::start;
    default: return Action::none;
  }
}

std::optional<std::string> LiveSharingModel::copyableAddress() const {
  if (state_.kind != Kind::active) return std::nullopt;
  return state_.url;
}

bool LiveSharingModel::apply(const std::string& status, const std::optional<std::string>& url) {
  // The same status with another address is news too: the old code must not stay on screen.
  if (lastStatus_ == status && (status != "active" || lastUrl_ == url)) return false;
  lastStatus_ = status;
  lastUrl_ = status == "active" ? url : std::nullopt;
  MirrorPopoverState next{Kind::error, {}, errorText};
  if (status == "unavailable")
    next = {Kind::unavailable, {}, {}};
  else if (status == "available")
    next = {Kind::available, {}, {}};
  else if (status == "starting")
    next = {Kind::starting, {}, {}};
  else if (status == "stopping")
    next = {Kind::stopping, {}, {}};
  else if (status == "active" && url) {
    auto parsed = Url::parse(*url);
    if (parsed && (parsed->scheme() == "http" || parsed->scheme() == "https")) next = {Kind::active, *url, {}};
  }
  return show(std::move(next));
}

bool LiveSharingModel::start(bool linked) {
  if (!linked) return show({Kind::unavailable, {}, noServerText});
  if (state_.kind != Kind::available) return false;
  lastStatus_.reset();  // whatever the server says next applies
  return show({Kind::starting, {}, {}});
}

bool LiveSharingModel::startTimedOut() {
  if (state_.kind != Kind::starting) return false;
  lastStatus_.reset();
  return show({Kind::error, {}, errorText});
}

bool LiveSharingModel::serverGone() {
  lastStatus_.reset();
  lastUrl_.reset();
  return show({Kind::unavailable, {}, noServerText});
}

bool LiveSharingModel::show(MirrorPopoverState next) {
  if (next == state_) return false;
  state_ = std::move(next);
  return true;
}
