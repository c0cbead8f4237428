#pragma once
// A display of the test's own, with a window manager (openbox), for tests that move the real
// pointer or place windows: on the shared display of a parallel run they would meet other
// tests' windows and pointer. start() sets DISPLAY and must run before the toolkit starts;
// both servers end when the process exits.

#include <string>

namespace testenv {
class PrivateDesktop {
 public:
  // False (with the reason in `why`) when Xvfb or openbox can't run. The screen is `width` by
  // `height` pixels.
  static bool start(std::string* why = nullptr, int width = 1280, int height = 1024);
  // The same, telling on standard error why there is none.
  static bool startOrTell(int width = 1280, int height = 1024);
  static bool isRunning();
};
// Runs xdotool with `arguments` (shell words) on the current display; answers its exit status.
int xdotool(const std::string& arguments, std::string* output = nullptr);
// Presses the first button at (fromX, fromY), moves in steps to (toX, toY) and makes a few small
// moves there, as a hand does, so that drag sources and targets hear of the drag; the main loop
// runs between the steps. The button stays down: the caller lets go. False if xdotool failed.
// With KORVEL_TEST_SHOTS set, a picture of the screen named `shot` is taken before letting go.
bool dragPointer(int fromX, int fromY, int toX, int toY, const std::string& shot);
}  // namespace testenv
