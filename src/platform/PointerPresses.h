#pragma once
// Word of every press of a pointer button (not a turn of its wheel) anywhere on the display,
// whichever program's window it lands on, the window manager's frames and title bars included,
// while a watch lives. A press on the window manager's frame never reaches the program's own
// windows, so only this tells of it. X11 with the X input extension only; elsewhere a watch
// never calls. Main thread only.

#include <functional>
#include <memory>

namespace PointerPresses {

class Watch {
 public:
  // `pressed` gets the pointer's place in root coordinates as the press is read.
  explicit Watch(std::function<void(int x, int y)> pressed);
  ~Watch();
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace PointerPresses
