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

namespace telemetrytest {

inline void initGtk() {
  static bool done = [] {
    bool ok = gtk_init_check(nullptr, nullptr);
    if (ok) g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE, nullptr);
    return ok;
  }();
  (void)done;
}

inline bool waitFor(const std::function<bool()>& done, double timeout = 20) {
  return RunLoop::runUntil(done, timeout);
}

inline std::optional<nlohmann::json> evaluate(WebView& view, const std::string& script) {
  auto answer = std::make_shared<std::optional<std::optional<nlohmann::json>>>();
  view.evaluateJavaScript(script, [answer](std::optional<nlohmann::json> result, std::optional<Error> error) {
    *answer = error ? std::nullopt : std::move(result);
  });
  waitFor([&] { return answer->has_value(); }, 10);
  return answer->has_value() ? **answer : std::nullopt;
}

}  // namespace telemetrytest
