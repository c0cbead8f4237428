#include <gtk/gtk.h>

#include <algorithm>

#include "platform/RunLoop.h"
#include "ui/ClickableView.h"

ClickableView::ClickableView() : widget_(gtk_event_box_new()) {
  g_object_ref_sink(widget_);
  gtk_widget_add_events(widget_, GDK_BUTTON_PRESS_MASK | GDK_ENTER_NOTIFY_MASK);
  auto onButtonPressEvent = +[](GtkWidget* w, GdkEventButton* e, gpointer self) -> gboolean {
    // Every press comes as a plain press first; the toolkit's double and triple presses that
    // follow it repeat that press, so they are not counted again.
    if (e->button != 1 || e->type != GDK_BUTTON_PRESS) return TRUE;
    int ms = 400, distance = 5;
    g_object_get(gtk_widget_get_settings(w), "gtk-double-click-time", &ms, "gtk-double-click-distance", &distance, nullptr);
    static_cast<ClickableView*>(self)->press({e->time, e->x_root, e->y_root, e->button}, std::uint32_t(std::max(ms, 0)),
                                             distance);
    return TRUE;  // the click goes no further
  };
  g_signal_connect(widget_, "button-press-event", G_CALLBACK(onButtonPressEvent), this);
  auto onEnterNotifyEvent = +[](GtkWidget* w, GdkEventCrossing*, gpointer) -> gboolean {
    if (GdkWindow* window = gtk_widget_get_window(w)) {
      GdkCursor* arrow = gdk_cursor_new_from_name(gtk_widget_get_display(w), "default");
      gdk_window_set_cursor(window, arrow);
      if (arrow) g_object_unref(arrow);
    }
    return FALSE;
  };
  g_signal_connect(widget_, "enter-notify-event", G_CALLBACK(onEnterNotifyEvent), this);
  gtk_widget_show(widget_);
}

ClickableView::~ClickableView() {
  pendingClick_.reset();
  g_signal_handlers_disconnect_by_data(widget_, this);
  gtk_widget_destroy(widget_);
  g_object_unref(widget_);
}
