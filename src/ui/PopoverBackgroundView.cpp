#include "PopoverBackgroundView.h"

#include <gtk/gtk.h>

#include "platform/UrlOpener.h"

struct PopoverBackgroundView::Signals {
  static void hierarchyChanged(GtkWidget*, GtkWidget*, gpointer self) {
    static_cast<PopoverBackgroundView*>(self)->viewDidMoveToWindow();
  }
  static const char* linkOf(GtkWidget* area) {
    return static_cast<const char*>(g_object_get_data(G_OBJECT(area), "korvel-link"));
  }
  static PopoverBackgroundView* viewOf(GtkWidget* area) {
    return static_cast<PopoverBackgroundView*>(g_object_get_data(G_OBJECT(area), "korvel-link-view"));
  }
  static gboolean enter(GtkWidget* area, GdkEventCrossing*, gpointer) {
    if (auto* view = viewOf(area)) {
      view->mouseEntered(std::string(linkOf(area)));
      if (view->hover_.wantsPointingHand(std::string(linkOf(area))) && gtk_widget_get_window(area)) {
        GdkCursor* hand = gdk_cursor_new_from_name(gtk_widget_get_display(area), "pointer");
        gdk_window_set_cursor(gtk_widget_get_window(area), hand);
        if (hand) g_object_unref(hand);
      }
    }
    return FALSE;
  }
  static gboolean leave(GtkWidget* area, GdkEventCrossing*, gpointer) {
    if (auto* view = viewOf(area)) view->mouseExited(std::string(linkOf(area)));
    return FALSE;
  }
  static gboolean press(GtkWidget* area, GdkEventButton* event, gpointer) {
    auto* view = viewOf(area);
    if (!view) return FALSE;
    if (event->button == GDK_BUTTON_SECONDARY) {
      auto link = view->hover_.contextMenuLink();
      if (!link) return FALSE;
      GtkWidget* menu = gtk_menu_new();
      GtkWidget* item = gtk_menu_item_new_with_label("Copy Link");
      g_object_set_data_full(G_OBJECT(item), "korvel-link", g_strdup(link->c_str()), g_free);
      g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem* i, gpointer) {
                         copyLink(static_cast<const char*>(g_object_get_data(G_OBJECT(i), "korvel-link")));
                       }), nullptr);
      gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
      gtk_widget_show_all(menu);
      gtk_menu_attach_to_widget(GTK_MENU(menu), area, nullptr);
      gtk_menu_popup_at_pointer(GTK_MENU(menu), reinterpret_cast<GdkEvent*>(event));
      return TRUE;
    }
    if (event->button == GDK_BUTTON_PRIMARY) view->mouseDown();
    return FALSE;
  }
  static gboolean release(GtkWidget* area, GdkEventButton* event, gpointer) {
    auto* view = viewOf(area);
    if (!view || event->button != GDK_BUTTON_PRIMARY) return FALSE;
    // GTK sends the release to the pressed widget even outside it: ask where the pointer is.
    GtkAllocation box;
    gtk_widget_get_allocation(area, &box);
    bool inside = event->x >= 0 && event->y >= 0 && event->x < box.width && event->y < box.height;
    if (!inside) view->mouseExited(std::string(linkOf(area)));
    view->mouseUp();
    return FALSE;
  }
};

PopoverBackgroundView::PopoverBackgroundView() : widget_(gtk_event_box_new()) {
  g_object_ref_sink(widget_);
  gtk_widget_set_name(widget_, "popover-background");
  g_signal_connect(widget_, "hierarchy-changed", G_CALLBACK(Signals::hierarchyChanged), this);
}

PopoverBackgroundView::~PopoverBackgroundView() {
  g_signal_handlers_disconnect_by_data(widget_, this);
  setPopover(nullptr);
  if (cssProvider_) g_object_unref(cssProvider_);
  g_object_unref(widget_);
}

void PopoverBackgroundView::setPopover(GtkWidget* popover) {
  if (popover_) g_object_remove_weak_pointer(G_OBJECT(popover_), reinterpret_cast<gpointer*>(&popover_));
  popover_ = popover;
  if (popover_) g_object_add_weak_pointer(G_OBJECT(popover_), reinterpret_cast<gpointer*>(&popover_));
}

void PopoverBackgroundView::viewDidMoveToWindow() {
  GtkWidget* frame = gtk_widget_get_ancestor(widget_, GTK_TYPE_POPOVER);
  if (!frame) {
    GtkWidget* top = gtk_widget_get_toplevel(widget_);
    if (!gtk_widget_is_toplevel(top)) return;
    frame = top;
  }
  Color color = backgroundColor_.value_or(ColorConstants::kWhite());
  std::string css = "* { background-color: " + color.hexColorString() + "; }";
  auto* provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, css.c_str(), -1, nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(frame), GTK_STYLE_PROVIDER(provider),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  if (cssProvider_) g_object_unref(cssProvider_);
  cssProvider_ = provider;
}

void PopoverBackgroundView::addLinkArea(GtkWidget* area, const std::string& url) {
  g_object_set_data_full(G_OBJECT(area), "korvel-link", g_strdup(url.c_str()), g_free);
  g_object_set_data(G_OBJECT(area), "korvel-link-view", this);
  gtk_widget_add_events(area, GDK_ENTER_NOTIFY_MASK | GDK_LEAVE_NOTIFY_MASK | GDK_BUTTON_PRESS_MASK |
                                  GDK_BUTTON_RELEASE_MASK);
  g_signal_connect(area, "enter-notify-event", G_CALLBACK(Signals::enter), nullptr);
  g_signal_connect(area, "leave-notify-event", G_CALLBACK(Signals::leave), nullptr);
  g_signal_connect(area, "button-press-event", G_CALLBACK(Signals::press), nullptr);
  g_signal_connect(area, "button-release-event", G_CALLBACK(Signals::release), nullptr);
}

void PopoverBackgroundView::copyLink(const std::string& url) {
  gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), url.c_str(), -1);
}

void PopoverBackgroundView::mouseEntered(const std::optional<std::string>& link) { hover_.entered(link); }
void PopoverBackgroundView::mouseExited(const std::optional<std::string>& link) { hover_.exited(link); }

void PopoverBackgroundView::mouseUp() {
  auto link = hover_.mouseUp();
  if (!link) return;
  UrlOpener::open(*link);
  if (popover_) {
    gtk_popover_popdown(GTK_POPOVER(popover_));
    hover_.reset();  // a closing popover sends no leave
  }
}
