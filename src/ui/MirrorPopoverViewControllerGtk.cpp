#include "ui/MirrorPopoverViewController.h"

#include <gtk/gtk.h>

#include <algorithm>

#include "platform/PointerPresses.h"
#include "platform/UrlOpener.h"
#include "ui/AppAppearance.h"
#include "ui/MirrorPopover.h"

namespace {

constexpr const char* viewNames[] = {"available", "starting", "active", "stopping", "error"};
constexpr const char* linkPhrase = "open in browser";

std::string escaped(const std::string& text) {
  gchar* e = g_markup_escape_text(text.c_str(), -1);
  std::string out = e;
  g_free(e);
  return out;
}

// One style for every popover of the kind; the link colour and the light background follow the
// application's mode.
void updateStyle() {
  static GtkCssProvider* provider = nullptr;
  if (!provider) {
    provider = gtk_css_provider_new();
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(provider),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  }
  std::string css =
      "window.mirror-popover { border: 1px solid alpha(black, 0.25); }\n"
      "window.mirror-popover.light { background-color: " +
      AppAppearance::Colors::welcomeBackground().hexColorString() +
      "; }\n"
      ".mirror-popover .mirror-title { font-weight: 600; font-size: 13pt; }\n"
      ".mirror-popover .mirror-message { font-size: 11pt; color: #999999; }\n"
      ".mirror-popover .mirror-message link { color: " +
      AppAppearance::Colors::popoverLink().hexColorString() +
      "; }\n"
      ".mirror-popover button.mirror-main { font-size: 11pt; }\n";
  gtk_css_provider_load_from_data(provider, css.c_str(), -1, nullptr);
}

}  // namespace

// What a "Copy Address" menu item reaches: the view controller while it lives.
using CopyTarget = std::pair<std::weak_ptr<bool>, MirrorPopoverViewController*>;

struct MirrorPopoverViewController::StateView {
  std::string name;
  GtkWidget* box = nullptr;
  GtkWidget* title = nullptr;
  GtkWidget* message = nullptr;
  GtkWidget* button = nullptr;
  GtkWidget* qr = nullptr;  // the active view only
};

struct MirrorPopoverViewController::Signals {
  static void clicked(GtkButton*, MirrorPopoverViewController* self) { self->owner_.performMainAction(); }
  static gboolean activateLink(GtkLabel*, const gchar* uri, MirrorPopoverViewController*);
  static gboolean drawQR(GtkWidget* area, cairo_t* cr, MirrorPopoverViewController* self) {
    if (!self->qrCode_) return FALSE;
    int w = gtk_widget_get_allocated_width(area), h = gtk_widget_get_allocated_height(area);
    double side = std::min({w, h, qrSide});
    self->qrCode_->draw(cr, (w - side) / 2, (h - side) / 2, side);
    return FALSE;
  }
  static gboolean qrPressed(GtkWidget* area, GdkEventButton* event, MirrorPopoverViewController* self) {
    if (event->type != GDK_BUTTON_PRESS || event->button != GDK_BUTTON_SECONDARY || !self->qrCode_) return FALSE;
    GtkWidget* menu = gtk_menu_new();
    GtkWidget* item = gtk_menu_item_new_with_label("Copy Address");
    std::weak_ptr<bool> alive = self->alive_;
    auto* data = new CopyTarget(alive, self);
    g_signal_connect_data(item, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer p) {
                            auto* pair = static_cast<CopyTarget*>(p);
                            if (!pair->first.expired() && pair->second->owner_.copyAddress) pair->second->owner_.copyAddress();
                          }),
                          data, +[](gpointer p, GClosure*) {
                            delete static_cast<CopyTarget*>(p);
                          },
                          GConnectFlags(0));
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    gtk_widget_show_all(menu);
    gtk_menu_attach_to_widget(GTK_MENU(menu), area, nullptr);
    gtk_menu_popup_at_pointer(GTK_MENU(menu), reinterpret_cast<GdkEvent*>(event));
    return TRUE;
  }
  static gboolean keyPressed(GtkWidget*, GdkEventKey* event, MirrorPopoverViewController* self) {
    bool control = event->state & GDK_CONTROL_MASK;
    if (control && (event->keyval == GDK_KEY_c || event->keyval == GDK_KEY_C) && self->owner_.copyAddress) {
      self->owner_.copyAddress();
      return TRUE;
    }
    // Escape, and the close command, close the popover alone.
    if (event->keyval == GDK_KEY_Escape || (control && (event->keyval == GDK_KEY_w || event->keyval == GDK_KEY_W))) {
      self->popdown();
      return TRUE;
    }
    return FALSE;
  }
  // Keys typed in the anchor's window while the popover is up go to the popover, before the
  // window's own handlers and its focused widget see them. What the popover leaves of a plain
  // key ends there, as at a popover with the keyboard; shortcuts go on to the window's menus.
  static gboolean toplevelKey(GtkEventControllerKey*, guint, guint, GdkModifierType state,
                              MirrorPopoverViewController* self) {
    if (!self->shown_) return FALSE;
    GdkEvent* event = gtk_get_current_event();
    if (!event) return FALSE;
    gboolean handled = gtk_widget_event(self->popover_, event);
    gdk_event_free(event);
    constexpr auto shortcut = GDK_CONTROL_MASK | GDK_MOD1_MASK | GDK_SUPER_MASK | GDK_META_MASK;
    return handled || !(state & shortcut);
  }
  // It stays with its button: moved with its window, put away when that window is.
  static gboolean toplevelMoved(GtkWidget*, GdkEvent*, MirrorPopoverViewController* self) {
    if (self->shown_) self->place();
    return FALSE;
  }
  // A new state's view, or a new size of the button's window: it stays centred under its button.
  static void resized(GtkWidget*, GdkRectangle*, MirrorPopoverViewController* self) {
    if (self->shown_) self->place();
  }
  static void toplevelHidden(GtkWidget*, MirrorPopoverViewController* self) {
    if (self->shown_) self->popdown();
  }
  // A window that goes leaves its popovers behind, unparented: this one is done.
  static void toplevelDestroyed(GtkWidget* toplevel, MirrorPopoverViewController* self) {
    g_signal_handlers_disconnect_by_data(toplevel, self);
    g_object_remove_weak_pointer(G_OBJECT(toplevel), reinterpret_cast<gpointer*>(&self->toplevel_));
    self->toplevel_ = nullptr;
    self->shown_ = false;
    self->focusWatch_.reset();
    self->presses_.reset();
    self->releaseKeys();
  }
  static void destroyed(GtkWidget*, MirrorPopoverViewController* self) {
    self->shown_ = false;
    self->focusWatch_.reset();
    self->presses_.reset();
    // The window went, and the popover with it; the owner makes a new one next time.
    self->stack_ = nullptr;
    for (auto& v : self->views_) v.reset();
    self->toplevel_ = nullptr;
  }
};

gboolean MirrorPopoverViewController::Signals::activateLink(GtkLabel*, const gchar* uri, MirrorPopoverViewController*) {
  if (uri) UrlOpener::open(uri);
  return TRUE;
}

const char* MirrorPopoverViewController::viewName(MirrorPopoverState::Kind kind) {
  switch (kind) {
    case MirrorPopoverState::Kind::available: return "available";
    case MirrorPopoverState::Kind::starting: return "starting";
    case MirrorPopoverState::Kind::active: return "active";
    case MirrorPopoverState::Kind::stopping: return "stopping";
    default: return "error";
  }
}

MirrorPopoverViewController::MirrorPopoverViewController(MirrorPopover& owner, GtkWidget* anchor) : owner_(owner) {
  updateStyle();
  // A window of its own: a window's popovers are clipped by it, and the whole popover shows
  // beside a preview smaller than it.
  popover_ = gtk_window_new(GTK_WINDOW_POPUP);
  g_object_ref_sink(popover_);
  anchor_ = anchor;
  g_object_add_weak_pointer(G_OBJECT(anchor_), reinterpret_cast<gpointer*>(&anchor_));
  toplevel_ = gtk_widget_get_toplevel(anchor);
  g_object_add_weak_pointer(G_OBJECT(toplevel_), reinterpret_cast<gpointer*>(&toplevel_));
  g_signal_connect(toplevel_, "destroy", G_CALLBACK(Signals::toplevelDestroyed), this);
  // Ahead of every handler of the window: a document window's own takes each key it sees.
  keys_.reset(gtk_event_controller_key_new(toplevel_));
  gtk_event_controller_set_propagation_phase(keys_.get(), GTK_PHASE_CAPTURE);
  g_signal_connect(keys_.get(), "key-pressed", G_CALLBACK(Signals::toplevelKey), this);
  g_signal_connect(toplevel_, "configure-event", G_CALLBACK(Signals::toplevelMoved), this);
  // After the window's children have their new places.
  g_signal_connect_after(toplevel_, "size-allocate", G_CALLBACK(Signals::resized), this);
  g_signal_connect(toplevel_, "unmap", G_CALLBACK(Signals::toplevelHidden), this);
  if (GTK_IS_WINDOW(toplevel_)) {
    gtk_window_set_transient_for(GTK_WINDOW(popover_), GTK_WINDOW(toplevel_));
    gtk_window_set_destroy_with_parent(GTK_WINDOW(popover_), TRUE);
  }
  gtk_window_set_type_hint(GTK_WINDOW(popover_), GDK_WINDOW_TYPE_HINT_POPUP_MENU);
  gtk_window_set_resizable(GTK_WINDOW(popover_), FALSE);
  gtk_widget_set_name(popover_, "live-sharing");
  gtk_style_context_add_class(gtk_widget_get_style_context(popover_), "mirror-popover");

  stack_ = gtk_stack_new();
  // The popover's focus rests on its content, so keys go to the popover: Return to the default
  // button, Control-C to the copy.
  gtk_widget_set_can_focus(stack_, TRUE);
  gtk_stack_set_transition_type(GTK_STACK(stack_), GTK_STACK_TRANSITION_TYPE_CROSSFADE);
  gtk_stack_set_hhomogeneous(GTK_STACK(stack_), TRUE);
  gtk_stack_set_vhomogeneous(GTK_STACK(stack_), FALSE);
  gtk_stack_set_interpolate_size(GTK_STACK(stack_), TRUE);
  buttonWidths_ = gtk_size_group_new(GTK_SIZE_GROUP_HORIZONTAL);

  for (int i = 0; i < 5; ++i) {
    auto view = std::make_unique<StateView>();
    view->name = viewNames[i];
    bool active = view->name == "active";
    view->box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_widget_set_size_request(view->box, width, -1);
    gtk_widget_set_name(view->box, view->name.c_str());

    view->title = gtk_label_new(MirrorPopoverState::title().c_str());
    gtk_style_context_add_class(gtk_widget_get_style_context(view->title), "mirror-title");
    gtk_widget_set_margin_top(view->title, 8);
    gtk_widget_set_margin_start(view->title, 20);
    gtk_widget_set_margin_end(view->title, 20);

    view->message = gtk_label_new("");
    gtk_style_context_add_class(gtk_widget_get_style_context(view->message), "mirror-message");
    gtk_label_set_line_wrap(GTK_LABEL(view->message), TRUE);
    gtk_label_set_justify(GTK_LABEL(view->message), GTK_JUSTIFY_CENTER);
    gtk_label_set_max_width_chars(GTK_LABEL(view->message), 1);
    gtk_label_set_track_visited_links(GTK_LABEL(view->message), FALSE);
    // The link is for the pointer: a focused link would take the Return meant for "Start".
    gtk_widget_set_can_focus(view->message, FALSE);
    gtk_widget_set_size_request(view->message, width - 40, -1);
    gtk_widget_set_margin_top(view->message, 10);
    gtk_widget_set_margin_start(view->message, 20);
    gtk_widget_set_margin_end(view->message, 20);
    g_signal_connect(view->message, "activate-link", G_CALLBACK(Signals::activateLink), this);

    // Every button as wide as the QR code, so all five match.
    view->button = gtk_button_new_with_label("");
    gtk_style_context_add_class(gtk_widget_get_style_context(view->button), "mirror-main");
    gtk_widget_set_name(view->button, "main");
    gtk_widget_set_halign(view->button, GTK_ALIGN_CENTER);
    gtk_widget_set_size_request(view->button, qrSide, -1);
    gtk_widget_set_can_default(view->button, TRUE);
    // Return goes to the default button alone, never to a focused "Stop".
    gtk_widget_set_can_focus(view->button, FALSE);
    gtk_widget_set_sensitive(view->button, FALSE);
    gtk_widget_set_margin_top(view->button, 15);
    gtk_widget_set_margin_bottom(view->button, active ? 0 : 8);
    g_signal_connect(view->button, "clicked", G_CALLBACK(Signals::clicked), this);
    gtk_size_group_add_widget(GTK_SIZE_GROUP(buttonWidths_), view->button);

    gtk_box_pack_start(GTK_BOX(view->box), view->title, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(view->box), view->message, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(view->box), view->button, FALSE, FALSE, 0);
    if (active) {
      view->qr = gtk_drawing_area_new();
      gtk_widget_set_name(view->qr, "qr");
      gtk_widget_set_size_request(view->qr, qrSide, qrSide);
      gtk_widget_set_halign(view->qr, GTK_ALIGN_CENTER);
      gtk_size_group_add_widget(GTK_SIZE_GROUP(buttonWidths_), view->qr);
      gtk_widget_set_margin_top(view->qr, 35);
      gtk_widget_set_margin_bottom(view->qr, 35);
      gtk_widget_add_events(view->qr, GDK_BUTTON_PRESS_MASK);
      gtk_widget_set_tooltip_text(view->qr, "Right-click to copy the address");
      g_signal_connect(view->qr, "draw", G_CALLBACK(Signals::drawQR), this);
      g_signal_connect(view->qr, "button-press-event", G_CALLBACK(Signals::qrPressed), this);
      gtk_box_pack_start(GTK_BOX(view->box), view->qr, FALSE, FALSE, 0);
    }
    gtk_stack_add_named(GTK_STACK(stack_), view->box, view->name.c_str());
    views_[i] = std::move(view);
  }
  gtk_container_add(GTK_CONTAINER(popover_), stack_);
  gtk_widget_show_all(stack_);

  g_signal_connect(popover_, "key-press-event", G_CALLBACK(Signals::keyPressed), this);
  g_signal_connect(popover_, "destroy", G_CALLBACK(Signals::destroyed), this);
  g_signal_connect(popover_, "size-allocate", G_CALLBACK(Signals::resized), this);


  applyAppearance();
  std::weak_ptr<bool> alive = alive_;
  AppAppearance::shared().observeHandlers.push_back([alive, this] {
    if (!alive.expired()) applyAppearance();
  });
}

MirrorPopoverViewController::~MirrorPopoverViewController() {
  *alive_ = false;
  focusWatch_.reset();
  if (anchor_) g_object_remove_weak_pointer(G_OBJECT(anchor_), reinterpret_cast<gpointer*>(&anchor_));
  if (toplevel_) {
    g_signal_handlers_disconnect_by_data(toplevel_, this);
    g_object_remove_weak_pointer(G_OBJECT(toplevel_), reinterpret_cast<gpointer*>(&toplevel_));
  }
  releaseKeys();
  if (fadeTick_) gtk_widget_remove_tick_callback(popover_, fadeTick_);
  presses_.reset();
  g_signal_handlers_disconnect_by_data(popover_, this);
  if (stack_) gtk_widget_destroy(popover_);
  g_object_unref(popover_);
  g_object_unref(buttonWidths_);
}

void MirrorPopoverViewController::releaseKeys() {
  if (keys_) g_signal_handlers_disconnect_by_data(keys_.get(), this);
  keys_.reset();
}

void MirrorPopoverViewController::applyAppearance() {
  updateStyle();
  GtkStyleContext* style = gtk_widget_get_style_context(popover_);
  if (AppAppearance::shared().isDark())
    gtk_style_context_remove_class(style, "light");
  else
    gtk_style_context_add_class(style, "light");
}

bool MirrorPopoverViewController::canShowAt(GtkWidget* anchor) const {
  return stack_ && toplevel_ && anchor && gtk_widget_get_toplevel(anchor) == toplevel_;
}

MirrorPopoverViewController::StateView* MirrorPopoverViewController::viewFor(const std::string& name) const {
  for (const auto& v : views_)
    if (v && v->name == name) return v.get();
  return nullptr;
}

void MirrorPopoverViewController::reflect(const MirrorPopoverState& state) {
  StateView* view = viewFor(viewName(state.kind));
  if (!view) return;
  std::string message = state.message();
  if (state.kind == MirrorPopoverState::Kind::active) {
    // The words "open in browser" link to the shared address.
    std::string markup;
    auto at = message.find(linkPhrase);
    if (at == std::string::npos) {
      markup = escaped(message);
    } else {
      markup = escaped(message.substr(0, at)) + "<a href=\"" + escaped(state.url) + "\">" + linkPhrase + "</a>" +
               escaped(message.substr(at + std::string(linkPhrase).size()));
    }
    gtk_label_set_markup(GTK_LABEL(view->message), markup.c_str());
    if (linkedURL_ != state.url || !qrCode_) {
      auto code = QRCode::encode(state.url, QRCode::Level::Q);
      qrCode_ = code ? std::optional<QRCode>(std::move(*code)) : std::nullopt;
      linkedURL_ = state.url;
    }
  } else {
    gtk_label_set_text(GTK_LABEL(view->message), message.c_str());
    qrCode_.reset();
    linkedURL_.clear();
  }
  if (GtkWidget* qr = qrView()) gtk_widget_queue_draw(qr);
  gtk_button_set_label(GTK_BUTTON(view->button), state.buttonTitle().c_str());
  gtk_widget_set_sensitive(view->button, state.buttonEnabled());
  // Only "Start" answers the Return key.
  gtk_window_set_default(GTK_WINDOW(popover_), state.kind == MirrorPopoverState::Kind::available ? view->button : nullptr);
  gtk_stack_set_visible_child_name(GTK_STACK(stack_), view->name.c_str());
}

void MirrorPopoverViewController::popup(GtkWidget* anchor) {
  if (!stack_ || !anchor) return;
  if (anchor != anchor_) {
    if (anchor_) g_object_remove_weak_pointer(G_OBJECT(anchor_), reinterpret_cast<gpointer*>(&anchor_));
    anchor_ = anchor;
    g_object_add_weak_pointer(G_OBJECT(anchor_), reinterpret_cast<gpointer*>(&anchor_));
  }
  // Opened again while it still fades out: the fade stops and it shows whole.
  if (fadeTick_) gtk_widget_remove_tick_callback(popover_, fadeTick_);
  fadeTick_ = 0;
  gtk_widget_set_opacity(popover_, 1.0);
  shown_ = true;
  place();
  gtk_widget_show(popover_);
  gtk_widget_grab_focus(stack_);
  focusWatch_ = std::make_unique<ApplicationFocus::Watch>([this] { popdown(); });
  presses_ = std::make_unique<PointerPresses::Watch>([this](int x, int y) {
    if (!covers(x, y)) popdown();
  });
}

MirrorPopoverViewController::Rect MirrorPopoverViewController::frameFor(Rect anchor, int width, int height, Rect screen) {
  // Below the anchor's bounds moved 2 pixels along, centred on them; above them when there is no
  // room below; on the screen.
  constexpr int gap = 4;
  Rect r{anchor.x + 2 + (anchor.width - width) / 2, anchor.y + anchor.height + gap, width, height};
  if (r.y + height > screen.y + screen.height && anchor.y - gap - height >= screen.y) r.y = anchor.y - gap - height;
  r.x = std::max(screen.x, std::min(r.x, screen.x + screen.width - width));
  r.y = std::max(screen.y, std::min(r.y, screen.y + screen.height - height));
  return r;
}

void MirrorPopoverViewController::place() {
  if (!anchor_ || !gtk_widget_get_realized(anchor_)) return;
  GtkWidget* top = gtk_widget_get_toplevel(anchor_);
  GdkWindow* topWindow = gtk_widget_get_window(top);
  if (!topWindow) return;
  int ox = 0, oy = 0, ax = 0, ay = 0;
  gdk_window_get_origin(topWindow, &ox, &oy);
  gtk_widget_translate_coordinates(anchor_, top, 0, 0, &ax, &ay);
  Rect anchor{ox + ax, oy + ay, gtk_widget_get_allocated_width(anchor_), gtk_widget_get_allocated_height(anchor_)};
  // Its own size once it has one, else the size it asks for.
  GtkRequisition natural{};
  if (gtk_widget_get_realized(popover_))
    gtk_window_get_size(GTK_WINDOW(popover_), &natural.width, &natural.height);
  else
    gtk_widget_get_preferred_size(popover_, nullptr, &natural);
  GdkMonitor* monitor = gdk_display_get_monitor_at_window(gtk_widget_get_display(anchor_), topWindow);
  GdkRectangle area{0, 0, 1 << 15, 1 << 15};
  if (monitor) gdk_monitor_get_workarea(monitor, &area);
  Rect at = frameFor(anchor, natural.width, natural.height, {area.x, area.y, area.width, area.height});
  gtk_window_move(GTK_WINDOW(popover_), at.x, at.y);
}

namespace {
bool contains(GtkWidget* widget, int x, int y) {
  GdkWindow* window = widget && gtk_widget_get_mapped(widget) ? gtk_widget_get_window(widget) : nullptr;
  if (!window) return false;
  GtkWidget* top = gtk_widget_get_toplevel(widget);
  int ox = 0, oy = 0, ax = 0, ay = 0;
  gdk_window_get_origin(gtk_widget_get_window(top), &ox, &oy);
  if (widget != top) gtk_widget_translate_coordinates(widget, top, 0, 0, &ax, &ay);
  int w = gtk_widget_get_allocated_width(widget), h = gtk_widget_get_allocated_height(widget);
  return x >= ox + ax && y >= oy + ay && x < ox + ax + w && y < oy + ay + h;
}
}  // namespace

// The popover itself takes its presses; its button toggles it.
bool MirrorPopoverViewController::covers(int x, int y) const { return contains(popover_, x, y) || contains(anchor_, x, y); }

void MirrorPopoverViewController::popdown() {
  bool wasShown = shown_;
  shown_ = false;
  focusWatch_.reset();
  presses_.reset();
  if (!stack_) return;
  if (!wasShown || !gtk_widget_get_visible(popover_) || fadeTick_) return;
  // Fades out, then hides.
  fadeStart_ = 0;
  fadeTick_ = gtk_widget_add_tick_callback(
      popover_,
      +[](GtkWidget* widget, GdkFrameClock* clock, gpointer p) -> gboolean {
        auto* self = static_cast<MirrorPopoverViewController*>(p);
        gint64 now = gdk_frame_clock_get_frame_time(clock);
        if (!self->fadeStart_) self->fadeStart_ = now;
        double t = double(now - self->fadeStart_) / fadeMicroseconds;
        if (t < 1) {
          gtk_widget_set_opacity(widget, 1 - t);
          return G_SOURCE_CONTINUE;
        }
        self->fadeTick_ = 0;
        gtk_widget_hide(widget);
        gtk_widget_set_opacity(widget, 1.0);
        return G_SOURCE_REMOVE;
      },
      this, nullptr);
}

bool MirrorPopoverViewController::isShown() const { return stack_ && toplevel_ && shown_; }

std::string MirrorPopoverViewController::visibleViewName() const {
  if (!stack_) return {};
  const char* name = gtk_stack_get_visible_child_name(GTK_STACK(stack_));
  return name ? name : "";
}

bool MirrorPopoverViewController::isTransitionRunning() const {
  return stack_ && gtk_stack_get_transition_running(GTK_STACK(stack_));
}

GtkWidget* MirrorPopoverViewController::mainButton(const std::string& name) const {
  auto* v = viewFor(name);
  return v ? v->button : nullptr;
}

GtkWidget* MirrorPopoverViewController::message(const std::string& name) const {
  auto* v = viewFor(name);
  return v ? v->message : nullptr;
}

GtkWidget* MirrorPopoverViewController::qrView() const {
  auto* v = viewFor("active");
  return v ? v->qr : nullptr;
}
