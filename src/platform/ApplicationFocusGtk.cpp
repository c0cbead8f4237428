#include "platform/ApplicationFocus.h"

#include <gtk/gtk.h>

#include <utility>
#include <vector>

namespace ApplicationFocus {

bool menuIsOpen() {
  GdkDisplay* display = gdk_display_get_default();
  GdkSeat* seat = display ? gdk_display_get_default_seat(display) : nullptr;
  GdkDevice* pointer = seat ? gdk_seat_get_pointer(seat) : nullptr;
  return pointer && gdk_display_device_is_grabbed(display, pointer);
}

bool windowHasFocus() {
  if (!gdk_display_get_default()) return false;
  GList* windows = gtk_window_list_toplevels();
  bool active = false;
  for (GList* w = windows; w && !active; w = w->next) active = gtk_window_is_active(GTK_WINDOW(w->data));
  g_list_free(windows);
  return active;
}

bool hasFocus() { return windowHasFocus() || menuIsOpen(); }

struct Watch::Impl {
  std::function<void()> left;
  // Held, so that a window destroyed meanwhile can still be asked about its handler.
  std::vector<std::pair<GtkWindow*, gulong>> windows;
  guint settle = 0;

  static void changed(GtkWindow*, GParamSpec*, Impl* impl) {
    if (impl->settle) g_source_remove(impl->settle);
    // Between two of the program's windows the focus is with neither for a moment.
    impl->settle = g_timeout_add(150, +[](gpointer p) -> gboolean {
      auto* impl = static_cast<Impl*>(p);
      impl->settle = 0;
      // A copy: `left` may end the watch.
      if (auto left = impl->left; left && !hasFocus()) left();
      return G_SOURCE_REMOVE;
    }, impl);
  }
};

Watch::Watch(std::function<void()> left) : impl_(std::make_unique<Impl>()) {
  impl_->left = std::move(left);
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w; w = w->next) {
    GtkWindow* window = GTK_WINDOW(g_object_ref(w->data));
    gulong handler = g_signal_connect(window, "notify::is-active", G_CALLBACK(Impl::changed), impl_.get());
    impl_->windows.emplace_back(window, handler);
  }
  g_list_free(windows);
}

Watch::~Watch() {
  if (impl_->settle) g_source_remove(impl_->settle);
  for (auto [window, handler] : impl_->windows) {
    if (g_signal_handler_is_connected(window, handler)) g_signal_handler_disconnect(window, handler);
    g_object_unref(window);
  }
}

}  // namespace ApplicationFocus
