#include "export/SVGInsertion.h"

#include <cmath>
#include <string_view>

#include "export/SVGXMLDocument.h"

namespace {
constexpr const char* ErrorDomain = "com.korvel.svginsertion";
}  // namespace

Result<SVGInsertion> SVGInsertion::prepare(const Data& svg) {
  auto document = SVGXMLDocument::create(std::string_view(reinterpret_cast<const char*>(svg.data()), svg.size()));
  if (!document || !(*document)->rw_isSVGImage()) return fail(ErrorDomain, 1, "The data is not an SVG drawing");
  SVGInsertion out;
  // Measured before the namespace is added, as the page expects.
  std::tie(out.width, out.height) = (*document)->rw_SVGImageSize();
  for (double side : {out.width, out.height})
    if (!std::isfinite(side) || side < 0 || side > maximumSide)
      return fail(ErrorDomain, 2, "The SVG drawing's size is out of range: " + std::to_string(out.width) + " × " +
                                      std::to_string(out.height));
  (*document)->addDefaultSVGNamespaceIfUndeclared();
  out.styleable = (*document)->rw_isSVGFillStyleable() || (*document)->rw_isSVGColorStyleable();
  out.xml = (*document)->xmlText();
  return out;
}
