#pragma once
// What tests of hosted pages share: the toolkit started once, the stand-in editor of the source
// tree in place of the installed one, and waits on the main loop.

#include <gtk/gtk.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "foundation/AppInfo.h"
#include "platform/RunLoop.h"

namespace guitest {

inline void initGtk() {
  static bool done = [] { return gtk_init_check(nullptr, nullptr); }();
  (void)done;
}

// AppInfo with the editor folder pointed at the source tree's stand-in.
inline void useStandInEditor() {
  auto dir = std::filesystem::path(KORVEL_SOURCE_DIR) / "resources" / "Ostrel";
  AppInfo::setCurrent(std::make_shared<AppInfo>("Korvel", "Korvel", dir));
}

inline bool waitFor(const std::function<bool()>& done, double timeout = 30) { return RunLoop::runUntil(done, timeout); }

}  // namespace guitest
