#include "UrlOpener.h"

#include <gio/gio.h>

#include "platform/RWLog.h"

namespace {
std::function<void(const std::string&)>& handler() {
  static std::function<void(const std::string&)> h;
  return h;
}
}  // namespace

void UrlOpener::open(const std::string& url) {
  if (handler()) {
    handler()(url);
    return;
  }
  GError* error = nullptr;
  if (!g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) {
    RWLog(std::string("Could not open address: ") + (error ? error->message : "unknown error"), 3);
    g_clear_error(&error);
  }
}

void UrlOpener::setHandler(std::function<void(const std::string&)> h) { handler() = std::move(h); }
