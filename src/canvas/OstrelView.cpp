#include "OstrelView.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>

#include "canvas/ContextMenu.h"
#include "foundation/Menu.h"
#include "foundation/SharedNames.h"
#include "platform/Defaults.h"
#include "platform/RunLoop.h"
#include "ui/AppAppearance.h"
#include "ui/MenuAccelerator.h"

namespace {

void setSource(cairo_t* cr, const char* hex) {
  Color c = Color::colorWithHexColorString(std::string(hex));
  cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
}

struct FadeState {
  GtkWidget* widget;
  std::chrono::steady_clock::time_point start;
  unsigned* timer;
};

// One pop-up: the chosen item, if any, and where the answer goes.
struct PopUp;
using ItemTarget = std::pair<std::weak_ptr<PopUp>, MenuItem*>;
struct PopUp {
  std::shared_ptr<Menu> model;
  std::function<void(MenuItem*)> done;
  MenuItem* chosen = nullptr;
  bool answered = false;
};

void itemActivated(GtkMenuItem*, gpointer data) {
  auto* target = static_cast<ItemTarget*>(data);
  if (auto p = target->first.lock()) p->chosen = target->second;
}
void deleteItemTarget(gpointer data, GClosure*) { delete static_cast<ItemTarget*>(data); }

GtkWidget* buildMenu(const Menu& model, const std::shared_ptr<PopUp>& popUp) {
  GtkWidget* menu = gtk_menu_new();
  for (const auto& item : model.items()) {
    GtkWidget* widget;
    if (item->isSeparator) {
      widget = gtk_separator_menu_item_new();
    } else {
      auto* context = dynamic_cast<ContextMenuItem*>(item.get());
      if (context && context->state != ContextMenuItem::State::off) {
        widget = gtk_check_menu_item_new_with_label(item->title.c_str());
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(widget), TRUE);
        gtk_check_menu_item_set_inconsistent(GTK_CHECK_MENU_ITEM(widget),
                                             context->state == ContextMenuItem::State::mixed);
      } else {
        widget = gtk_menu_item_new_with_label(item->title.c_str());
      }
      MenuAccelerator::show(widget, *item);
      gtk_widget_set_sensitive(widget, !item->action.empty() || item->submenu);
      if (item->submenu) {
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(widget), buildMenu(*item->submenu, popUp));
      } else {
        g_signal_connect_data(widget, "activate", G_CALLBACK(itemActivated), new ItemTarget(popUp, item.get()),
                              deleteItemTarget, GConnectFlags(0));
      }
    }
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), widget);
  }
  gtk_widget_show_all(menu);
  return menu;
}

}  // namespace

struct OstrelView::Signals {
  static gboolean draw(GtkWidget* widget, cairo_t* cr, gpointer) {
    bool dark = AppAppearance::shared().isDark();
    double w = gtk_widget_get_allocated_width(widget), h = gtk_widget_get_allocated_height(widget);
    setSource(cr, dark ? "#181818" : "#FBFBFB");
    cairo_paint(cr);
    double x = OstrelView::toolsPanelWidth(Defaults::standard().doubleValue(UserDefaultsTabContentWidth));
    double width = std::max(0.0, w - x - OstrelView::propertyPanelWidth);
    setSource(cr, dark ? "#1F1F1F" : "#FFFFFF");
    cairo_rectangle(cr, x, -1, width, h + 2);
    cairo_fill_preserve(cr);
    setSource(cr, dark ? "#333333" : "#DDDDDD");
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
    return FALSE;
  }
  static gboolean key(GtkWidget*, GdkEventKey* event, gpointer data) {
    auto* self = static_cast<OstrelView*>(data);
    if (!self->keyPressed) return FALSE;
    return self->keyPressed(event->state & GDK_CONTROL_MASK, event->state & GDK_MOD1_MASK,
                            event->state & (GDK_SUPER_MASK | GDK_META_MASK), event->keyval);
  }
  static void zoomBegin(GtkGesture*, GdkEventSequence*, gpointer data) { static_cast<OstrelView*>(data)->lastScale_ = 1.0; }
  static void zoomChanged(GtkGestureZoom* gesture, gdouble scale, gpointer data) {
    auto* self = static_cast<OstrelView*>(data);
    double delta = scale - self->lastScale_;
    self->lastScale_ = scale;
    double x = 0, y = 0;
    gtk_gesture_get_bounding_box_center(GTK_GESTURE(gesture), &x, &y);
    if (self->magnified) self->magnified(delta, x, y);
  }
  static void hierarchy(GtkWidget*, GtkWidget*, gpointer data) {
    auto* self = static_cast<OstrelView*>(data);
    if (self->isInWindow() && self->movedToWindow) self->movedToWindow();
  }
  static gboolean fade(gpointer data) {
    auto* state = static_cast<FadeState*>(data);
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - state->start).count() / 0.25;
    gtk_widget_set_opacity(state->widget, std::min(1.0, t));
    return t < 1.0 ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  }
};

double OstrelView::toolsPanelWidth(double w) { return std::max(w < 1.0 ? 220.0 : w, 130.0) + 44; }

OstrelView::OstrelView(GtkWidget* webView) : root_(gtk_overlay_new()), placeholder_(gtk_drawing_area_new()), webView_(webView) {
  g_object_ref_sink(root_);
  gtk_container_add(GTK_CONTAINER(root_), placeholder_);
  gtk_overlay_add_overlay(GTK_OVERLAY(root_), webView_);
  gtk_widget_set_opacity(webView_, 0.0);
  gtk_widget_set_can_focus(webView_, TRUE);
  drawHandler_ = g_signal_connect(placeholder_, "draw", G_CALLBACK(Signals::draw), this);
  keyHandler_ = g_signal_connect(webView_, "key-press-event", G_CALLBACK(Signals::key), this);
  hierarchyHandler_ = g_signal_connect(root_, "hierarchy-changed", G_CALLBACK(Signals::hierarchy), this);
  GtkGesture* zoom = gtk_gesture_zoom_new(webView_);
  gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(zoom), GTK_PHASE_CAPTURE);
  g_signal_connect(zoom, "begin", G_CALLBACK(Signals::zoomBegin), this);
  g_signal_connect(zoom, "scale-changed", G_CALLBACK(Signals::zoomChanged), this);
  zoom_ = zoom;
  gtk_widget_show_all(root_);
}

OstrelView::~OstrelView() {
  if (fadeTimer_) g_source_remove(fadeTimer_);
  fadeTimer_ = 0;
  g_signal_handlers_disconnect_by_data(static_cast<GtkGesture*>(zoom_), this);
  g_object_unref(static_cast<GtkGesture*>(zoom_));
  g_signal_handler_disconnect(placeholder_, drawHandler_);
  g_signal_handler_disconnect(webView_, keyHandler_);
  g_signal_handler_disconnect(root_, hierarchyHandler_);
  // The web view belongs to its controller; only the overlay goes here.
  if (gtk_widget_get_parent(webView_) == root_) gtk_container_remove(GTK_CONTAINER(root_), webView_);
  gtk_widget_destroy(root_);
  g_object_unref(root_);
}

bool OstrelView::isInWindow() const {
  GtkWidget* top = gtk_widget_get_toplevel(root_);
  return top != root_ && GTK_IS_WINDOW(top);
}

double OstrelView::height() const { return gtk_widget_get_allocated_height(root_); }

void OstrelView::reflectAppAppearance() { gtk_widget_queue_draw(placeholder_); }

void OstrelView::fadeInWebView() {
  if (fadeTimer_) return;
  auto* state = new FadeState{webView_, std::chrono::steady_clock::now(), &fadeTimer_};
  fadeTimer_ = g_timeout_add_full(G_PRIORITY_DEFAULT, 16, Signals::fade, state, [](gpointer data) {
    auto* s = static_cast<FadeState*>(data);
    *s->timer = 0;  // the source is gone, whether it ran out or was removed
    delete s;
  });
}

double OstrelView::webViewOpacity() const { return gtk_widget_get_opacity(webView_); }

void OstrelView::focusWebView() { gtk_widget_grab_focus(webView_); }

void OstrelView::popUpMenu(std::shared_ptr<Menu> model, double x, double y, std::function<void(MenuItem*)> done) {
  auto popUp = std::make_shared<PopUp>(PopUp{model, std::move(done)});
  GtkWidget* menu = buildMenu(*model, popUp);
  gtk_menu_attach_to_widget(GTK_MENU(menu), root_, nullptr);
  auto* held = new std::shared_ptr<PopUp>(popUp);
  // An item's activation follows the menu's deactivation within the same event; answer after it.
  g_signal_connect_data(
      menu, "deactivate", G_CALLBACK(+[](GtkMenuShell* shell, gpointer data) {
        std::weak_ptr<PopUp> weak = *static_cast<std::shared_ptr<PopUp>*>(data);
        GtkWidget* widget = GTK_WIDGET(shell);
        MainQueue::async([weak, widget] {
          auto p = weak.lock();
          if (!p || p->answered) return;
          p->answered = true;
          auto done = std::move(p->done);
          if (done) done(p->chosen);
          gtk_widget_destroy(widget);
        });
      }),
      held, [](gpointer data, GClosure*) { delete static_cast<std::shared_ptr<PopUp>*>(data); }, GConnectFlags(0));
  GdkWindow* window = gtk_widget_get_window(root_);
  GtkAllocation allocation;
  gtk_widget_get_allocation(root_, &allocation);
  GdkRectangle rect{static_cast<int>(x) + (gtk_widget_get_has_window(root_) ? 0 : allocation.x),
                    static_cast<int>(y) + (gtk_widget_get_has_window(root_) ? 0 : allocation.y), 1, 1};
  if (window)
    gtk_menu_popup_at_rect(GTK_MENU(menu), window, &rect, GDK_GRAVITY_NORTH_WEST, GDK_GRAVITY_NORTH_WEST, nullptr);
  else
    gtk_menu_popup_at_pointer(GTK_MENU(menu), nullptr);
}
