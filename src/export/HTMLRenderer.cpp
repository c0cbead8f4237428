#include "export/HTMLRenderer.h"

#include <cmath>
#include <string>

#include "export/RenderFileAccess.h"

bool HTMLRenderer::acceptableSize(const Size& size) {
  if (!std::isfinite(size.width) || !std::isfinite(size.height)) return false;
  if (size.width < 1.0 || size.height < 1.0) return false;
  if (size.width >= maximumSide + 1 || size.height >= maximumSide + 1) return false;
  return size.width * size.height <= maximumPixels;
}

namespace {
// A host of its own: no file of the page's folder is named so.
std::string servedPrefix() { return std::string(RenderFileAccess::scheme) + "://picture/"; }
}  // namespace

std::string HTMLRenderer::servedAddress(std::size_t index) { return servedPrefix() + std::to_string(index); }

std::optional<std::size_t> HTMLRenderer::servedIndex(std::string_view address) {
  const std::string prefix = servedPrefix();
  if (address.substr(0, prefix.size()) != prefix) return std::nullopt;
  std::string_view digits = address.substr(prefix.size());
  if (digits.empty() || digits.size() > 9) return std::nullopt;
  std::size_t index = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    index = index * 10 + std::size_t(c - '0');
  }
  return index;
}
