#include "ui/DraggableImageView.h"

#include <gtk/gtk.h>

namespace {

gboolean beginMove(GtkWidget* widget, GdkEventButton* event, gpointer) {
  if (event->type != GDK_BUTTON_PRESS || event->button != GDK_BUTTON_PRIMARY) return FALSE;
  GtkWidget* top = gtk_widget_get_toplevel(widget);
  if (!GTK_IS_WINDOW(top)) return FALSE;
  gtk_window_begin_move_drag(GTK_WINDOW(top), static_cast<gint>(event->button), static_cast<gint>(event->x_root),
                             static_cast<gint>(event->y_root), event->time);
  return TRUE;
}

}  // namespace

DraggableImageView::DraggableImageView(GdkPixbuf* image) : box_(gtk_event_box_new()), image_(gtk_image_new()) {
  g_object_ref_sink(box_);
  gtk_container_add(GTK_CONTAINER(box_), image_);
  gtk_widget_add_events(box_, GDK_BUTTON_PRESS_MASK);
  g_signal_connect(box_, "button-press-event", G_CALLBACK(beginMove), nullptr);
  setImage(image);
  gtk_widget_show_all(box_);
}

DraggableImageView::~DraggableImageView() {
  gtk_widget_destroy(box_);
  g_object_unref(box_);
}

void DraggableImageView::setImage(GdkPixbuf* image) { gtk_image_set_from_pixbuf(GTK_IMAGE(image_), image); }
