#include "ui/ClickCounter.h"

#include <cmath>

int ClickCounter::press(const Press& p, std::uint32_t interval, double distance) {
  // Unsigned difference: the server's clock wraps after 49 days.
  bool continues = count_ > 0 && p.button == last_.button && std::uint32_t(p.time - last_.time) <= interval &&
                   std::fabs(p.x - last_.x) <= distance && std::fabs(p.y - last_.y) <= distance;
  count_ = continues ? count_ + 1 : 1;
  last_ = p;
  return count_;
}
