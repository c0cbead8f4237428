#include "RWSystemIdleTime.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// One private connection to the X server, opened on first use and kept for the run; every
// query holds the lock, since the threads that ask share it.
class IdleConnection {
 public:
  // Never destroyed: the usage timers' threads may ask until the very end of the process, after
  // static destructors have run; the connection closes with the process.
  static IdleConnection& shared() {
    static IdleConnection* connection = new IdleConnection();
    return *connection;
  }

  bool available() const { return display_ != nullptr; }

  // Milliseconds since the last input.
  std::optional<unsigned long> idleMilliseconds() {
    if (!display_) return std::nullopt;
    std::lock_guard lock(mutex_);
    XScreenSaverInfo* info = XScreenSaverAllocInfo();
    if (!info) return std::nullopt;
    std::optional<unsigned long> out;
    if (XScreenSaverQueryInfo(display_, DefaultRootWindow(display_), info)) out = info->idle;
    XFree(info);
    return out;
  }

 private:
  IdleConnection() {
    auto name = RWSystemIdleTime::displayFor(std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"),
                                             std::getenv("XDG_SESSION_TYPE"));
    if (!name) return;
    display_ = XOpenDisplay(name->c_str());
    if (!display_) return;
    int event = 0, error = 0;
    if (!XScreenSaverQueryExtension(display_, &event, &error)) {
      XCloseDisplay(display_);
      display_ = nullptr;
    }
  }

  Display* display_ = nullptr;
  std::mutex mutex_;
};

}  // namespace

std::optional<std::string> RWSystemIdleTime::displayFor(const char* display, const char* waylandDisplay,
                                                        const char* sessionType) {
  if (waylandDisplay && *waylandDisplay) return std::nullopt;
  if (sessionType && std::strcmp(sessionType, "wayland") == 0) return std::nullopt;
  if (!display || !*display) return std::nullopt;
  return std::string(display);
}

RWSystemIdleTime* RWSystemIdleTime::sharedInstance() {
  static RWSystemIdleTime* instance = IdleConnection::shared().available() ? new RWSystemIdleTime() : nullptr;
  return instance;
}

bool RWSystemIdleTime::startTracking() {
  return sharedInstance() != nullptr;
}

std::uint64_t RWSystemIdleTime::secondsIdle() {
  auto* instance = sharedInstance();
  return instance ? secondsFromNanoseconds(instance->timeIdle()) : 0;
}

std::uint64_t RWSystemIdleTime::timeIdle() const {
  auto milliseconds = IdleConnection::shared().idleMilliseconds();
  return milliseconds ? std::uint64_t(*milliseconds) * 1'000'000u : 0;
}

std::optional<double> getSystemIdleTime() {
  auto milliseconds = IdleConnection::shared().idleMilliseconds();
  if (!milliseconds) return std::nullopt;
  return double(*milliseconds) / 1000.0;
}
