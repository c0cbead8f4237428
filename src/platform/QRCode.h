#pragma once
// QR codes: the modules of a text encoded at an error-correction level (libqrencode), and their
// drawing as a card: a white rounded square with the dark modules scaled across it as sharp
// squares. Any thread for encode; draw on the thread that owns the cairo context.

#include <string>
#include <vector>

#include "platform/Error.h"

typedef struct _cairo cairo_t;

class QRCode {
 public:
  enum class Level { L, M, Q, H };
  static constexpr const char* ErrorDomain = "com.korvel.qrcode";
  // Longer texts make codes too dense for a phone to read from a screen.
  static constexpr std::size_t maxTextLength = 1024;

  // The code of `text` with `margin` light modules around it. Fails for an empty or too long
  // text and when the encoder does.
  static Result<QRCode> encode(const std::string& text, Level level, int margin = 1);

  // Modules per side, margin included.
  int size() const { return size_; }
  bool isDark(int x, int y) const;

  // Fills a rounded square of side `side` at (x, y) with white, then draws the modules over all
  // of it, without smoothing, at `opacity`.
  void draw(cairo_t* cr, double x, double y, double side, double cornerRadius = 3, double opacity = 0.8) const;

 private:
  int size_ = 0;
  std::vector<bool> dark_;
};
