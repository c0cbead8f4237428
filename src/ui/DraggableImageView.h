#pragma once
// An image that moves its window when pressed and dragged. Main thread only.

typedef struct _GtkWidget GtkWidget;
typedef struct _GdkPixbuf GdkPixbuf;

class DraggableImageView {
 public:
  // `image` may be none; the view keeps its own reference.
  explicit DraggableImageView(GdkPixbuf* image = nullptr);
  ~DraggableImageView();
  DraggableImageView(const DraggableImageView&) = delete;
  DraggableImageView& operator=(const DraggableImageView&) = delete;

  GtkWidget* widget() const { return box_; }
  void setImage(GdkPixbuf* image);
  static constexpr bool mouseDownCanMoveWindow = true;

 private:
  GtkWidget* box_;
  GtkWidget* image_;
};
