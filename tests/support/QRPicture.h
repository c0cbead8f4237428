#pragma once
// Reads the QR code in a picture of a widget as a phone would: the widget's window is captured
// from the display and handed to zbarimg. Waits until the code reads, so a popover still fading
// in is read once it has settled.

#include <gtk/gtk.h>

#include <optional>
#include <string>

#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"

namespace guitest {

// Saves what `widget` shows on screen as a PNG; false when it is not on screen.
inline bool savePicture(GtkWidget* widget, const std::filesystem::path& png) {
  GdkWindow* window = widget ? gtk_widget_get_window(widget) : nullptr;
  if (!window || !gtk_widget_get_mapped(widget) || !gdk_window_is_viewable(window)) return false;
  int w = gdk_window_get_width(window), h = gdk_window_get_height(window);
  GdkPixbuf* picture = gdk_pixbuf_get_from_window(window, 0, 0, w, h);
  if (!picture) return false;
  bool saved = gdk_pixbuf_save(picture, png.c_str(), "png", nullptr, nullptr);
  g_object_unref(picture);
  return saved;
}

// The text of the QR code in a picture of `widget`: the first that reads within `timeout`
// seconds, or, with `expected`, the last read while waiting for that text.
inline std::optional<std::string> readQRCode(GtkWidget* widget, const std::optional<std::string>& expected = std::nullopt,
                                             double timeout = 20) {
  auto png = testenv::freshFolder("qr") / "picture.png";
  std::optional<std::string> text;
  RunLoop::runUntil(
      [&] {
        if (!savePicture(widget, png)) return false;
        std::string out;
        if (testenv::run("zbarimg --raw -q '" + png.string() + "'", &out) != 0 || out.empty()) return false;
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
        text = out;
        return !expected || text == expected;
      },
      timeout);
  return text;
}

}  // namespace guitest
