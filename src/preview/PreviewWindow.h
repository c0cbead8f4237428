#pragma once
// The preview's utility window over GTK: transient for its document window, its content the
// preview pane with the live-sharing, settings and rotation buttons over its top right corner. Frames are
// the frame's top-left corner in root coordinates and the frame's size; the chrome is what the
// window manager adds above the content (0 without one). Frame changes may spring on the
// window's frame clock. Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "preview/PreviewSizing.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;
class PreviewWindowController;

class PreviewWindow {
 public:
  using Rect = PreviewSizing::Rect;
  using Size = PreviewSizing::Size;

  PreviewWindow(PreviewWindowController& controller, GtkWidget* content);
  ~PreviewWindow();
  PreviewWindow(const PreviewWindow&) = delete;
  PreviewWindow& operator=(const PreviewWindow&) = delete;

  GtkWindow* window() const;
  // Cuts every road back to the controller, which is going.
  void detach();
  void setTransientFor(GtkWindow* parent);
  void setTitle(const std::string& title);
  void present(bool makeKey);
  void orderBelow();
  void hide();
  // Whether the preview pane is drawn; a pane whose page has not started yet is not.
  void setContentDrawn(bool drawn);
  bool isVisible() const;
  void setKeepAbove(bool above);
  void toggleFullscreen();
  bool isFullScreen() const { return fullScreen_; }
  void setRotationEnabled(bool enabled);
  bool isActive() const;
  // `changed` runs when the document window becomes or stops being the active window, a moment
  // later, so that the window that took the focus is known. While the preview follows the
  // document window, each move of that window moves the preview by as much.
  void observeDocumentWindow(GtkWindow* document, std::function<void(bool active)> changed);
  // Follows the document window from where the preview is now (or is being sent), until the
  // person moves the preview.
  void followDocumentWindow();
  bool isFollowingDocumentWindow() const;
  // Moves asked of the window manager that it has not carried out yet.
  bool hasMovesUnderWay() const;

  Rect frame() const;
  double chrome() const;
  // The work area of the window's screen, less the borders the window manager puts at its sides,
  // so that a frame on it has its borders on the work area too.
  std::optional<Rect> screenFrame() const;
  Rect insetForBorders(Rect workArea) const;
  void setFrame(const Rect& frame);
  // Springs from `from` to `to`; `done` runs when it stops.
  void animateFrame(const Rect& from, const Rect& to, std::function<void()> done);
  bool isAnimating() const;
  // Stops a spring where it is, without its `done`.
  void stopAnimating();
  // Content ratio (0 × 0: none) and content minimum, as geometry hints.
  void setGeometry(Size aspectRatio, Size minimum);
  void popUpSettingsMenu();
  // The button that opens the live-sharing popover.
  GtkWidget* liveButton() const;

  // The same for any window (the document window).
  static Rect frameOf(GtkWindow* window);
  static double chromeOf(GtkWindow* window);
  static std::optional<Rect> screenFrameOf(GtkWindow* window);
  static void setContentMinimum(GtkWindow* window, Size minimum);

 private:
  struct Impl;
  // Tells the document window's change once the focus has settled.
  static void settleDocumentFocus(Impl* impl);
  std::unique_ptr<Impl> impl_;
  bool fullScreen_ = false;
};
