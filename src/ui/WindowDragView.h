#pragma once
// A transparent band that moves its window when pressed and dragged; the press and the motion
// that follows reach no other view. Outside a window it ignores presses. Main thread only.

typedef struct _GtkWidget GtkWidget;

class WindowDragView {
 public:
  WindowDragView();
  ~WindowDragView();
  WindowDragView(const WindowDragView&) = delete;
  WindowDragView& operator=(const WindowDragView&) = delete;

  GtkWidget* widget() const { return box_; }

 private:
  GtkWidget* box_;
};
