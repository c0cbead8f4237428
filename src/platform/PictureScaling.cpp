#include "platform/PictureScaling.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace PictureScaling {

GObjectPtr<GdkPixbuf> scaled(GdkPixbuf* picture, int width, int height) {
  const int fromWidth = gdk_pixbuf_get_width(picture), fromHeight = gdk_pixbuf_get_height(picture);
  // A small picture is not worth the threads.
  if (double(fromWidth) * fromHeight < 4e6 || height < 16)
    return GObjectPtr<GdkPixbuf>(gdk_pixbuf_scale_simple(picture, width, height, GDK_INTERP_BILINEAR));
  GObjectPtr<GdkPixbuf> made(gdk_pixbuf_new(GDK_COLORSPACE_RGB, gdk_pixbuf_get_has_alpha(picture), 8, width, height));
  if (!made) return made;
  const double scaleX = double(width) / fromWidth, scaleY = double(height) / fromHeight;
  const int bands = std::min(int(std::clamp(std::thread::hardware_concurrency(), 1u, 8u)), height / 8);
  std::vector<std::thread> threads;
  for (int b = 0; b < bands; ++b) {
    const int first = int(std::int64_t(height) * b / bands), end = int(std::int64_t(height) * (b + 1) / bands);
    threads.emplace_back([&, first, end] {
      gdk_pixbuf_scale(picture, made.get(), 0, first, width, end - first, 0, 0, scaleX, scaleY, GDK_INTERP_BILINEAR);
    });
  }
  for (auto& thread : threads) thread.join();
  return made;
}

}  // namespace PictureScaling
