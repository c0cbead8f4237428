#include "ui/MirrorPopoverViewController.h"

#include <gtk/gtk.h>

#include <algorithm>

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
      "popover.mirror-popover.light { background-color: " +
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
    return FALSE;
  }
  static void closed(GtkPopover*, MirrorPopoverViewController* self) { self->shown_ = false; }
  // A window that goes leaves its popovers behind, unparented: this one is done.
  static void toplevelDestroyed(GtkWidget* toplevel, MirrorPopoverViewController* self) {
    g_signal_handler_disconnect(toplevel, self->toplevelHandler_);
    g_object_remove_weak_pointer(G_OBJECT(toplevel), reinterpret_cast<gpointer*>(&self->toplevel_));
    self->toplevelHandler_ = 0;
    self->toplevel_ = nullptr;
    self->shown_ = false;
  }
  static void destroyed(GtkWidget*, MirrorPopoverViewController* self) {
    self->shown_ = false;
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
  popover_ = gtk_popover_new(anchor);
  g_object_ref_sink(popover_);
  anchor_ = anchor;
  g_object_add_weak_pointer(G_OBJECT(anchor_), reinterpret_cast<gpointer*>(&anchor_));
  toplevel_ = gtk_widget_get_toplevel(anchor);
  g_object_add_weak_pointer(G_OBJECT(toplevel_), reinterpret_cast<gpointer*>(&toplevel_));
  toplevelHandler_ = g_signal_connect(toplevel_, "destroy", G_CALLBACK(Signals::toplevelDestroyed), this);
  gtk_widget_set_name(popover_, "live-sharing");
  gtk_style_context_add_class(gtk_widget_get_style_context(popover_), "mirror-popover");
  gtk_popover_set_position(GTK_POPOVER(popover_), GTK_POS_BOTTOM);

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
  g_signal_connect(popover_, "closed", G_CALLBACK(Signals::closed), this);


  applyAppearance();
  std::weak_ptr<bool> alive = alive_;
  AppAppearance::shared().observeHandlers.push_back([alive, this] {
    if (!alive.expired()) applyAppearance();
  });
}

MirrorPopoverViewController::~MirrorPopoverViewController() {
  *alive_ = false;
  if (anchor_) g_object_remove_weak_pointer(G_OBJECT(anchor_), reinterpret_cast<gpointer*>(&anchor_));
  if (toplevel_) {
    g_signal_handler_disconnect(toplevel_, toplevelHandler_);
    g_object_remove_weak_pointer(G_OBJECT(toplevel_), reinterpret_cast<gpointer*>(&toplevel_));
  }
  g_signal_handlers_disconnect_by_data(popover_, this);
  if (stack_) gtk_widget_destroy(popover_);
  g_object_unref(popover_);
  g_object_unref(buttonWidths_);
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
  gtk_popover_set_default_widget(GTK_POPOVER(popover_),
                                 state.kind == MirrorPopoverState::Kind::available ? view->button : nullptr);
  gtk_stack_set_visible_child_name(GTK_STACK(stack_), view->name.c_str());
}

void MirrorPopoverViewController::popup(GtkWidget* anchor) {
  if (!stack_ || !anchor) return;
  if (anchor != anchor_) {
    if (anchor_) g_object_remove_weak_pointer(G_OBJECT(anchor_), reinterpret_cast<gpointer*>(&anchor_));
    anchor_ = anchor;
    g_object_add_weak_pointer(G_OBJECT(anchor_), reinterpret_cast<gpointer*>(&anchor_));
    gtk_popover_set_relative_to(GTK_POPOVER(popover_), anchor);
  }
  // Beside the button's bounds moved 2 pixels along; a button not on screen yet is pointed at whole.
  if (gtk_widget_get_mapped(anchor)) {
    GdkRectangle box{2, 0, gtk_widget_get_allocated_width(anchor), gtk_widget_get_allocated_height(anchor)};
    gtk_popover_set_pointing_to(GTK_POPOVER(popover_), &box);
  }
  // Opened again while it still fades out, the toolkit's popover ends its fade hidden; it is put
  // away at once so that this opening shows it.
  if (!shown_ && gtk_widget_get_visible(popover_)) gtk_widget_hide(popover_);
  gtk_popover_popup(GTK_POPOVER(popover_));
  gtk_widget_grab_focus(stack_);
  shown_ = true;
}

void MirrorPopoverViewController::popdown() {
  shown_ = false;
  if (stack_) gtk_popover_popdown(GTK_POPOVER(popover_));
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
