#include "ui/RWStylableView.h"

#include <gtk/gtk.h>

namespace {

gboolean draw(GtkWidget* widget, cairo_t* cr, gpointer data) {
  auto* view = static_cast<RWStylableView*>(data);
  double w = gtk_widget_get_allocated_width(widget), h = gtk_widget_get_allocated_height(widget);
  double x1, y1, x2, y2;
  cairo_clip_extents(cr, &x1, &y1, &x2, &y2);
  RWStylableView::Fill dirty{x1, view->isFlipped() ? y1 : h - y2, x2 - x1, y2 - y1, {}};
  for (const auto& fill : view->fills(w, h, dirty)) {
    // The toolkit draws top-down; an unflipped view's rectangles count from the bottom.
    double y = view->isFlipped() ? fill.y : h - fill.y - fill.height;
    cairo_set_source_rgba(cr, fill.color.red, fill.color.green, fill.color.blue, fill.color.alpha);
    cairo_rectangle(cr, fill.x, y, fill.width, fill.height);
    cairo_fill(cr);
  }
  return FALSE;
}

}  // namespace

RWStylableView::RWStylableView(bool flipped) : area_(gtk_drawing_area_new()), flipped_(flipped) {
  g_object_ref_sink(area_);
  g_signal_connect(area_, "draw", G_CALLBACK(draw), this);
  gtk_widget_show(area_);
}

RWStylableView::~RWStylableView() {
  g_signal_handlers_disconnect_by_data(area_, this);
  gtk_widget_destroy(area_);
  g_object_unref(area_);
}

void RWStylableView::redraw() { gtk_widget_queue_draw(area_); }

void RWStylableView::setLeftBorderWidth(float width, std::optional<Color> color) {
  leftBorderWidth = width;
  leftBorderColor = std::move(color);
  redraw();
}

void RWStylableView::setTopBorderWidth(float width, std::optional<Color> color) {
  topBorderWidth = width;
  topBorderColor = std::move(color);
  redraw();
}

void RWStylableView::setRightBorderWidth(float width, std::optional<Color> color) {
  rightBorderWidth = width;
  rightBorderColor = std::move(color);
  redraw();
}

void RWStylableView::setBottomBorderWidth(float width, std::optional<Color> color) {
  bottomBorderWidth = width;
  bottomBorderColor = std::move(color);
  redraw();
}

void RWStylableView::setBorderWidth(float width, std::optional<Color> color) {
  setLeftBorderWidth(width, color);
  setTopBorderWidth(width, color);
  setRightBorderWidth(width, color);
  setBottomBorderWidth(width, color);
}

std::vector<RWStylableView::Fill> RWStylableView::fills(double w, double h, Fill dirty) const {
  std::vector<Fill> out;
  if (backgoundColor) out.push_back({dirty.x, dirty.y, dirty.width, dirty.height, *backgoundColor});
  if (leftBorderWidth > 0 && leftBorderColor) out.push_back({0, 0, leftBorderWidth, h, *leftBorderColor});
  if (topBorderWidth > 0 && topBorderColor)
    out.push_back({0, flipped_ ? 0 : h - topBorderWidth, w, topBorderWidth, *topBorderColor});
  if (rightBorderWidth > 0 && rightBorderColor)
    out.push_back({w - rightBorderWidth, 0, rightBorderWidth, h, *rightBorderColor});
  if (bottomBorderWidth > 0 && bottomBorderColor)
    out.push_back({0, flipped_ ? h - bottomBorderWidth : 0, w, bottomBorderWidth, *bottomBorderColor});
  return out;
}
