#include "GreenPDF.h"

#include <cairo-pdf.h>
#include <cairo.h>

namespace {
cairo_status_t append(void* closure, const unsigned char* bytes, unsigned int length) {
  static_cast<Data*>(closure)->insert(static_cast<Data*>(closure)->end(), bytes, bytes + length);
  return CAIRO_STATUS_SUCCESS;
}
}  // namespace

Data greenPDF(double width, double height) {
  Data out;
  cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(append, &out, width, height);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 0, 1, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_finish(surface);
  cairo_surface_destroy(surface);
  return out;
}
