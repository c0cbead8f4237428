#include "WindowShake.h"

#include <gtk/gtk.h>

#include <cmath>

#include "platform/GObjectPtr.h"

namespace {

struct Shake {
  GObjectPtr<GtkWindow> window;
  int x = 0, y = 0;
  std::vector<int> offsets;
  std::size_t step = 0;
};

gboolean step(gpointer data) {
  auto* shake = static_cast<Shake*>(data);
  GtkWidget* widget = GTK_WIDGET(shake->window.get());
  if (shake->step >= shake->offsets.size() || gtk_widget_in_destruction(widget)) return G_SOURCE_REMOVE;
  gtk_window_move(shake->window.get(), shake->x + shake->offsets[shake->step++], shake->y);
  return shake->step < shake->offsets.size() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

}  // namespace

std::vector<int> WindowShake::offsets(int width) {
  int d = static_cast<int>(std::lround(0.01 * width));
  return {-d, d, -d, -d, d, -d, 0};
}

void WindowShake::shake(GtkWindow* window) {
  if (!window) return;
  auto* shake = new Shake{GObjectPtr<GtkWindow>::retain(window), 0, 0, {}, 0};
  gtk_window_get_position(window, &shake->x, &shake->y);
  int width = 0, height = 0;
  gtk_window_get_size(window, &width, &height);
  shake->offsets = offsets(width);
  auto interval = static_cast<guint>(duration * 1000 / static_cast<double>(shake->offsets.size() - 1));
  g_timeout_add_full(G_PRIORITY_DEFAULT, interval, step, shake, [](gpointer p) { delete static_cast<Shake*>(p); });
}
