#pragma once
// A button that shows a named image as a silhouette in a tint colour, and in the highlight tint
// while it is pressed with the pointer inside. A release inside sends the action; a release
// outside sends nothing. The image is "<name>.png" in the resource folder "Images", else the
// icon theme's icon of that name; without one the button draws nothing. Main thread only.

#include <functional>
#include <optional>
#include <string>

#include "ui/Color.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GdkPixbuf GdkPixbuf;

class ImageMouseOverButton {
 public:
  ImageMouseOverButton(int width, int height, const std::string& imageName);
  ~ImageMouseOverButton();
  ImageMouseOverButton(const ImageMouseOverButton&) = delete;
  ImageMouseOverButton& operator=(const ImageMouseOverButton&) = delete;

  GtkWidget* widget() const { return widget_; }
  bool hasImage() const { return image_ != nullptr; }

  const std::optional<Color>& tintColor() const { return tintColor_; }
  void setTintColor(std::optional<Color> color);
  const std::optional<Color>& highlightTintColor() const { return highlightTintColor_; }
  void setHighlightTintColor(std::optional<Color> color) { highlightTintColor_ = std::move(color); }
  std::function<void()> action;

  // The colour the silhouette shows now; none draws nothing.
  const std::optional<Color>& shownTint() const { return shownTint_; }
  void reflectTint(bool isHighlighted);

  // Pointer handling; `inside` tells whether the pointer is within the bounds.
  void mouseDown();
  void mouseDragged(bool inside);
  void mouseUp(bool inside);

 private:
  void redraw();
  struct Signals;
  GtkWidget* widget_;
  GdkPixbuf* image_ = nullptr;
  std::optional<Color> tintColor_ = Color{1, 0, 0, 1};
  std::optional<Color> highlightTintColor_;
  std::optional<Color> shownTint_;
};
