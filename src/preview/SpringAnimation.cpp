#include "preview/SpringAnimation.h"

#include <algorithm>
#include <cmath>

SpringAnimation::SpringAnimation(PreviewSizing::Rect from, PreviewSizing::Rect to, double bounciness, double speed)
    : value_(from), target_(to) {
  // More speed, a stiffer spring; more bounciness, less damping (0 bounciness: critical).
  double omega = 1.7 * std::max(speed, 0.1);
  double ratio = std::clamp(1.0 - bounciness / 20.0, 0.1, 1.0);
  stiffness_ = omega * omega;
  damping_ = 2 * ratio * omega;
}

bool SpringAnimation::step(double seconds) {
  seconds = std::clamp(seconds, 0.0, 0.1);
  // Small sub-steps keep the integration stable whatever the frame rate.
  int steps = std::max(1, int(std::ceil(seconds / 0.004)));
  double dt = seconds / steps;
  double* v[] = {&value_.x, &value_.y, &value_.width, &value_.height};
  double* s[] = {&velocity_.x, &velocity_.y, &velocity_.width, &velocity_.height};
  const double t[] = {target_.x, target_.y, target_.width, target_.height};
  for (int n = 0; n < steps; ++n)
    for (int i = 0; i < 4; ++i) {
      double a = -stiffness_ * (*v[i] - t[i]) - damping_ * *s[i];
      *s[i] += a * dt;
      *v[i] += *s[i] * dt;
    }
  bool rest = true;
  for (int i = 0; i < 4; ++i) rest = rest && std::abs(*v[i] - t[i]) < 0.5 && std::abs(*s[i]) < 2.0;
  if (rest) value_ = target_;
  return rest;
}
