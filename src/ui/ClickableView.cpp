#include "ui/ClickableView.h"

#include "platform/RunLoop.h"

void ClickableView::mouseDown(int clickCount, double doubleClickInterval) {
  if (clickCount == 1) {
    if (doubleClickHandler) {
      pendingClick_ = Timer::scheduled(doubleClickInterval * 0.5, false, [this] {
        pendingClick_.reset();
        doClick();
      });
    } else if (auto handler = clickHandler) {
      handler();
    }
  } else if (clickCount == 2) {
    pendingClick_.reset();
    if (auto handler = doubleClickHandler) handler();
  }
}

void ClickableView::press(const ClickCounter::Press& p, std::uint32_t interval, double distance) {
  mouseDown(counter_.press(p, interval, distance), interval / 1000.0);
}

void ClickableView::doClick() {
  if (auto handler = clickHandler) handler();
}

bool ClickableView::hasPendingClick() const {
  return pendingClick_ && pendingClick_->isValid();
}
