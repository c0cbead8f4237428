#include "preview/PreviewSizing.h"

#include <algorithm>
#include <cmath>

#include "preview/OstrelSelection.h"

namespace PreviewSizing {

Size intrinsicContentSize(const OstrelSelection* selection, const DeviceDescriptor* device, bool deviceIsCanvas) {
  if (deviceIsCanvas) {
    if (selection && selection->metadata.width && selection->metadata.height)
      return {double(*selection->metadata.width), double(*selection->metadata.height)};
    return {};
  }
  if (!device || !device->hasPositiveScreen()) return {};
  double p = device->effectivePixelRatio();
  Size size{double(device->screen.width) / p, double(device->screen.height) / p};
  if (selection && selection->metadata.settings.rotate) std::swap(size.width, size.height);
  return size;
}

Size contentMinimum(Size ratio) {
  if (ratio.width <= 0 || ratio.height <= 0) return contentMinSize;
  double r = ratio.width / ratio.height;
  double a = contentMinSize.width / contentMinSize.height;
  if (std::abs(a - 1 / r) < transposedTolerance) return {contentMinSize.height, contentMinSize.width};
  if (r > a) return {contentMinSize.width, contentMinSize.width / r};
  return {r * contentMinSize.height, contentMinSize.height};
}

Insets documentPadding(std::optional<double> chrome) {
  return {chrome ? *chrome + 10.0 : 48.0, 120.0, 52.0, 10.0};
}

Size documentWindowContentMinimum(Size m, Insets p) {
  return {std::max(m.width + p.left + p.right, documentWindowMinimum.width),
          std::max(m.height + 10.0 + p.bottom, documentWindowMinimum.height)};
}

Size fittedSize(Size frame, Size ratio, double chrome) {
  if (ratio.width <= 0 || ratio.height <= 0) return frame;
  double r = ratio.width / ratio.height;
  double w = frame.width, ch = frame.height - chrome;
  if (ch <= 0 || w <= 0) return frame;
  Size content;
  if (std::abs(w / ch - 1 / r) < transposedTolerance)
    content = {ch, w};
  else if (r > w / ch)
    content = {r * ch, ch};
  else
    content = {w, w / r};
  return {content.width, content.height + chrome};
}

Rect frameKeepingTopLeft(Size size, const Rect& window, const std::optional<Rect>& screen) {
  Rect r{window.x, window.y, std::ceil(size.width), std::ceil(size.height)};
  if (screen && screen->width > r.width) {
    // The title bar stays on the screen, and so does the right edge.
    r.y = std::max(r.y, screen->y);
    r.x = std::min(screen->right() - r.width, r.x);
  }
  return r;
}

Rect firstAppearanceFrame(Size intrinsic, double chrome, Size given, const Rect& documentFrame, const Rect& screen) {
  Size size = given;
  if (intrinsic.width > firstAppearanceMinimum && intrinsic.height > firstAppearanceMinimum)
    size = {intrinsic.width, intrinsic.height + chrome};
  double x = std::min(screen.right() - size.width, documentFrame.right());
  return {x, documentFrame.y, size.width, size.height};
}

Size snappedSize(Size proposed, Size intrinsic, double chrome) {
  if (intrinsic.width <= 0 || intrinsic.height <= 0) return proposed;
  double cw = proposed.width, ch = proposed.height - chrome;
  const Size candidates[] = {intrinsic,
                             {std::ceil(intrinsic.width * 0.5), std::ceil(intrinsic.height * 0.5)},
                             {intrinsic.width * 2.0, intrinsic.height * 2.0}};
  for (const Size& c : candidates) {
    double deviation = std::max(std::abs(1 - cw / c.width), std::abs(1 - ch / c.height));
    if (deviation < snapTolerance) return {c.width, c.height + chrome};
  }
  return proposed;
}

bool screenFitsAttachedInspector(const std::optional<Rect>& screen, double chrome, Size inspectorMinimum) {
  return !screen || (screen->width >= inspectorMinimum.width && screen->height >= inspectorMinimum.height + chrome);
}

Rect attachedInspectorFrame(const Rect& d, double e, const Rect& p, Size inspectorMinimum) {
  double width = std::max(inspectorMinimum.width + 200.0, std::ceil(d.width * 0.5));
  double centre = p.x + p.width * 0.5;
  double x = std::abs(centre - d.x) <= std::abs(centre - d.right()) ? d.x - e : d.right() - width + e;
  return {x, d.y + e, width, d.height};
}

}  // namespace PreviewSizing
