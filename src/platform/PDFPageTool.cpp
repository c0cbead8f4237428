// korvel-pdf-page IN OUT: draws the first page of the PDF file IN at 72 dots per inch into the
// PNG file OUT. Run by ImageData::rasterisePDF in a confined child, so that a hostile PDF costs
// at most that child's memory, time and disk, and reaches no file but the system's and its own.
// Exit codes: 0 drawn, 2 no page, 3 page size out of range, 1 anything else.

#include <cairo.h>
#include <poppler.h>

#include <cmath>

#include "platform/GObjectPtr.h"
#include "platform/ImageData.h"

namespace {

// Large enough for any picture a design holds.
constexpr double maximumSide = 20000;

int draw(const char* in, const char* out) {
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(in, &contents, &length, nullptr)) return 1;
  GBytes* bytes = g_bytes_new_take(contents, length);
  GObjectPtr<PopplerDocument> document(poppler_document_new_from_bytes(bytes, nullptr, nullptr));
  g_bytes_unref(bytes);
  if (!document || poppler_document_get_n_pages(document.get()) < 1) return 2;
  GObjectPtr<PopplerPage> page(poppler_document_get_page(document.get(), 0));
  if (!page) return 2;
  double width = 0, height = 0;
  poppler_page_get_size(page.get(), &width, &height);
  if (!(width >= 1 && height >= 1 && width <= maximumSide && height <= maximumSide &&
        std::ceil(width) * std::ceil(height) <= ImageData::maximumPixels))
    return 3;
  cairo_surface_t* surface =
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(std::ceil(width)), static_cast<int>(std::ceil(height)));
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return 1;
  }
  cairo_t* cr = cairo_create(surface);
  poppler_page_render(page.get(), cr);
  bool drawn = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  cairo_destroy(cr);
  drawn = drawn && cairo_surface_write_to_png(surface, out) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return drawn ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 1;
  return draw(argv[1], argv[2]);
}
