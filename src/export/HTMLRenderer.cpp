#include "export/HTMLRenderer.h"

#include <cmath>

bool HTMLRenderer::acceptableSize(const Size& size) {
  if (!std::isfinite(size.width) || !std::isfinite(size.height)) return false;
  if (size.width < 1.0 || size.height < 1.0) return false;
  if (size.width >= maximumSide + 1 || size.height >= maximumSide + 1) return false;
  return size.width * size.height <= maximumPixels;
}
