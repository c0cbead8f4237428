#include "ImageMouseOverButton.h"

void ImageMouseOverButton::setTintColor(std::optional<Color> color) {
  tintColor_ = std::move(color);
  reflectTint(false);
}

void ImageMouseOverButton::reflectTint(bool isHighlighted) {
  shownTint_ = isHighlighted && highlightTintColor_ ? highlightTintColor_ : tintColor_;
  redraw();
}

void ImageMouseOverButton::mouseDown() { reflectTint(true); }

void ImageMouseOverButton::mouseDragged(bool inside) { reflectTint(inside); }

void ImageMouseOverButton::mouseUp(bool inside) {
  reflectTint(false);
  if (inside && action) action();
}
