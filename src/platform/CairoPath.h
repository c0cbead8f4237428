#pragma once
// Paths the hand-drawn widgets share.

#include <cairo.h>

namespace cairopath {
// Adds a closed rectangle with round corners as a new sub-path; the radius is kept within half
// the shorter side, so a small widget still gets a closed shape.
void roundedRectangle(cairo_t* cr, double x, double y, double width, double height, double radius);
}  // namespace cairopath
