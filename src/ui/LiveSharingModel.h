#pragma once
// What the live-sharing popover shows, decided from the project server's live-sharing status
// and the person's start and stop requests: the state with its texts, whether the main button
// works, and the address that can be copied. Main thread only; no toolkit.

#include <optional>
#include <string>

struct MirrorPopoverState {
  enum class Kind { active, error, unavailable, available, starting, stopping };
  enum class Action { none, stop, contactSupport, start };
  Kind kind = Kind::unavailable;
  std::string url;     // active: the shared address
  std::string reason;  // error: its description; unavailable: why, when known

  static std::string title() { return "Live Preview"; }
  std::string message() const;
  std::string buttonTitle() const;
  // A button that would do nothing is shown disabled, never as a dead "Start".
  bool buttonEnabled() const { return mainAction() != Action::none; }
  Action mainAction() const;
  bool operator==(const MirrorPopoverState&) const = default;
};

class LiveSharingModel {
 public:
  static constexpr const char* errorText = "Couldn't start Live Preview.";
  static constexpr const char* noServerText = "The project server is not running.";
  // A start that the server leaves unanswered this long is shown as failed.
  static constexpr double startTimeout = 30;

  const MirrorPopoverState& state() const { return state_; }
  // The address to copy: only while sharing is active.
  std::optional<std::string> copyableAddress() const;

  // A state push; answers whether what the popover shows changed.
  bool apply(const std::string& status, const std::optional<std::string>& url);
  // The person pressed start; `linked` tells whether the command could be sent. Answers whether
  // it now shows "starting" (and the caller should arm the time-out).
  bool start(bool linked);
  // The time-out armed by start() ran out.
  bool startTimedOut();
  // The server stopped or crashed: nothing can be shared.
  bool serverGone();

 private:
  bool show(MirrorPopoverState next);
  MirrorPopoverState state_{MirrorPopoverState::Kind::unavailable, {}, noServerText};
  std::optional<std::string> lastStatus_, lastUrl_;
};
