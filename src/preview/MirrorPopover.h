#pragma once
// The live-sharing popover of the preview window; the live-sharing subsystem gives it content.

class MirrorPopover {
 public:
  // Closes the popover when shown, else shows it from `sender`.
  void toggleVisible(const void* sender) {
    shown_ = !shown_;
    sender_ = shown_ ? sender : nullptr;
  }
  bool isShown() const { return shown_; }

 private:
  bool shown_ = false;
  const void* sender_ = nullptr;
};
