#pragma once
// A window that is never on a screen but lays out, realises and draws what it holds: web views
// that render or run without being shown, and tests under a virtual display. Main thread only.

typedef struct _GtkWidget GtkWidget;

class OffscreenWindow {
 public:
  OffscreenWindow(GtkWidget* child, int width, int height);
  ~OffscreenWindow();
  OffscreenWindow(const OffscreenWindow&) = delete;
  OffscreenWindow& operator=(const OffscreenWindow&) = delete;

  GtkWidget* window() const { return window_; }

 private:
  GtkWidget* window_;
  GtkWidget* child_;
};
