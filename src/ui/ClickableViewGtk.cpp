#include <gtk/gtk.h>

#include "platform/RunLoop.h"
#include "ui/ClickableView.h"

ClickableView::ClickableView() : widget_(gtk_event_box_new()) {
  g_object_ref_sink(widget_);
  gtk_widget_add_events(widget_, GDK_BUTTON_PRESS_MASK | GDK_ENTER_NOTIFY_MASK);
  auto onButtonPressEvent = +[](GtkWidget* w, GdkEventButton* e, gpointer self) -> gboolean {
    if (e->button != 1) return TRUE;
    int count = e->type == GDK_BUTTON_PRESS ? 1 : e->type == GDK_2BUTTON_PRESS ? 2 : 3;
    int ms = 400;
    g_object_get(gtk_widget_get_settings(w), "gtk-double-click-time", &ms, nullptr);
    static_cast<ClickableView*>(self)->mouseDown(count, ms / 1000.0);
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
