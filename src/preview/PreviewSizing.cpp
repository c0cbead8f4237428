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

Rect constrainFrame(const Rect& frame, const Rect& workArea) {
  if (workArea.width <= 0 || workArea.height <= 0) return frame;
  Rect r = frame;
  r.width = std::min(r.width, workArea.width);
  r.height = std::min(r.height, workArea.height);
  r.x = std::max(workArea.x, std::min(r.x, workArea.right() - r.width));
  r.y = std::max(workArea.y, std::min(r.y, workArea.bottom() - r.height));
  return r;
}

Size sizeOnScreen(Size frame, Size intrinsic, double chrome, const Rect& workArea) {
  auto fits = [&](Size s) { return s.width <= workArea.width && s.height <= workArea.height; };
  if (workArea.width <= 0 || workArea.height <= 0 || fits(frame)) return frame;
  if (intrinsic.width > 0 && intrinsic.height > 0) {
    const Size sizes[] = {{std::ceil(intrinsic.width), std::ceil(intrinsic.height) + chrome},
                          {std::ceil(intrinsic.width * 0.5), std::ceil(intrinsic.height * 0.5) + chrome}};
    for (const Size& s : sizes)
      if (fits(s)) return s;
  }
  double w = frame.width, ch = frame.height - chrome;
  double scale = w > 0 && ch > 0 ? std::min(workArea.width / w, (workArea.height - chrome) / ch) : 0;
  if (scale <= 0) return {std::min(frame.width, workArea.width), std::min(frame.height, workArea.height)};
  // Whole points, not one less for a rounding error.
  return {std::floor(w * scale + 1e-9), std::floor(ch * scale + 1e-9) + chrome};
}

Rect frameKeepingTopLeft(Size size, const Rect& window, const std::optional<Rect>& screen) {
  Rect r{window.x, window.y, std::ceil(size.width), std::ceil(size.height)};
  return screen ? constrainFrame(r, *screen) : r;
}

Rect firstAppearanceFrame(Size intrinsic, double chrome, Size given, const Rect& documentFrame, const Rect& screen) {
  Size size = given;
  if (intrinsic.width > firstAppearanceMinimum && intrinsic.height > firstAppearanceMinimum)
    size = {intrinsic.width, intrinsic.height + chrome};
  size = sizeOnScreen(size, intrinsic, chrome, screen);
  double x = std::min(screen.right() - size.width, documentFrame.right());
  return constrainFrame({x, documentFrame.y, size.width, size.height}, screen);
}

Size snappedSize(Size proposed, Size intrinsic, double chrome, const std::optional<Rect>& workArea) {
  if (intrinsic.width <= 0 || intrinsic.height <= 0) return proposed;
  double cw = proposed.width, ch = proposed.height - chrome;
  const Size candidates[] = {intrinsic,
                             {std::ceil(intrinsic.width * 0.5), std::ceil(intrinsic.height * 0.5)},
                             {intrinsic.width * 2.0, intrinsic.height * 2.0}};
  for (const Size& c : candidates) {
    if (workArea && (c.width > workArea->width || c.height + chrome > workArea->height)) continue;
    double deviation = std::max(std::abs(1 - cw / c.width), std::abs(1 - ch / c.height));
    if (deviation < snapTolerance) return {c.width, c.height + chrome};
  }
  return proposed;
}

bool screenFitsAttachedInspector(const std::optional<Rect>& screen, double chrome, Size inspectorMinimum) {
  return !screen || (screen->width >= inspectorMinimum.width && screen->height >= inspectorMinimum.height + chrome);
}

Rect attachedInspectorFrame(const Rect& d, double e, const Rect& p, const std::optional<Rect>& workArea,
                            Size inspectorMinimum) {
  double width = std::max(inspectorMinimum.width + 200.0, std::ceil(d.width * 0.5));
  double centre = p.x + p.width * 0.5;
  double x = std::abs(centre - d.x) <= std::abs(centre - d.right()) ? d.x - e : d.right() - width + e;
  Rect frame{x, d.y + e, width, d.height};
  return workArea ? constrainFrame(frame, *workArea) : frame;
}

AspectLimits aspectLimits(Size ratio) {
  if (!(ratio.width > 0 && ratio.height > 0)) return {};
  // A part in 4096: far above the display's 1/65536 and the single-precision error, far below a
  // pixel of any window the screen holds.
  constexpr double slack = 1.0 / 4096;
  double r = ratio.width / ratio.height;
  return {r * (1 - slack), r * (1 + slack)};
}

}  // namespace PreviewSizing
