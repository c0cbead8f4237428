#pragma once
// The live-sharing popover: shows a MirrorPopoverState (texts, one main button, the QR code of
// the shared address while active) and runs the state's main action through its owner's
// handlers. Its toolkit view is made the first time it is shown, so it can exist without a
// display. Main thread only.

#include <functional>
#include <memory>
#include <string>

#include "ui/LiveSharingModel.h"

typedef struct _GtkWidget GtkWidget;
class MirrorPopoverViewController;

class MirrorPopover {
 public:
  // The live-preview help page that the error state's button opens.
  static constexpr const char* helpURL =
      "https://www.korvel.example/features/preview/?utm_source=korvel-app&utm_medium=link&utm_campaign=help";

  MirrorPopover();
  ~MirrorPopover();
  MirrorPopover(const MirrorPopover&) = delete;
  MirrorPopover& operator=(const MirrorPopover&) = delete;

  // Set by the owner (the preview window controller).
  std::function<void()> startLiveSharing, stopLiveSharing, copyAddress;

  const MirrorPopoverState& state() const { return state_; }
  void setState(MirrorPopoverState state);

  // Closes the popover when shown, else shows it at `sender`; without a sender it only closes.
  void toggleVisible(GtkWidget* sender);
  void show(GtkWidget* anchor);
  void close();
  bool isShown() const;
  // The widget it is shown at (or was last), if any.
  GtkWidget* anchor() const;

  // What the enabled main button does in the current state.
  void performMainAction();

  // The toolkit view, once shown.
  MirrorPopoverViewController* viewController() const { return view_.get(); }

 private:
  MirrorPopoverState state_;
  std::unique_ptr<MirrorPopoverViewController> view_;
};
