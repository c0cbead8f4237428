#include "WindowDragView.h"

#include <gtk/gtk.h>

namespace {

gboolean pressed(GtkWidget* widget, GdkEventButton* event, gpointer) {
  GtkWidget* top = gtk_widget_get_toplevel(widget);
  if (event->type != GDK_BUTTON_PRESS || event->button != GDK_BUTTON_PRIMARY) return TRUE;
  if (!gtk_widget_is_toplevel(top) || !GTK_IS_WINDOW(top)) return TRUE;
  gtk_window_begin_move_drag(GTK_WINDOW(top), static_cast<gint>(event->button), static_cast<gint>(event->x_root),
                             static_cast<gint>(event->y_root), event->time);
  return TRUE;
}

gboolean swallow(GtkWidget*, GdkEvent*, gpointer) { return TRUE; }

}  // namespace

WindowDragView::WindowDragView() : box_(gtk_event_box_new()) {
  g_object_ref_sink(box_);
  // An input-only window: the page below shows through.
  gtk_event_box_set_visible_window(GTK_EVENT_BOX(box_), FALSE);
  gtk_event_box_set_above_child(GTK_EVENT_BOX(box_), TRUE);
  gtk_widget_add_events(box_, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_POINTER_MOTION_MASK);
  g_signal_connect(box_, "button-press-event", G_CALLBACK(pressed), nullptr);
  g_signal_connect(box_, "button-release-event", G_CALLBACK(swallow), nullptr);
  g_signal_connect(box_, "motion-notify-event", G_CALLBACK(swallow), nullptr);
  gtk_widget_show(box_);
}

WindowDragView::~WindowDragView() {
  gtk_widget_destroy(box_);
  g_object_unref(box_);
}
