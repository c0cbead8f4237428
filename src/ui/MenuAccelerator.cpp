#include "ui/MenuAccelerator.h"

#include <gtk/gtk.h>

#include "foundation/Menu.h"

namespace MenuAccelerator {

// Special keys come as the private-use characters the accelerator parser makes.
unsigned keyFor(const char* keyEquivalent) {
  if (!keyEquivalent || !*keyEquivalent) return 0;
  gunichar c = g_utf8_get_char(keyEquivalent);
  switch (c) {
    case 0x09: return GDK_KEY_Tab;
    case 0x08: return GDK_KEY_BackSpace;
    case 0x0A: return GDK_KEY_Return;
    case 0xF700: return GDK_KEY_Up;
    case 0xF701: return GDK_KEY_Down;
    case 0xF702: return GDK_KEY_Left;
    case 0xF703: return GDK_KEY_Right;
    case 0xF727: return GDK_KEY_Insert;
    case 0xF728: return GDK_KEY_Delete;
    case 0xF729: return GDK_KEY_Home;
    case 0xF72B: return GDK_KEY_End;
    case 0xF72C: return GDK_KEY_Page_Up;
    case 0xF72D: return GDK_KEY_Page_Down;
    case 0xF72E: return GDK_KEY_Print;
    default: break;
  }
  if (c >= 0xF704 && c <= 0xF71B) return GDK_KEY_F1 + (c - 0xF704);
  return gdk_unicode_to_keyval(c);
}

void show(GtkWidget* menuItem, const MenuItem& item) {
  guint key = keyFor(item.keyEquivalent.c_str());
  if (!key) return;
  int mods = 0;
  // The menus' Command is Control here, and their Control is Super.
  if (item.modifierMask & ModifierCommand) mods |= GDK_CONTROL_MASK;
  if (item.modifierMask & ModifierControl) mods |= GDK_SUPER_MASK;
  if (item.modifierMask & ModifierOption) mods |= GDK_MOD1_MASK;
  if (item.modifierMask & ModifierShift) mods |= GDK_SHIFT_MASK;
  GtkWidget* label = gtk_bin_get_child(GTK_BIN(menuItem));
  if (GTK_IS_ACCEL_LABEL(label)) gtk_accel_label_set_accel(GTK_ACCEL_LABEL(label), key, GdkModifierType(mods));
}

}  // namespace MenuAccelerator
