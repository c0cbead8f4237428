#pragma once
// The live-sharing popover's toolkit side: a popup window of its own at its button (a window
// clips its own popovers, and the preview can be smaller than this), holding a stack of state
// views (title, message, main button and, on the active view only, the QR code) that
// cross-fade into one another. It shows what MirrorPopover hands it and sends main-button
// presses, the link and copy requests back to it. While up, the keys of its button's window go
// to it before anything in that window: Escape and Control-W close it, Return presses "Start",
// other plain keys end there, and only shortcuts go on to the window. It holds no grab, so the window manager's close
// reaches the window at once: a press anywhere but on the popover and its button (in the
// window, on its frame and title bar, on another window) closes it, and so does a switch to
// another program (it is a popup, above every program's windows). One popover belongs to one
// window, so a popover shown at a button of another window is made anew. Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "platform/ApplicationFocus.h"
#include "platform/GObjectPtr.h"
#include "platform/PointerPresses.h"
#include "platform/QRCode.h"
#include "ui/LiveSharingModel.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkEventController GtkEventController;
class MirrorPopover;

class MirrorPopoverViewController {
 public:
  static constexpr int width = 210;
  static constexpr int qrSide = 136;

  MirrorPopoverViewController(MirrorPopover& owner, GtkWidget* anchor);
  ~MirrorPopoverViewController();
  MirrorPopoverViewController(const MirrorPopoverViewController&) = delete;
  MirrorPopoverViewController& operator=(const MirrorPopoverViewController&) = delete;

  // The state view that shows a state: "unavailable" shares the error view.
  static const char* viewName(MirrorPopoverState::Kind kind);

  // Whether this popover can be shown at `anchor` (it lives, and the anchor is in its window).
  bool canShowAt(GtkWidget* anchor) const;
  void reflect(const MirrorPopoverState& state);
  void popup(GtkWidget* anchor);
  void popdown();
  bool isShown() const;
  GtkWidget* anchor() const { return anchor_; }

  struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
  };
  // Where a popover of this size goes beside `anchor`, on `screen` (root coordinates).
  static Rect frameFor(Rect anchor, int width, int height, Rect screen);

  // Reached by tests.
  GtkWidget* popover() const { return popover_; }
  std::string visibleViewName() const;
  bool isTransitionRunning() const;
  GtkWidget* mainButton(const std::string& viewName) const;
  GtkWidget* message(const std::string& viewName) const;
  GtkWidget* qrView() const;
  const std::optional<QRCode>& qrCode() const { return qrCode_; }

 private:
  struct StateView;
  struct Signals;
  StateView* viewFor(const std::string& name) const;
  void applyAppearance();
  void place();
  void releaseKeys();
  // Whether a press at (x, y), in root coordinates, lands on the popover or its button.
  bool covers(int x, int y) const;

  MirrorPopover& owner_;
  GtkWidget* popover_ = nullptr;
  GtkWidget* toplevel_ = nullptr;
  GObjectPtr<GtkEventController> keys_;  // on the button's window, ahead of its handlers
  GtkWidget* anchor_ = nullptr;
  GtkWidget* stack_ = nullptr;
  std::unique_ptr<StateView> views_[5];
  std::optional<QRCode> qrCode_;
  std::string linkedURL_;
  bool shown_ = false;  // asked to show and not closed since, whatever the animation does
  std::unique_ptr<ApplicationFocus::Watch> focusWatch_;
  std::unique_ptr<PointerPresses::Watch> presses_;
  unsigned fadeTick_ = 0;
  long long fadeStart_ = 0;
  static constexpr double fadeMicroseconds = 150000;
  void* buttonWidths_ = nullptr;  // one width for every main button and the QR code
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
