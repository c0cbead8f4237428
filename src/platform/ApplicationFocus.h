#pragma once
// Whether the person is still with this program, and word when they leave it for another one.
// A menu's grab takes the keyboard focus off every window while the person never left: it
// counts as the program's. Main thread only.

#include <functional>
#include <memory>

namespace ApplicationFocus {

// One of the program's menus holds the pointer (it is open).
bool menuIsOpen();
// One of the program's windows has the keyboard.
bool windowHasFocus();
// One of the program's windows has the keyboard, or one of its menus is open.
bool hasFocus();

// Calls `left` each time that, once the focus has settled, the program has none: the person
// went over to another program. Watches the windows there are when it is made.
class Watch {
 public:
  explicit Watch(std::function<void()> left);
  ~Watch();
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ApplicationFocus
