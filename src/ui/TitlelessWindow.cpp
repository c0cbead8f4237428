#include "TitlelessWindow.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "ui/WindowShake.h"

namespace {

// The person cannot close it: it has no close control, and the close shortcut does nothing.
gboolean refuseDelete(GtkWidget*, GdkEvent*, gpointer) { return TRUE; }

gboolean dragByBackground(GtkWidget* widget, GdkEventButton* event, gpointer) {
  if (event->type != GDK_BUTTON_PRESS || event->button != GDK_BUTTON_PRIMARY) return FALSE;
  gtk_window_begin_move_drag(GTK_WINDOW(widget), static_cast<gint>(event->button), static_cast<gint>(event->x_root),
                             static_cast<gint>(event->y_root), event->time);
  return TRUE;
}

int channel(double value) { return static_cast<int>(std::lround(std::clamp(value, 0.0, 1.0) * 255)); }

}  // namespace

TitlelessWindow::TitlelessWindow(int width, int height)
    : window_(GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL))), css_(gtk_css_provider_new()), width_(width),
      height_(height) {
  g_object_ref_sink(window_);
  gtk_window_set_decorated(window_, FALSE);
  gtk_window_set_resizable(window_, FALSE);
  gtk_window_set_deletable(window_, FALSE);
  gtk_window_set_default_size(window_, width, height);
  gtk_widget_set_size_request(content_.widget(), width, height);
  gtk_widget_add_events(GTK_WIDGET(window_), GDK_BUTTON_PRESS_MASK);
  g_signal_connect(window_, "delete-event", G_CALLBACK(refuseDelete), nullptr);
  g_signal_connect(window_, "button-press-event", G_CALLBACK(dragByBackground), nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(GTK_WIDGET(window_)), GTK_STYLE_PROVIDER(css_),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  gtk_container_add(GTK_CONTAINER(window_), content_.widget());
}

TitlelessWindow::~TitlelessWindow() {
  gtk_container_remove(GTK_CONTAINER(window_), content_.widget());
  gtk_widget_destroy(GTK_WIDGET(window_));
  g_object_unref(window_);
  g_object_unref(css_);
}

void TitlelessWindow::setTitle(const std::string& title) { gtk_window_set_title(window_, title.c_str()); }

void TitlelessWindow::setBackgroundColor(const Color& color) {
  char css[96];
  std::snprintf(css, sizeof css, "window { background-color: rgba(%d, %d, %d, %.3f); }", channel(color.red),
                channel(color.green), channel(color.blue), std::clamp(color.alpha, 0.0, 1.0));
  gtk_css_provider_load_from_data(css_, css, -1, nullptr);
}

void TitlelessWindow::setLevel(int level) { gtk_window_set_keep_above(window_, level > 0); }

void TitlelessWindow::center() { gtk_window_set_position(window_, GTK_WIN_POS_CENTER); }

void TitlelessWindow::makeKeyAndOrderFront() {
  gtk_widget_show(GTK_WIDGET(window_));
  gtk_window_present(window_);
}

void TitlelessWindow::close() { gtk_widget_hide(GTK_WIDGET(window_)); }

bool TitlelessWindow::isOnScreen() const { return gtk_widget_get_visible(GTK_WIDGET(window_)); }

void TitlelessWindow::shake() { WindowShake::shake(window_); }
