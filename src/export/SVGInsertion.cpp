#include "export/SVGInsertion.h"

#include <string_view>

#include "export/SVGXMLDocument.h"

std::optional<SVGInsertion> SVGInsertion::prepare(const Data& svg) {
  auto document = SVGXMLDocument::create(std::string_view(reinterpret_cast<const char*>(svg.data()), svg.size()));
  if (!document || !(*document)->rw_isSVGImage()) return std::nullopt;
  SVGInsertion out;
  // Measured before the namespace is added, as the page expects.
  std::tie(out.width, out.height) = (*document)->rw_SVGImageSize();
  (*document)->addDefaultSVGNamespaceIfUndeclared();
  out.styleable = (*document)->rw_isSVGFillStyleable() || (*document)->rw_isSVGColorStyleable();
  out.xml = (*document)->xmlText();
  return out;
}
