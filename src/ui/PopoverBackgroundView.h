#pragma once
// The root view of the application's popovers: it paints the whole popover in one colour and
// makes the link areas inside it work (pointing-hand cursor, a click opens the link in the
// browser and closes the popover, a right click offers "Copy Link"). Main thread only.

#include <optional>
#include <string>

#include "ui/Color.h"
#include "ui/PopoverLinkHover.h"

typedef struct _GtkWidget GtkWidget;

class PopoverBackgroundView {
 public:
  PopoverBackgroundView();
  ~PopoverBackgroundView();
  PopoverBackgroundView(const PopoverBackgroundView&) = delete;
  PopoverBackgroundView& operator=(const PopoverBackgroundView&) = delete;

  GtkWidget* widget() const { return widget_; }
  // Read when the view next moves into a popover or window; white when none.
  void setBackgroundColor(std::optional<Color> color) { backgroundColor_ = color; }
  const std::optional<Color>& backgroundColor() const { return backgroundColor_; }
  // Closed after a link opens; held weakly.
  void setPopover(GtkWidget* popover);

  // Makes `area`, a widget inside this view, a link area for `url`.
  void addLinkArea(GtkWidget* area, const std::string& url);
  static void copyLink(const std::string& url);

  const PopoverLinkHover& hover() const { return hover_; }
  // The handling of the view's events, also reached by tests.
  void mouseEntered(const std::optional<std::string>& link);
  void mouseExited(const std::optional<std::string>& link);
  void mouseDown() { hover_.mouseDown(); }
  void mouseUp();

 private:
  void viewDidMoveToWindow();
  struct Signals;

  GtkWidget* widget_;
  GtkWidget* popover_ = nullptr;
  std::optional<Color> backgroundColor_;
  PopoverLinkHover hover_;
  void* cssProvider_ = nullptr;
};
