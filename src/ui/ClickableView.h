#pragma once
// A plain view that runs one closure on a click and another on a double click. While a
// double-click closure is set, a single click waits half the double-click interval, so that a
// quick double click runs only the double-click closure. Shows the arrow cursor under the
// pointer. Main thread only.

#include <functional>
#include <memory>

#include "ui/ClickCounter.h"

typedef struct _GtkWidget GtkWidget;
class Timer;

class ClickableView {
 public:
  ClickableView();
  ~ClickableView();
  ClickableView(const ClickableView&) = delete;
  ClickableView& operator=(const ClickableView&) = delete;

  GtkWidget* widget() const { return widget_; }

  std::function<void()> clickHandler;
  std::function<void()> doubleClickHandler;

  // A press with its click count; `doubleClickInterval` in seconds.
  void mouseDown(int clickCount, double doubleClickInterval);
  void doClick();
  bool hasPendingClick() const;
  // A press as the toolkit reports it; the view counts the run itself.
  void press(const ClickCounter::Press& press, std::uint32_t doubleClickInterval, double doubleClickDistance);

 private:
  GtkWidget* widget_;
  ClickCounter counter_;
  std::unique_ptr<Timer> pendingClick_;
};
