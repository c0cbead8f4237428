#pragma once
// A view laid out from its top-left corner: one subview fills it and follows its size, the
// others lie above it at fixed frames, later ones on top. It holds no reference of its own on
// its subviews: their owners keep them, and it lets go of them when it goes. Main thread only.

typedef struct _GtkWidget GtkWidget;

class PDFlippedView {
 public:
  struct Frame {
    int x = 0, y = 0, width = 0, height = 0;
  };

  PDFlippedView();
  ~PDFlippedView();
  PDFlippedView(const PDFlippedView&) = delete;
  PDFlippedView& operator=(const PDFlippedView&) = delete;

  GtkWidget* widget() const { return overlay_; }
  // Replaces the filling subview.
  void setFillingSubview(GtkWidget* child);
  // Adds `child` above the others at `frame`, or moves it there and on top when it is here.
  void addSubview(GtkWidget* child, Frame frame);
  void removeSubview(GtkWidget* child);
  bool contains(GtkWidget* child) const;

 private:
  GtkWidget* overlay_;
};
