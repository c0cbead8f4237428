#include "platform/QRCode.h"

#include <cairo.h>
#include <qrencode.h>

#include <cerrno>
#include <cstdint>
#include <memory>

#include "platform/CairoPath.h"

Result<QRCode> QRCode::encode(const std::string& text, Level level, int margin) {
  if (text.empty() || text.size() > maxTextLength) return fail(ErrorDomain, 1, "No text or too much text for a QR code");
  if (margin < 0 || margin > 16) return fail(ErrorDomain, 2, "Invalid QR code margin");
  QRecLevel ec = level == Level::L ? QR_ECLEVEL_L : level == Level::M ? QR_ECLEVEL_M : level == Level::Q ? QR_ECLEVEL_Q : QR_ECLEVEL_H;
  // Byte mode: the text goes in as its UTF-8 bytes, whatever it holds.
  std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
      QRcode_encodeData(int(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0, ec), &QRcode_free);
  if (!code) return fail(Error::posix(errno, "QR code"));
  QRCode out;
  int inner = code->width;
  out.size_ = inner + 2 * margin;
  out.dark_.assign(std::size_t(out.size_) * out.size_, false);
  for (int y = 0; y < inner; ++y)
    for (int x = 0; x < inner; ++x)
      out.dark_[std::size_t(y + margin) * out.size_ + (x + margin)] = code->data[y * inner + x] & 1;
  return out;
}

bool QRCode::isDark(int x, int y) const {
  if (x < 0 || y < 0 || x >= size_ || y >= size_) return false;
  return dark_[std::size_t(y) * size_ + x];
}

void QRCode::draw(cairo_t* cr, double x, double y, double side, double r, double opacity) const {
  if (size_ <= 0 || side <= 0) return;
  cairo_save(cr);
  cairopath::roundedRectangle(cr, x, y, side, side, r);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_fill(cr);

  // One pixel per module, dark on clear, scaled up with the nearest-neighbour filter.
  cairo_surface_t* bitmap = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size_, size_);
  if (cairo_surface_status(bitmap) == CAIRO_STATUS_SUCCESS) {
    cairo_surface_flush(bitmap);
    unsigned char* data = cairo_image_surface_get_data(bitmap);
    int stride = cairo_image_surface_get_stride(bitmap);
    for (int row = 0; row < size_; ++row) {
      auto* pixels = reinterpret_cast<std::uint32_t*>(data + std::size_t(row) * stride);
      for (int col = 0; col < size_; ++col) pixels[col] = isDark(col, row) ? 0xFF000000u : 0u;
    }
    cairo_surface_mark_dirty(bitmap);
    cairo_translate(cr, x, y);
    cairo_scale(cr, side / size_, side / size_);
    cairo_set_source_surface(cr, bitmap, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_paint_with_alpha(cr, opacity);
  }
  cairo_surface_destroy(bitmap);
  cairo_restore(cr);
}
