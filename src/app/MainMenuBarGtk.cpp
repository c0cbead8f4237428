#include "app/MainMenuBar.h"

#include <gtk/gtk.h>

#include <string>

#include "app/MainMenu.h"
#include "app/PDApplication.h"
#include "foundation/AppMenu.h"
#include "foundation/Menu.h"
#include "ui/MenuAccelerator.h"

namespace {

// The window whose menu bar is in use, while one of its menus is open or an item acts.
GtkWindow* menuWindow = nullptr;

struct ItemBinding {
  std::shared_ptr<MenuItem> item;
};

std::string utf8(char32_t c) {
  gchar buffer[8] = {};
  int n = g_unichar_to_utf8(static_cast<gunichar>(c), buffer);
  return std::string(buffer, static_cast<std::size_t>(n));
}

// The key equivalent text menus keep for a key: letters in lower case, special keys as the
// private-use characters the accelerator parser makes.
std::string keyText(guint keyval) {
  switch (keyval) {
    case GDK_KEY_Tab: case GDK_KEY_ISO_Left_Tab: return utf8(0x09);
    case GDK_KEY_BackSpace: case GDK_KEY_Delete: return utf8(0x08);
    case GDK_KEY_Return: case GDK_KEY_KP_Enter: return utf8(0x0A);
    case GDK_KEY_Insert: return utf8(0xF727);
    case GDK_KEY_Up: return utf8(0xF700);
    case GDK_KEY_Down: return utf8(0xF701);
    case GDK_KEY_Left: return utf8(0xF702);
    case GDK_KEY_Right: return utf8(0xF703);
    case GDK_KEY_Home: return utf8(0xF729);
    case GDK_KEY_End: return utf8(0xF72B);
    case GDK_KEY_Page_Up: return utf8(0xF72C);
    case GDK_KEY_Page_Down: return utf8(0xF72D);
    case GDK_KEY_Print: return utf8(0xF72E);
    default: break;
  }
  if (keyval >= GDK_KEY_F1 && keyval <= GDK_KEY_F24) return utf8(0xF704 + (keyval - GDK_KEY_F1));
  gunichar c = gdk_keyval_to_unicode(gdk_keyval_to_lower(keyval));
  if (!c) return {};
  return utf8(g_unichar_tolower(c));
}

// The menus' modifier flags: the primary modifier is Control here, the menus' Control is Super.
std::uint32_t modifierMask(GdkModifierType state) {
  std::uint32_t mask = 0;
  if (state & GDK_CONTROL_MASK) mask |= ModifierCommand;
  if (state & (GDK_SUPER_MASK | GDK_MOD4_MASK)) mask |= ModifierControl;
  if (state & GDK_MOD1_MASK) mask |= ModifierOption;
  if (state & GDK_SHIFT_MASK) mask |= ModifierShift;
  return mask;
}

GtkWindow* toplevelOf(GtkWidget* widget) {
  // A menu's items live in a popup; the window is the one its menu bar sits in.
  while (widget) {
    if (GTK_IS_MENU(widget)) {
      widget = gtk_menu_get_attach_widget(GTK_MENU(widget));
      continue;
    }
    GtkWidget* parent = gtk_widget_get_parent(widget);
    if (!parent) break;
    widget = parent;
  }
  return widget && GTK_IS_WINDOW(widget) ? GTK_WINDOW(widget) : nullptr;
}

void fill(GtkWidget* shell, const std::shared_ptr<Menu>& menu);

void onMenuShow(GtkWidget* gtkMenu, gpointer data) {
  auto* menu = static_cast<Menu*>(data);
  menuWindow = toplevelOf(gtkMenu);
  if (menu->delegate) menu->delegate->menuWillOpen(*menu);
  auto* app = PDApplication::shared();
  GList* children = gtk_container_get_children(GTK_CONTAINER(gtkMenu));
  for (GList* c = children; c; c = c->next) {
    auto* binding = static_cast<ItemBinding*>(g_object_get_data(G_OBJECT(c->data), "korvel-menu-item"));
    if (!binding || !binding->item || binding->item->submenu) continue;
    bool enabled = app && app->validateMenuItem(*binding->item);
    gtk_widget_set_sensitive(GTK_WIDGET(c->data), enabled);
    // Validation may retitle an item ("Night Mode", "Day Mode").
    if (binding->item->title != gtk_menu_item_get_label(GTK_MENU_ITEM(c->data)))
      gtk_menu_item_set_label(GTK_MENU_ITEM(c->data), binding->item->title.c_str());
  }
  g_list_free(children);
}

void onMenuHide(GtkWidget*, gpointer data) {
  auto* menu = static_cast<Menu*>(data);
  if (menu->delegate) menu->delegate->menuDidClose(*menu);
  menuWindow = nullptr;
}

void onActivate(GtkMenuItem* widget, gpointer data) {
  auto* binding = static_cast<ItemBinding*>(data);
  auto* app = PDApplication::shared();
  if (!app || !binding->item) return;
  GtkWindow* window = toplevelOf(GTK_WIDGET(widget));
  auto item = binding->item;
  // Menus close before the command runs, so a command that opens a dialog finds the window.
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      +[](gpointer d) -> gboolean {
        auto* pair = static_cast<std::pair<std::shared_ptr<MenuItem>, GtkWindow*>*>(d);
        menuWindow = pair->second;
        if (auto* application = PDApplication::shared()) application->performMenuItem(*pair->first);
        menuWindow = nullptr;
        return G_SOURCE_REMOVE;
      },
      new std::pair<std::shared_ptr<MenuItem>, GtkWindow*>(item, window),
      +[](gpointer d) { delete static_cast<std::pair<std::shared_ptr<MenuItem>, GtkWindow*>*>(d); });
}

GtkWidget* makeItem(const std::shared_ptr<MenuItem>& item) {
  if (item->isSeparator) return gtk_separator_menu_item_new();
  GtkWidget* widget = gtk_menu_item_new_with_label(item->title.c_str());
  g_object_set_data_full(G_OBJECT(widget), "korvel-menu-item", new ItemBinding{item},
                         +[](gpointer d) { delete static_cast<ItemBinding*>(d); });
  if (item->submenu) {
    GtkWidget* sub = gtk_menu_new();
    fill(sub, item->submenu);
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(widget), sub);
    return widget;
  }
  MenuAccelerator::show(widget, *item);
  g_signal_connect(widget, "activate", G_CALLBACK(onActivate),
                   g_object_get_data(G_OBJECT(widget), "korvel-menu-item"));
  return widget;
}

void fill(GtkWidget* shell, const std::shared_ptr<Menu>& menu) {
  for (const auto& item : menu->items())
    if (item && item->title != AppMenu::placeholderTitle) gtk_menu_shell_append(GTK_MENU_SHELL(shell), makeItem(item));
  if (GTK_IS_MENU(shell)) {
    // The menu model outlives every menu bar: the main menu lives for the process.
    g_signal_connect(shell, "show", G_CALLBACK(onMenuShow), menu.get());
    g_signal_connect(shell, "hide", G_CALLBACK(onMenuHide), menu.get());
    g_object_set_data_full(G_OBJECT(shell), "korvel-menu", new std::shared_ptr<Menu>(menu),
                           +[](gpointer d) { delete static_cast<std::shared_ptr<Menu>*>(d); });
  }
}

gboolean onKeyPressAfter(GtkWidget*, GdkEventKey* event, gpointer) {
  return MainMenuBar::performKeyEquivalent(event) ? TRUE : FALSE;
}

}  // namespace

namespace MainMenuBar {

GtkWidget* create() {
  GtkWidget* bar = gtk_menu_bar_new();
  if (auto menu = AppMenu::mainMenu()) fill(bar, menu);
  gtk_widget_show_all(bar);
  return bar;
}

bool performKeyEquivalent(const GdkEventKey* event) {
  auto menu = AppMenu::mainMenu();
  auto* app = PDApplication::shared();
  if (!menu || !app || event->is_modifier) return false;
  auto state = static_cast<GdkModifierType>(event->state & gtk_accelerator_get_default_mod_mask());
  std::uint32_t mask = modifierMask(state);
  // Only commands with a modifier, so typing never reaches the menu.
  if (!(mask & (ModifierCommand | ModifierControl | ModifierOption))) return false;
  // The unshifted key first ("Shift+1" is "1" with Shift), then the key as typed without Shift.
  guint base = event->keyval;
  GdkKeymap* keymap = gdk_keymap_get_for_display(gdk_display_get_default());
  gdk_keymap_translate_keyboard_state(keymap, event->hardware_keycode,
                                      static_cast<GdkModifierType>(state & ~GDK_SHIFT_MASK), event->group, &base,
                                      nullptr, nullptr, nullptr);
  auto item = MainMenu::itemForKeyEquivalent(*menu, keyText(base), mask);
  if (!item && (mask & ModifierShift)) item = MainMenu::itemForKeyEquivalent(*menu, keyText(event->keyval), mask & ~ModifierShift);
  if (!item) return false;
  return app->performMenuItem(*item);
}

void attach(GtkWindow* window) { g_signal_connect_after(window, "key-press-event", G_CALLBACK(onKeyPressAfter), nullptr); }

GtkWindow* keyWindow() {
  if (menuWindow) return menuWindow;
  GList* windows = gtk_window_list_toplevels();
  GtkWindow* active = nullptr;
  for (GList* w = windows; w; w = w->next)
    if (gtk_window_is_active(GTK_WINDOW(w->data)) && gtk_widget_get_visible(GTK_WIDGET(w->data))) {
      active = GTK_WINDOW(w->data);
      break;
    }
  g_list_free(windows);
  return active;
}

}  // namespace MainMenuBar
