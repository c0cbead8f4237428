#pragma once
// The steps an optimised SVG goes through before it becomes a layer: it must parse and be an
// SVG; it is measured, given the SVG namespace when it declares none, judged for recolouring
// and written back as text. Touches only its own bytes: any thread.

#include <optional>
#include <string>

#include "platform/Data.h"
#include "platform/Error.h"

struct SVGInsertion {
  std::string xml;
  double width = 0;   // pixels, 0 when the SVG gives none
  double height = 0;
  bool styleable = false;

  // The largest side an SVG may claim, in pixels.
  static constexpr double maximumSide = 100000;

  // Fails for bytes that are no XML or whose root is no svg element, and, with a message, for
  // a size that is not a finite number from 0 (none given) to maximumSide.
  static Result<SVGInsertion> prepare(const Data& svg);
};
