#include "OffscreenWindow.h"

#include <gtk/gtk.h>

OffscreenWindow::OffscreenWindow(GtkWidget* child, int width, int height)
    : window_(gtk_offscreen_window_new()), child_(child) {
  g_object_ref_sink(window_);
  gtk_window_set_default_size(GTK_WINDOW(window_), width, height);
  gtk_widget_set_size_request(child_, width, height);
  gtk_container_add(GTK_CONTAINER(window_), child_);
  gtk_widget_show_all(window_);
}

OffscreenWindow::~OffscreenWindow() {
  // The child belongs to its owner; only our hold on it goes.
  if (gtk_widget_get_parent(child_) == window_) gtk_container_remove(GTK_CONTAINER(window_), child_);
  gtk_widget_destroy(window_);
  g_object_unref(window_);
}
