#pragma once
// The steps an optimised SVG goes through before it becomes a layer: it must parse and be an
// SVG; it is measured, given the SVG namespace when it declares none, judged for recolouring
// and written back as text. Touches only its own bytes: any thread.

#include <optional>
#include <string>

#include "platform/Data.h"

struct SVGInsertion {
  std::string xml;
  double width = 0;   // pixels, 0 when the SVG gives none
  double height = 0;
  bool styleable = false;

  // None for bytes that are no XML or whose root is no svg element.
  static std::optional<SVGInsertion> prepare(const Data& svg);
};
