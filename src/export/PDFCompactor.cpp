#include "export/PDFCompactor.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <poppler.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/GObjectPtr.h"

namespace {

cairo_status_t appendToData(void* closure, const unsigned char* bytes, unsigned int length) {
  auto* out = static_cast<Data*>(closure);
  out->insert(out->end(), bytes, bytes + length);
  return CAIRO_STATUS_SUCCESS;
}

bool contains(const Data& bytes, std::string_view what) {
  return std::search(bytes.begin(), bytes.end(), what.begin(), what.end()) != bytes.end();
}

// poppler's cairo output draws soft masks made of groups (CSS masks) and tiling patterns
// (repeating gradients) wrongly: pages using them are left as printed.
bool redrawsFaithfully(const Data& pdf) { return !contains(pdf, "/SMask <<") && !contains(pdf, "/PatternType 1"); }

bool acceptableSide(double side) { return std::isfinite(side) && side > 0 && side <= PDFCompactor::maximumSide; }

void copyMetadata(PopplerDocument* document, cairo_surface_t* surface) {
  struct Field {
    gchar* (*get)(PopplerDocument*);
    cairo_pdf_metadata_t key;
  } fields[] = {{poppler_document_get_title, CAIRO_PDF_METADATA_TITLE},
                {poppler_document_get_author, CAIRO_PDF_METADATA_AUTHOR},
                {poppler_document_get_subject, CAIRO_PDF_METADATA_SUBJECT},
                {poppler_document_get_keywords, CAIRO_PDF_METADATA_KEYWORDS},
                {poppler_document_get_creator, CAIRO_PDF_METADATA_CREATOR}};
  for (const auto& field : fields) {
    gchar* value = field.get(document);
    if (value && *value) cairo_pdf_surface_set_metadata(surface, field.key, value);
    g_free(value);
  }
}

}  // namespace

std::optional<Data> PDFCompactor::compact(const Data& pdf) {
  if (pdf.size() < 5 || pdf.size() > maximumBytes || std::memcmp(pdf.data(), "%PDF-", 5) != 0) return std::nullopt;
  if (!redrawsFaithfully(pdf)) return std::nullopt;
  // poppler's cairo output shares one FreeType library between documents: one at a time.
  static std::mutex serial;
  std::lock_guard lock(serial);

  GBytes* bytes = g_bytes_new_static(pdf.data(), pdf.size());
  GError* error = nullptr;
  GObjectPtr<PopplerDocument> document(poppler_document_new_from_bytes(bytes, nullptr, &error));
  g_bytes_unref(bytes);
  g_clear_error(&error);
  if (!document) return std::nullopt;
  int pages = poppler_document_get_n_pages(document.get());
  if (pages < 1 || pages > maximumPages) return std::nullopt;

  Data out;
  out.reserve(pdf.size() / 4);
  cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(appendToData, &out, 1, 1);
  copyMetadata(document.get(), surface);
  cairo_t* cr = cairo_create(surface);
  bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  for (int i = 0; ok && i < pages; ++i) {
    GObjectPtr<PopplerPage> page(poppler_document_get_page(document.get(), i));
    double width = 0, height = 0;
    if (page) poppler_page_get_size(page.get(), &width, &height);
    if (!page || !acceptableSide(width) || !acceptableSide(height)) {
      ok = false;
      break;
    }
    cairo_pdf_surface_set_size(surface, width, height);
    cairo_save(cr);
    // Printing draws what a printer would: the page's content and its printable annotations.
    poppler_page_render_for_printing(page.get(), cr);
    cairo_restore(cr);
    cairo_show_page(cr);
    ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  }
  cairo_destroy(cr);
  cairo_surface_finish(surface);
  ok = ok && cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  if (!ok || out.size() < 5 || out.size() >= pdf.size()) return std::nullopt;
  return out;
}
