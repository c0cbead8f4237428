#pragma once
// A spring that moves a window frame to its target: bounciness and speed as the preview uses
// them (2 and 12). Stepped by the caller with the time since the last step. Pure.

#include "preview/PreviewSizing.h"

class SpringAnimation {
 public:
  SpringAnimation(PreviewSizing::Rect from, PreviewSizing::Rect to, double bounciness = 2.0, double speed = 12.0);
  // Advances by `seconds`; true once at rest on the target (the value then equals it).
  bool step(double seconds);
  const PreviewSizing::Rect& value() const { return value_; }
  const PreviewSizing::Rect& target() const { return target_; }

 private:
  PreviewSizing::Rect value_, velocity_{}, target_;
  double stiffness_, damping_;
};
