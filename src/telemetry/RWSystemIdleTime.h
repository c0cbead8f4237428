#pragma once
// How long ago the user last used the keyboard or the pointer, from the X server's screen-saver
// extension. Under Wayland, and without a display, there is no source: RWSystemIdleTime is then
// never made, secondsIdle() answers 0 and getSystemIdleTime() none. Any thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class RWSystemIdleTime {
 public:
  // The one reader; none when there is no source. Made once.
  static RWSystemIdleTime* sharedInstance();
  static bool startTracking();
  // sharedInstance's timeIdle in units of 2^30 ns (not quite seconds); 0 without one.
  static std::uint64_t secondsIdle();
  static std::uint64_t secondsFromNanoseconds(std::uint64_t nanoseconds) { return nanoseconds >> 30; }

  // Nanoseconds since the last input; 0 when it cannot be read.
  std::uint64_t timeIdle() const;

  // The X display to ask, from DISPLAY, WAYLAND_DISPLAY and XDG_SESSION_TYPE; none under
  // Wayland (whose X server sees only its own clients' input) and without a display.
  static std::optional<std::string> displayFor(const char* display, const char* waylandDisplay,
                                               const char* sessionType);

 private:
  RWSystemIdleTime() = default;
};

// Seconds since the last input; none when there is no source or it cannot be read.
std::optional<double> getSystemIdleTime();
