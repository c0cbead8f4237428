#include "platform/CairoPath.h"

#include <algorithm>
#include <cmath>

void cairopath::roundedRectangle(cairo_t* cr, double x, double y, double width, double height, double radius) {
  double r = std::max(0.0, std::min(radius, std::min(width, height) / 2));
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + width - r, y + r, r, -M_PI / 2, 0);
  cairo_arc(cr, x + width - r, y + height - r, r, 0, M_PI / 2);
  cairo_arc(cr, x + r, y + height - r, r, M_PI / 2, M_PI);
  cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}
