#pragma once
// Draws an image stretched into a rectangle with fixed corners: nine pieces, the corners at
// their own size, the edges stretched one way, the centre both ways. Coordinates of ninePieces
// count from the bottom-left corner; drawInRect takes the toolkit's top-down rectangle.
// Main thread for drawing; ninePieces is plain arithmetic.

#include <array>

typedef struct _cairo cairo_t;
typedef struct _GdkPixbuf GdkPixbuf;

struct TMEdgeInsets {
  double top = 0, left = 0, bottom = 0, right = 0;
  bool operator==(const TMEdgeInsets&) const = default;
};
inline TMEdgeInsets TMEdgeInsetsMake(double top, double left, double bottom, double right) {
  return {top, left, bottom, right};
}

namespace TMStretchable {

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Rect&) const = default;
};
struct Piece {
  Rect destination;
  Rect source;
};

// Bottom-left, top-left, top-right and bottom-right corners, bottom, top, left and right edges,
// centre. The destination is rounded to whole points; the centre's source leaves out 2 points
// next to the top and bottom insets.
std::array<Piece, 9> ninePieces(Rect destination, double imageWidth, double imageHeight, TMEdgeInsets insets);
void drawInRect(cairo_t* cr, GdkPixbuf* image, Rect destination, TMEdgeInsets insets);

}  // namespace TMStretchable
