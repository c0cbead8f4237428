#pragma once
// Counts the presses of one view into clicks as the person meant them: a press of the same
// button, soon after and near the previous press, continues its run (2 for a double click,
// 3 for a triple, and on). The toolkit's own extra double and triple press events repeat a
// press already counted and are not given here. Main thread only.

#include <cstdint>

class ClickCounter {
 public:
  struct Press {
    std::uint32_t time;  // milliseconds, as the display server stamps them (wrapping)
    double x, y;
    unsigned button;
  };
  // The run's count including `press`; `interval` in milliseconds, `distance` in pixels.
  int press(const Press& press, std::uint32_t interval, double distance);
  void reset() { count_ = 0; }

 private:
  Press last_{};
  int count_ = 0;
};
