// The preview's window over GTK. X11 places windows where asked; under Wayland positions are
// the compositor's and moves do nothing.
#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <tuple>
#include <utility>

#include "foundation/Menu.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"
#include "preview/PreviewFollowing.h"
#include "preview/PreviewMenu.h"
#include "preview/PreviewWindow.h"
#include "preview/PreviewWindowController.h"
#include "preview/SpringAnimation.h"
#include "ui/MenuAccelerator.h"

struct PreviewWindow::Impl {
  // None once detached: the window may outlive its controller by a turn of the main loop.
  PreviewWindowController* controller;
  GtkWidget* window = nullptr;
  GtkWidget* overlay = nullptr;
  GtkWidget* content = nullptr;
  GtkWidget* rotateButton = nullptr;
  GtkWidget* settingsButton = nullptr;
  GtkWidget* liveButton = nullptr;
  GtkWidget* popup = nullptr;
  std::unique_ptr<SpringAnimation> spring;
  std::function<void()> springDone;
  guint tick = 0;
  gint64 lastFrameTime = 0;
  // The size we last asked for: configure events of any other size are the person's resize.
  std::optional<std::pair<int, int>> requested;
  // Where we last sent the window.
  std::optional<PreviewFollowing::Point> requestedOrigin;
  // Where the window stands, or was last sent. GTK answers a hidden window's position from its
  // own last request, which our moves of the mapped window never update.
  std::optional<PreviewFollowing::Point> place;
  void moveTo(PreviewFollowing::Point to) {
    place = to;
    gtk_window_move(GTK_WINDOW(window), to.x, to.y);
  }
  guint settleTimer = 0;
  GtkWidget* document = nullptr;
  gulong activeHandler = 0;
  guint activeTimer = 0;
  int activeTries = 0;
  gulong documentMoveHandler = 0;
  std::function<void(bool)> documentActive;
  PreviewFollowing following;
  // Position and size before full screen.
  std::optional<std::tuple<int, int, int, int>> beforeFullScreen;
  // Mapped again on the way in or out of full screen, until it has the focus back (or a while).
  guint remapTimer = 0;
  // Mapped once: from then on the window manager's frame around it is known.
  bool framed = false;
  // When korvel last asked the window manager to move, size or map the window. Its answers may
  // come in more than one configure event, the last of them some time after the first.
  gint64 lastRequest = 0;
  static constexpr gint64 answerTime = G_USEC_PER_SEC;
  void asked() { lastRequest = g_get_monotonic_time(); }
  bool answerDue() const { return lastRequest && g_get_monotonic_time() - lastRequest < answerTime; }

  explicit Impl(PreviewWindowController& c) : controller(&c) {}
};

namespace {

GtkWidget* buildMenu(PreviewWindowController& controller, PreviewMenu& model) {
  GtkWidget* menu = gtk_menu_new();
  for (const auto& item : model.items()) {
    if (item->isSeparator) {
      gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_separator_menu_item_new());
      continue;
    }
    bool enabled = item->submenu() ? true : controller.validateMenuItem(*item);
    GtkWidget* widget;
    if (item->submenu()) {
      widget = gtk_menu_item_new_with_label(item->title.c_str());
      gtk_menu_item_set_submenu(GTK_MENU_ITEM(widget), buildMenu(controller, *item->submenu()));
    } else {
      // A check box shows an option's state; an action has none, and an empty box would read as off.
      if (item->isAction) {
        widget = gtk_menu_item_new_with_label(item->title.c_str());
      } else {
        widget = gtk_check_menu_item_new_with_label(item->title.c_str());
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(widget), item->checked);
        gtk_check_menu_item_set_draw_as_radio(GTK_CHECK_MENU_ITEM(widget), FALSE);
      }
      // The model owns the item; the menu lives shorter than the model's rebuild.
      std::weak_ptr<PreviewMenuItem> weak = item;
      auto* data = new std::pair<PreviewWindowController*, std::weak_ptr<PreviewMenuItem>>(&controller, weak);
      g_signal_connect_data(
          widget, "activate", reinterpret_cast<GCallback>(+[](GtkWidget*, gpointer p) {
            auto* pair = static_cast<std::pair<PreviewWindowController*, std::weak_ptr<PreviewMenuItem>>*>(p);
            if (auto it = pair->second.lock()) pair->first->perform(*it);
          }),
          data, +[](gpointer p, GClosure*) { delete static_cast<std::pair<PreviewWindowController*, std::weak_ptr<PreviewMenuItem>>*>(p); },
          GConnectFlags(0));
    }
    if (guint key = MenuAccelerator::keyFor(item->keyEquivalent.c_str())) {
      int mods = 0;
      if (item->modifierMask & ModifierCommand) mods |= GDK_CONTROL_MASK;
      if (item->modifierMask & ModifierControl) mods |= GDK_SUPER_MASK;
      if (item->modifierMask & ModifierOption) mods |= GDK_MOD1_MASK;
      if (item->modifierMask & ModifierShift) mods |= GDK_SHIFT_MASK;
      GtkWidget* label = gtk_bin_get_child(GTK_BIN(widget));
      if (GTK_IS_ACCEL_LABEL(label)) gtk_accel_label_set_accel(GTK_ACCEL_LABEL(label), key, GdkModifierType(mods));
    }
    gtk_widget_set_sensitive(widget, enabled && item->enabled);
    gtk_widget_set_name(widget, item->title.c_str());
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), widget);
  }
  gtk_widget_show_all(menu);
  return menu;
}

PreviewFollowing::Point originOf(GtkWindow* window) {
  int x = 0, y = 0;
  gtk_window_get_position(window, &x, &y);
  return {x, y};
}

// A key as the menus write their key equivalents, with the menus' modifier flags.
std::string keyText(guint keyval) {
  if (keyval >= GDK_KEY_F1 && keyval <= GDK_KEY_F24) {
    char buffer[8] = {};
    g_unichar_to_utf8(0xF704 + (keyval - GDK_KEY_F1), buffer);
    return buffer;
  }
  gunichar c = gdk_keyval_to_unicode(gdk_keyval_to_lower(keyval));
  if (!c || g_unichar_iscntrl(c)) return {};
  char buffer[8] = {};
  g_unichar_to_utf8(c, buffer);
  return buffer;
}

std::uint32_t modifierMask(guint state) {
  std::uint32_t mask = 0;
  // The menus' Command is Control here, and their Control is Super.
  if (state & GDK_CONTROL_MASK) mask |= ModifierCommand;
  if (state & GDK_SUPER_MASK) mask |= ModifierControl;
  if (state & GDK_MOD1_MASK) mask |= ModifierOption;
  if (state & GDK_SHIFT_MASK) mask |= ModifierShift;
  return mask;
}

bool isArrow(guint keyval) {
  switch (keyval) {
    case GDK_KEY_Up: case GDK_KEY_Down: case GDK_KEY_Left: case GDK_KEY_Right:
    case GDK_KEY_KP_Up: case GDK_KEY_KP_Down: case GDK_KEY_KP_Left: case GDK_KEY_KP_Right:
      return true;
    default:
      return false;
  }
}

bool pointerButtonHeld(GtkWidget* widget) {
  GdkDisplay* display = gtk_widget_get_display(widget);
  GdkDevice* pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(display));
  GdkModifierType mask{};
  gdk_window_get_device_position(gdk_screen_get_root_window(gtk_widget_get_screen(widget)), pointer, nullptr, nullptr, &mask);
  return mask & (GDK_BUTTON1_MASK | GDK_BUTTON2_MASK | GDK_BUTTON3_MASK | GDK_BUTTON4_MASK | GDK_BUTTON5_MASK);
}

// The pointer is over the window's frame (title bar included).
bool pointerOnFrame(GtkWidget* window) {
  GdkWindow* gdk = gtk_widget_get_window(window);
  if (!gdk) return false;
  GdkDevice* pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(gtk_widget_get_display(window)));
  int x = 0, y = 0;
  gdk_window_get_device_position(gdk_screen_get_root_window(gtk_widget_get_screen(window)), pointer, &x, &y, nullptr);
  GdkRectangle frame{};
  gdk_window_get_frame_extents(gdk, &frame);
  return x >= frame.x && y >= frame.y && x < frame.x + frame.width && y < frame.y + frame.height;
}

// A pointer button is down over the window's frame: the person holds the window (by its title
// bar, to drag it). The pointer moves with a window being dragged.
bool personHolds(GtkWidget* window) { return pointerButtonHeld(window) && pointerOnFrame(window); }

bool isPlaced(GtkWidget* window) {
  GdkWindow* gdk = gtk_widget_get_window(window);
  if (!gdk) return true;
  auto state = gdk_window_get_state(gdk);
  return !(state & (GDK_WINDOW_STATE_FULLSCREEN | GDK_WINDOW_STATE_MAXIMIZED));
}

// Mapped, as the display has it too.
bool isOnScreen(GtkWidget* window) {
  GdkWindow* gdk = gtk_widget_get_window(window);
  return gtk_widget_get_mapped(window) && gdk && !(gdk_window_get_state(gdk) & GDK_WINDOW_STATE_WITHDRAWN);
}

// The focus has settled once nothing about it changed for a while and nothing that could change
// it waits: no button held (the person dragging a window, a click whose release opens a menu), no
// event of the display still unread (a menu's grab, the focus coming in), the focus not on its way
// to the preview, the preview not being mapped again for full screen. A display that never falls
// quiet is taken as settled after a while.
constexpr guint focusSettleInterval = 100;  // ms
constexpr int focusSettleTries = 30;

// Neither window has the focus and the pointer rests on the preview: the person pressed on it (its
// title bar, to drag it), and the window manager, slow under load, may give it the focus only
// after the document window has lost it.
bool focusMayComeToPreview(GtkWidget* document, GtkWidget* preview) {
  return gtk_widget_get_mapped(preview) && !gtk_window_is_active(GTK_WINDOW(document)) &&
         !gtk_window_is_active(GTK_WINDOW(preview)) && pointerOnFrame(preview);
}

// The active window stands on `owner` (an alert, a sheet or a panel of it, at any depth).
bool activeWindowStandsOn(GtkWindow* owner) {
  GList* windows = gtk_window_list_toplevels();
  GtkWindow* active = nullptr;
  for (GList* w = windows; w && !active; w = w->next)
    if (gtk_window_is_active(GTK_WINDOW(w->data))) active = GTK_WINDOW(w->data);
  g_list_free(windows);
  for (GtkWindow* w = active ? gtk_window_get_transient_for(active) : nullptr; w; w = gtk_window_get_transient_for(w))
    if (w == owner) return true;
  return false;
}

// What the window manager's frame adds to the window's size; nothing before it is mapped.
struct Decoration {
  int width = 0, height = 0;
};
Decoration decorationOf(GtkWindow* window) {
  GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(window));
  if (!gdk || !gtk_widget_get_mapped(GTK_WIDGET(window))) return {};
  GdkRectangle extents{};
  gdk_window_get_frame_extents(gdk, &extents);
  int w = 0, h = 0;
  gtk_window_get_size(window, &w, &h);
  return {std::max(0, extents.width - w), std::max(0, extents.height - h)};
}

PreviewWindow::Rect rectOf(GtkWindow* window) {
  int x = 0, y = 0, w = 0, h = 0;
  gtk_window_get_position(window, &x, &y);
  gtk_window_get_size(window, &w, &h);
  return {double(x), double(y), double(w), double(h) + PreviewWindow::chromeOf(window)};
}

// The origins at which the whole frame of `window` lies on its screen's work area.
std::optional<PreviewFollowing::Area> followingArea(GtkWindow* window) {
  auto area = PreviewWindow::screenFrameOf(window);
  if (!area) return std::nullopt;
  auto frame = rectOf(window);
  int left = int(area->x), top = int(area->y);
  int right = int(area->x + area->width - decorationOf(window).width - frame.width);
  int bottom = int(area->y + area->height - frame.height);
  return PreviewFollowing::Area{left, top, std::max(left, right), std::max(top, bottom)};
}

}  // namespace

PreviewWindow::PreviewWindow(PreviewWindowController& controller, GtkWidget* content)
    : impl_(std::make_unique<Impl>(controller)) {
  impl_->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  g_object_ref_sink(impl_->window);
  GtkWindow* w = GTK_WINDOW(impl_->window);
  gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_UTILITY);
  gtk_window_set_title(w, "No Selection");
  gtk_window_set_role(w, "preview");
  gtk_window_set_default_size(w, 375, 667);
  gtk_widget_set_name(impl_->window, "preview-window");

  impl_->overlay = gtk_overlay_new();
  gtk_container_add(GTK_CONTAINER(impl_->overlay), content);
  impl_->content = content;
  GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 2);
  gtk_widget_set_halign(bar, GTK_ALIGN_END);
  gtk_widget_set_valign(bar, GTK_ALIGN_START);
  gtk_widget_set_margin_top(bar, 4);
  gtk_widget_set_margin_end(bar, 4);
  impl_->rotateButton = gtk_button_new_from_icon_name("object-rotate-right-symbolic", GTK_ICON_SIZE_BUTTON);
  gtk_widget_set_tooltip_text(impl_->rotateButton, "Rotate");
  gtk_widget_set_name(impl_->rotateButton, "rotate");
  impl_->settingsButton = gtk_button_new_from_icon_name("emblem-system-symbolic", GTK_ICON_SIZE_BUTTON);
  gtk_widget_set_tooltip_text(impl_->settingsButton, "Device and preview settings");
  gtk_widget_set_name(impl_->settingsButton, "settings");
  impl_->liveButton = gtk_button_new_with_label("Live");
  gtk_widget_set_tooltip_text(impl_->liveButton, "Share the preview live");
  gtk_widget_set_name(impl_->liveButton, "live");
  gtk_box_pack_start(GTK_BOX(bar), impl_->liveButton, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(bar), impl_->rotateButton, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(bar), impl_->settingsButton, FALSE, FALSE, 0);
  gtk_overlay_add_overlay(GTK_OVERLAY(impl_->overlay), bar);
  gtk_container_add(GTK_CONTAINER(impl_->window), impl_->overlay);
  gtk_widget_show_all(impl_->overlay);

  g_signal_connect(impl_->rotateButton, "clicked", reinterpret_cast<GCallback>(+[](GtkWidget*, Impl* impl) {
                     if (impl->controller) impl->controller->orientationButtonPressed();
                   }),
                   impl_.get());
  g_signal_connect(impl_->liveButton, "clicked", reinterpret_cast<GCallback>(+[](GtkWidget* button, Impl* impl) {
                     if (impl->controller) impl->controller->mirrorPopover.toggleVisible(button);
                   }),
                   impl_.get());
  g_signal_connect(impl_->settingsButton, "clicked", reinterpret_cast<GCallback>(+[](GtkWidget*, PreviewWindow* self) {
                     self->popUpSettingsMenu();
                   }),
                   this);
  // Placed before the window manager framed it; now its title bar and borders count.
  g_signal_connect(impl_->window, "map-event", reinterpret_cast<GCallback>(+[](GtkWidget*, GdkEvent*, Impl* impl) -> gboolean {
                     if (impl->controller && !std::exchange(impl->framed, true)) impl->controller->windowDidMap();
                     return FALSE;
                   }),
                   impl_.get());
  // Whatever shows the window first (the menu, the editor, a popover, full screen) loads its page.
  g_signal_connect(impl_->window, "show", reinterpret_cast<GCallback>(+[](GtkWidget*, Impl* impl) {
                     if (impl->controller) impl->controller->windowWillShow();
                   }),
                   impl_.get());
  // Closing hides: the panel closes alone, and the document keeps it for the next show.
  g_signal_connect(impl_->window, "delete-event", reinterpret_cast<GCallback>(+[](GtkWidget* widget, GdkEvent*, Impl* impl) -> gboolean {
                     if (impl->controller) impl->controller->windowWillClose();
                     gtk_widget_hide(widget);
                     return TRUE;
                   }),
                   impl_.get());
  g_signal_connect(impl_->window, "window-state-event",
                   reinterpret_cast<GCallback>(+[](GtkWidget*, GdkEventWindowState* event, PreviewWindow* self) -> gboolean {
                     // Mapped again on the way in and out of full screen: a hidden window's state says nothing.
                     if (event->new_window_state & GDK_WINDOW_STATE_WITHDRAWN) return FALSE;
                     self->fullScreen_ = event->new_window_state & GDK_WINDOW_STATE_FULLSCREEN;
                     return FALSE;
                   }),
                   this);
  // The person's move (see PreviewFollowing) ends the following: the preview stays where it was
  // put. A window not on screen has no place yet: what it reports is where it is to go, or was.
  g_signal_connect(impl_->window, "configure-event", reinterpret_cast<GCallback>(+[](GtkWidget* w, GdkEventConfigure*, Impl* impl) -> gboolean {
                     if (!isOnScreen(w) || !isPlaced(w)) return FALSE;
                     impl->place = originOf(GTK_WINDOW(w));
                     if (impl->controller && impl->following.previewMoved(*impl->place, personHolds(w), impl->answerDue()))
                       RWLog("Preview moved by the person; it stays where it was put", 1);
                     return FALSE;
                   }),
                   impl_.get());
  // However it goes (its close button, its document in the background, full screen), the place
  // it is shown at next is news.
  g_signal_connect(impl_->window, "unmap", reinterpret_cast<GCallback>(+[](GtkWidget*, Impl* impl) {
                     impl->following.hidden();
                   }),
                   impl_.get());
  g_signal_connect(impl_->window, "map", reinterpret_cast<GCallback>(+[](GtkWidget*, Impl* impl) {
                     impl->following.shown();
                   }),
                   impl_.get());
  g_signal_connect(impl_->window, "key-press-event", reinterpret_cast<GCallback>(+[](GtkWidget* w, GdkEventKey* key, Impl* impl) -> gboolean {
                     if (!impl->controller) return FALSE;
                     std::uint32_t mask = modifierMask(key->state & gtk_accelerator_get_default_mod_mask());
                     if (!key->is_modifier && impl->controller->performKeyEquivalent(keyText(key->keyval), mask)) return TRUE;
                     // Other keys take the window's own road, then the main menu's.
                     if (!isArrow(key->keyval)) return FALSE;
                     // Arrows nothing used go nowhere: not to the focus moving between the buttons.
                     GtkWindow* window = GTK_WINDOW(w);
                     if (!gtk_window_activate_key(window, key)) gtk_window_propagate_key_event(window, key);
                     return TRUE;
                   }),
                   impl_.get());
  g_signal_connect(impl_->window, "notify::is-active", reinterpret_cast<GCallback>(+[](GtkWindow* w, GParamSpec*, Impl* impl) {
                     if (impl->remapTimer && gtk_window_is_active(w)) {
                       g_source_remove(impl->remapTimer);
                       impl->remapTimer = 0;
                     }
                     // The focus moving on to the preview, or off it, is part of the document's change.
                     if (impl->activeTimer) settleDocumentFocus(impl);
                     if (!impl->controller) return;
                     if (gtk_window_is_active(w))
                       impl->controller->windowDidBecomeKey();
                     else
                       impl->controller->windowDidResignKey();
                   }),
                   impl_.get());
  // X11 gives no say in a live resize: once the person's resize settles, the window snaps.
  // Full screen or maximized, the size is the window manager's.
  g_signal_connect(impl_->window, "configure-event", reinterpret_cast<GCallback>(+[](GtkWidget* w, GdkEventConfigure* e, Impl* impl) -> gboolean {
                     if (!impl->controller || impl->spring || !isPlaced(w) ||
                         (impl->requested && impl->requested->first == e->width && impl->requested->second == e->height))
                       return FALSE;
                     if (impl->settleTimer) g_source_remove(impl->settleTimer);
                     impl->settleTimer = g_timeout_add(250, +[](gpointer p) -> gboolean {
                       auto* impl = static_cast<Impl*>(p);
                       impl->settleTimer = 0;
                       GtkWindow* w = GTK_WINDOW(impl->window);
                       auto frame = rectOf(w);
                       auto size = impl->controller->windowWillResize({frame.width, frame.height});
                       double chrome = PreviewWindow::chromeOf(w);
                       int width = int(size.width), height = int(size.height - chrome);
                       impl->requested = {width, height};
                       impl->asked();
                       gtk_window_resize(w, std::max(width, 1), std::max(height, 1));
                       return G_SOURCE_REMOVE;
                     }, impl);
                     return FALSE;
                   }),
                   impl_.get());
}

void PreviewWindow::detach() {
  impl_->controller = nullptr;
  impl_->documentActive = nullptr;
  impl_->springDone = nullptr;
  for (guint* timer : {&impl_->settleTimer, &impl_->activeTimer, &impl_->remapTimer}) {
    if (*timer) g_source_remove(*timer);
    *timer = 0;
  }
  if (impl_->popup) gtk_widget_destroy(impl_->popup);
  impl_->popup = nullptr;
}

PreviewWindow::~PreviewWindow() {
  // A destroyed document window has dropped its handlers already.
  for (gulong handler : {impl_->activeHandler, impl_->documentMoveHandler})
    if (handler && g_signal_handler_is_connected(impl_->document, handler)) g_signal_handler_disconnect(impl_->document, handler);
  if (impl_->document) g_object_unref(impl_->document);
  if (impl_->activeTimer) g_source_remove(impl_->activeTimer);
  if (impl_->tick) gtk_widget_remove_tick_callback(impl_->window, impl_->tick);
  if (impl_->settleTimer) g_source_remove(impl_->settleTimer);
  if (impl_->remapTimer) g_source_remove(impl_->remapTimer);
  if (impl_->popup) gtk_widget_destroy(impl_->popup);
  gtk_widget_destroy(impl_->window);
  g_object_unref(impl_->window);
}

GtkWindow* PreviewWindow::window() const { return GTK_WINDOW(impl_->window); }

void PreviewWindow::setTransientFor(GtkWindow* parent) {
  gtk_window_set_transient_for(window(), parent);
  gtk_window_set_destroy_with_parent(window(), TRUE);
}

void PreviewWindow::setTitle(const std::string& title) { gtk_window_set_title(window(), title.c_str()); }

void PreviewWindow::present(bool makeKey) {
  if (!gtk_widget_get_mapped(impl_->window)) impl_->asked();
  gtk_widget_show(impl_->window);
  if (makeKey)
    gtk_window_present(window());
  else
    gdk_window_show_unraised(gtk_widget_get_window(impl_->window));
}

void PreviewWindow::orderBelow() {
  if (!gtk_widget_get_mapped(impl_->window)) impl_->asked();
  gtk_widget_show(impl_->window);
  if (GdkWindow* w = gtk_widget_get_window(impl_->window)) gdk_window_lower(w);
}

void PreviewWindow::hide() { gtk_widget_hide(impl_->window); }

// Keeps its place in the layout either way; only its drawing waits.
void PreviewWindow::setContentDrawn(bool drawn) {
  gtk_widget_set_child_visible(impl_->content, drawn);
  gtk_widget_queue_resize(impl_->content);
}

bool PreviewWindow::isActive() const { return gtk_window_is_active(window()); }

void PreviewWindow::observeDocumentWindow(GtkWindow* document, std::function<void(bool)> changed) {
  if (impl_->document) return;
  impl_->document = GTK_WIDGET(g_object_ref(document));
  impl_->documentActive = std::move(changed);
  impl_->activeHandler = g_signal_connect(document, "notify::is-active", reinterpret_cast<GCallback>(+[](GObject*, GParamSpec*, Impl* impl) {
    settleDocumentFocus(impl);
  }), impl_.get());
  impl_->documentMoveHandler = g_signal_connect(document, "configure-event", reinterpret_cast<GCallback>(+[](GtkWidget* d, GdkEventConfigure*, Impl* impl) -> gboolean {
    if (!impl->controller) return FALSE;
    auto to = impl->following.documentMoved(originOf(GTK_WINDOW(d)), followingArea(GTK_WINDOW(impl->window)));
    if (to && isPlaced(impl->window)) {
      impl->asked();
      impl->moveTo(*to);
    }
    return FALSE;
  }), impl_.get());
}

void PreviewWindow::followDocumentWindow() {
  std::optional<PreviewFollowing::Point> document;
  if (impl_->document) document = originOf(GTK_WINDOW(impl_->document));
  auto at = impl_->requestedOrigin ? *impl_->requestedOrigin : originOf(window());
  impl_->following.placed(at, document);
}

bool PreviewWindow::isFollowingDocumentWindow() const { return impl_->following.isFollowing(); }

bool PreviewWindow::hasMovesUnderWay() const { return impl_->following.pendingMoves() > 0 || impl_->answerDue(); }

bool PreviewWindow::isVisible() const { return gtk_widget_get_visible(impl_->window); }

void PreviewWindow::setKeepAbove(bool above) { gtk_window_set_keep_above(window(), above); }

// Window managers make no utility window full screen, and read a window's type only when it
// is mapped: the preview goes full screen as a normal window, mapped again, and comes back as a
// utility window where it was.
void PreviewWindow::toggleFullscreen() {
  GtkWindow* w = window();
  bool mapped = gtk_widget_get_mapped(impl_->window);
  if (fullScreen_) {
    if (mapped) gtk_widget_hide(impl_->window);
    gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_UTILITY);
    gtk_window_unfullscreen(w);
    if (impl_->beforeFullScreen) {
      auto [x, y, width, height] = *impl_->beforeFullScreen;
      impl_->moveTo({x, y});
      gtk_window_resize(w, width, height);
    }
  } else {
    int x = 0, y = 0, width = 0, height = 0;
    gtk_window_get_position(w, &x, &y);
    gtk_window_get_size(w, &width, &height);
    impl_->beforeFullScreen = {x, y, width, height};
    if (mapped) gtk_widget_hide(impl_->window);
    gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_NORMAL);
  }
  // Stated at once: the window manager answers later, and a second toggle before it must undo this one.
  fullScreen_ = !fullScreen_;
  if (mapped) {
    if (impl_->remapTimer) g_source_remove(impl_->remapTimer);
    impl_->remapTimer = g_timeout_add(1000, +[](gpointer p) -> gboolean {
      static_cast<Impl*>(p)->remapTimer = 0;
      return G_SOURCE_REMOVE;
    }, impl_.get());
    present(true);
  }
  // Asked of the mapped window: openbox keeps no full screen that a window is mapped with.
  if (fullScreen_) gtk_window_fullscreen(w);
}

void PreviewWindow::setRotationEnabled(bool enabled) { gtk_widget_set_sensitive(impl_->rotateButton, enabled); }

void PreviewWindow::settleDocumentFocus(Impl* impl) {
  if (impl->activeTimer) g_source_remove(impl->activeTimer);
  impl->activeTries = 0;
  impl->activeTimer = g_timeout_add(focusSettleInterval, +[](gpointer p) -> gboolean {
    auto* impl = static_cast<Impl*>(p);
    // While a button is held (the person dragging a window, the window manager holding the
    // pointer) the focus has not settled: ask again once it is let go. Nor while the preview is
    // mapped again for full screen.
    if (pointerButtonHeld(impl->window) || impl->remapTimer) return G_SOURCE_CONTINUE;
    if ((gtk_events_pending() || focusMayComeToPreview(impl->document, impl->window)) && ++impl->activeTries < focusSettleTries)
      return G_SOURCE_CONTINUE;
    impl->activeTimer = 0;
    GtkWindow* document = GTK_WINDOW(impl->document);
    // An alert or a panel over the document window, or over the preview, leaves the document
    // the person's: the preview stays.
    bool active = gtk_window_is_active(document) || activeWindowStandsOn(document) ||
                  activeWindowStandsOn(GTK_WINDOW(impl->window));
    if (impl->documentActive) impl->documentActive(active);
    return G_SOURCE_REMOVE;
  }, impl);
}

PreviewWindow::Rect PreviewWindow::frame() const {
  Rect frame = rectOf(window());
  if (impl_->place && !gtk_widget_get_mapped(impl_->window)) {
    frame.x = impl_->place->x;
    frame.y = impl_->place->y;
  }
  return frame;
}
double PreviewWindow::chrome() const { return chromeOf(window()); }
std::optional<PreviewWindow::Rect> PreviewWindow::screenFrame() const {
  auto area = screenFrameOf(window());
  return area ? std::optional<Rect>(insetForBorders(*area)) : std::nullopt;
}

PreviewWindow::Rect PreviewWindow::insetForBorders(Rect workArea) const {
  workArea.width -= decorationOf(window()).width;
  return workArea;
}

void PreviewWindow::setFrame(const Rect& frame) {
  GtkWindow* w = window();
  int width = std::max(1, int(frame.width)), height = std::max(1, int(frame.height - chrome()));
  impl_->requested = {width, height};
  impl_->requestedOrigin = PreviewFollowing::Point{int(frame.x), int(frame.y)};
  impl_->following.willMove(*impl_->requestedOrigin);
  impl_->asked();
  impl_->moveTo(*impl_->requestedOrigin);
  gtk_window_resize(w, width, height);
}

void PreviewWindow::animateFrame(const Rect& from, const Rect& to, std::function<void()> done) {
  impl_->spring = std::make_unique<SpringAnimation>(from, to);
  impl_->springDone = std::move(done);
  impl_->lastFrameTime = 0;
  if (impl_->tick) return;
  impl_->tick = gtk_widget_add_tick_callback(
      impl_->window,
      +[](GtkWidget*, GdkFrameClock* clock, gpointer p) -> gboolean {
        auto* self = static_cast<PreviewWindow*>(p);
        auto& impl = *self->impl_;
        gint64 now = gdk_frame_clock_get_frame_time(clock);
        double dt = impl.lastFrameTime ? double(now - impl.lastFrameTime) / 1e6 : 1.0 / 60;
        impl.lastFrameTime = now;
        bool rest = impl.spring->step(dt);
        self->setFrame(impl.spring->value());
        if (!rest) return G_SOURCE_CONTINUE;
        impl.spring.reset();
        impl.tick = 0;
        if (auto done = std::move(impl.springDone)) done();
        return G_SOURCE_REMOVE;
      },
      this, nullptr);
}

bool PreviewWindow::isAnimating() const { return impl_->spring != nullptr; }

void PreviewWindow::stopAnimating() {
  if (impl_->tick) gtk_widget_remove_tick_callback(impl_->window, impl_->tick);
  impl_->tick = 0;
  impl_->spring.reset();
  impl_->springDone = nullptr;
}

void PreviewWindow::setGeometry(Size ratio, Size minimum) {
  GdkGeometry g{};
  g.min_width = int(std::ceil(minimum.width));
  g.min_height = int(std::ceil(minimum.height));
  int hints = GDK_HINT_MIN_SIZE;
  if (ratio.width > 0 && ratio.height > 0) {
    auto limits = PreviewSizing::aspectLimits(ratio);
    g.min_aspect = limits.least;
    g.max_aspect = limits.greatest;
    // Without a base size the window manager takes the minimum as the base and keeps the ratio
    // of what lies beyond it: 384 × 512 came out 384 × 511.
    g.base_width = g.base_height = 0;
    hints |= GDK_HINT_ASPECT | GDK_HINT_BASE_SIZE;
  }
  gtk_window_set_geometry_hints(window(), nullptr, &g, GdkWindowHints(hints));
}

void PreviewWindow::popUpSettingsMenu() {
  if (!impl_->controller) return;
  impl_->controller->setupMenu();
  auto menu = impl_->controller->settingsMenu();
  if (!menu) return;
  if (impl_->popup) gtk_widget_destroy(impl_->popup);
  impl_->popup = buildMenu(*impl_->controller, *menu);
  gtk_menu_attach_to_widget(GTK_MENU(impl_->popup), impl_->settingsButton, nullptr);
  gtk_menu_popup_at_widget(GTK_MENU(impl_->popup), impl_->settingsButton, GDK_GRAVITY_SOUTH_EAST,
                           GDK_GRAVITY_NORTH_EAST, nullptr);
}

GtkWidget* PreviewWindow::liveButton() const { return impl_->liveButton; }

PreviewWindow::Rect PreviewWindow::frameOf(GtkWindow* window) { return rectOf(window); }

double PreviewWindow::chromeOf(GtkWindow* window) { return decorationOf(window).height; }

std::optional<PreviewWindow::Rect> PreviewWindow::screenFrameOf(GtkWindow* window) {
  GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
  GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(window));
  GdkMonitor* monitor = gdk ? gdk_display_get_monitor_at_window(display, gdk) : gdk_display_get_primary_monitor(display);
  if (!monitor) monitor = gdk_display_get_monitor(display, 0);
  if (!monitor) return std::nullopt;
  GdkRectangle area{};
  gdk_monitor_get_workarea(monitor, &area);
  return Rect{double(area.x), double(area.y), double(area.width), double(area.height)};
}

void PreviewWindow::setContentMinimum(GtkWindow* window, Size minimum) {
  GdkGeometry g{};
  g.min_width = int(std::ceil(minimum.width));
  g.min_height = int(std::ceil(minimum.height));
  gtk_window_set_geometry_hints(window, nullptr, &g, GDK_HINT_MIN_SIZE);
}
