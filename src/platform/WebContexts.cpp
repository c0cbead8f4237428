#include "WebContexts.h"

#include <webkit2/webkit2.h>

namespace WebContexts {

namespace {

WebKitMemoryPressureSettings* limitSettings() {
  WebKitMemoryPressureSettings* settings = webkit_memory_pressure_settings_new();
  webkit_memory_pressure_settings_set_memory_limit(settings, unsigned(webProcessLimit >> 20));
  webkit_memory_pressure_settings_set_conservative_threshold(settings, 1.0 / 3);
  webkit_memory_pressure_settings_set_strict_threshold(settings, 0.5);
  webkit_memory_pressure_settings_set_poll_interval(settings, pollSeconds);
  return settings;
}

}  // namespace

WebKitWebContext* makeLimited() {
  // The network process holds what pages fetch (pictures as blobs) too; set before the first
  // one starts.
  static bool networkLimited = [] {
    WebKitMemoryPressureSettings* settings = limitSettings();
    webkit_website_data_manager_set_memory_pressure_settings(settings);
    webkit_memory_pressure_settings_free(settings);
    return true;
  }();
  (void)networkLimited;
  WebKitMemoryPressureSettings* settings = limitSettings();
  auto* context = WEBKIT_WEB_CONTEXT(g_object_new(WEBKIT_TYPE_WEB_CONTEXT, "memory-pressure-settings", settings, nullptr));
  webkit_memory_pressure_settings_free(settings);
  return context;
}

WebKitWebContext* pages() {
  static WebKitWebContext* context = makeLimited();  // lives as long as the process
  return context;
}

}  // namespace WebContexts
