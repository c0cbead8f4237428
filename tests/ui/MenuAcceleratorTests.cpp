// The key labels beside menu items, from the editor's accelerator texts to the toolkit's label.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "foundation/AppMenu.h"
#include "foundation/Menu.h"
#include "ui/MenuAccelerator.h"

namespace {

TEST(MenuAccelerator, EveryNamedKeyGetsItsLabel) {
  gtk_init(nullptr, nullptr);
  struct Case {
    const char* accelerator;
    guint key;
    GdkModifierType mods;
  };
  const Case cases[] = {
      {"CmdOrCtrl+Insert", GDK_KEY_Insert, GDK_CONTROL_MASK},
      {"Shift+Home", GDK_KEY_Home, GDK_SHIFT_MASK},
      {"CmdOrCtrl+End", GDK_KEY_End, GDK_CONTROL_MASK},
      {"Alt+PageUp", GDK_KEY_Page_Up, GDK_MOD1_MASK},
      {"CmdOrCtrl+PageDown", GDK_KEY_Page_Down, GDK_CONTROL_MASK},
      {"PrintScreen", GDK_KEY_Print, GdkModifierType(0)},
      {"CmdOrCtrl+]", GDK_KEY_bracketright, GDK_CONTROL_MASK},
      {"F5", GDK_KEY_F5, GdkModifierType(0)},
      {"", 0, GdkModifierType(0)},
  };
  for (const auto& c : cases) {
    auto parsed = AppMenu::keyEquivalentAndModifierMask(c.accelerator);
    auto item = MenuItem::make("Item", "act:", parsed.keyEquivalent);
    item->modifierMask = parsed.modifierMask;
    GtkWidget* widget = GTK_WIDGET(g_object_ref_sink(gtk_menu_item_new_with_label("Item")));
    MenuAccelerator::show(widget, *item);
    guint key = 0;
    GdkModifierType mods = GdkModifierType(0);
    gtk_accel_label_get_accel(GTK_ACCEL_LABEL(gtk_bin_get_child(GTK_BIN(widget))), &key, &mods);
    EXPECT_EQ(key, c.key) << c.accelerator;
    EXPECT_EQ(mods, c.mods) << c.accelerator;
    g_object_unref(widget);
  }
}

}  // namespace
