#include "ui/TMStretchable.h"

#include <gdk/gdk.h>

#include <cmath>

namespace TMStretchable {

std::array<Piece, 9> ninePieces(Rect d, double sw, double sh, TMEdgeInsets in) {
  double X = std::round(d.x), Y = std::round(d.y), W = std::round(d.width), H = std::round(d.height);
  double t = in.top, l = in.left, b = in.bottom, r = in.right;
  return {{
      {{X, Y, l, b}, {0, 0, l, b}},
      {{X, Y + H - t, l, t}, {0, sh - t, l, t}},
      {{X + W - r, Y + H - t, r, t}, {sw - r, sh - t, r, t}},
      {{X + W - r, Y, r, b}, {sw - r, 0, r, b}},
      {{X + l, Y, W - l - r, b}, {l, 0, sw - l - r, b}},
      {{X + l, Y + H - t, W - l - r, t}, {l, sh - t, sw - l - r, t}},
      {{X, Y + b, l, H - t - b}, {0, b, l, sh - t - b}},
      {{X + W - r, Y + b, r, H - t - b}, {sw - r, b, r, sh - t - b}},
      {{X + l, Y + b, W - l - r, H - t - b}, {l, b + 2, sw - l - r, sh - t - b - 4}},
  }};
}

void drawInRect(cairo_t* cr, GdkPixbuf* image, Rect destination, TMEdgeInsets insets) {
  if (!cr || !image) return;
  double sw = gdk_pixbuf_get_width(image), sh = gdk_pixbuf_get_height(image);
  // Work bottom-up inside the destination, as the pieces are given.
  Rect local{0, 0, destination.width, destination.height};
  double H = std::round(destination.height);
  for (const auto& piece : ninePieces(local, sw, sh, insets)) {
    const Rect& to = piece.destination;
    const Rect& from = piece.source;
    if (to.width <= 0 || to.height <= 0 || from.width <= 0 || from.height <= 0) continue;
    double toY = std::round(destination.y) + H - to.y - to.height;
    double fromY = sh - from.y - from.height;
    cairo_save(cr);
    cairo_rectangle(cr, std::round(destination.x) + to.x, toY, to.width, to.height);
    cairo_clip(cr);
    cairo_translate(cr, std::round(destination.x) + to.x, toY);
    cairo_scale(cr, to.width / from.width, to.height / from.height);
    gdk_cairo_set_source_pixbuf(cr, image, -from.x, -fromY);
    cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_paint_with_alpha(cr, 1.0);
    cairo_restore(cr);
  }
}

}  // namespace TMStretchable
