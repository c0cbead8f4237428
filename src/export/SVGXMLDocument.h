#pragma once
// An SVG file parsed for the four questions asked before it becomes a layer: is it an SVG, how
// large, may the editor recolour its fills, does it draw in currentColor. Parsing never touches
// the network, loads no DTD and expands no entity. An unprefixed element in the SVG namespace
// answers like one in no namespace. One thread at a time per document.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/Error.h"

class SVGXMLDocument {
 public:
  static constexpr const char* ErrorDomain = "com.korvel.svg";
  // Fails on text that is not well-formed XML.
  static Result<std::unique_ptr<SVGXMLDocument>> create(std::string_view text);
  ~SVGXMLDocument();
  SVGXMLDocument(const SVGXMLDocument&) = delete;
  SVGXMLDocument& operator=(const SVGXMLDocument&) = delete;

  bool rw_isSVGImage() const;
  // Pixels from width and height, else from the viewBox; (0, 0) when nothing gives a size.
  std::pair<double, double> rw_SVGImageSize() const;
  // No style element below the root and no fill attribute anywhere.
  bool rw_isSVGFillStyleable() const;
  // Some attribute value contains "currentColor".
  bool rw_isSVGColorStyleable() const;

  // Declares the SVG namespace as the default one on a root element that declares no namespace
  // at all; a root that declares any is left alone.
  void addDefaultSVGNamespaceIfUndeclared();
  // The whole document as the XML library writes it.
  std::string xmlText() const;
  // Sets the XML library up; call once on the main thread before documents are made elsewhere.
  static void prepareForThreads();

  // An SVG length in pixels: a number with an optional two-letter unit; NaN for none.
  static double rw_SVGPixels(const std::optional<std::string>& text);

 private:
  explicit SVGXMLDocument(void* doc) : doc_(doc) {}
  void* doc_;  // xmlDoc
};
