#include "ApplicationActivity.h"

#include <gtk/gtk.h>

#include <atomic>
#include <memory>

#include "platform/RunLoop.h"

namespace {
std::atomic<bool> lastAnswer{false};
}  // namespace

bool ApplicationActivity::isActive() {
  if (!gdk_display_get_default()) return false;
  GList* windows = gtk_window_list_toplevels();
  bool active = false;
  for (GList* item = windows; item && !active; item = item->next) active = gtk_window_is_active(GTK_WINDOW(item->data));
  g_list_free(windows);
  return active;
}

void ApplicationActivity::startFollowing() {
  static std::unique_ptr<Timer> timer = Timer::scheduled(1.0, true, [] { lastAnswer = isActive(); });
}

bool ApplicationActivity::lastKnown() {
  return lastAnswer;
}
