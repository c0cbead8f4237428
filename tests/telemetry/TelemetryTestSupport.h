#pragma once
// Helpers of the telemetry tests under the virtual display: GTK set up once, waits on the main
// loop, and page scripts answered synchronously.

#include <gtk/gtk.h>

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/RunLoop.h"
#include "platform/WebView.h"
#include "support/EditorTestSupport.h"

namespace telemetrytest {

inline void initGtk() {
  static bool done = [] {
    bool ok = gtk_init_check(nullptr, nullptr);
    if (ok) g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE, nullptr);
    return ok;
  }();
  (void)done;
}

using guitest::evaluate;
using guitest::waitFor;

}  // namespace telemetrytest
