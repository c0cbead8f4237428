#include "PDFFixtures.h"

#include <cstdio>

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

Data pdfOf(const std::vector<std::string>& objects, const std::string& trailer) {
  std::string out = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  std::size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (auto offset : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    out += line;
  }
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R" + trailer + " >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return Data(out.begin(), out.end());
}
