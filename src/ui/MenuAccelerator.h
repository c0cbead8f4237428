#pragma once
// A menu item's key equivalent as the toolkit shows it beside the item's title: the main menu
// and the editor's context menus show the same labels. Main thread only.

typedef struct _GtkWidget GtkWidget;
class MenuItem;

namespace MenuAccelerator {

// Shows `item`'s key equivalent on `menuItem` (a GtkMenuItem with its label inside); nothing
// for an item without one, or with a key the toolkit has no name for.
void show(GtkWidget* menuItem, const MenuItem& item);
// The toolkit's key for a key equivalent's text; 0 for none.
unsigned keyFor(const char* keyEquivalent);

}  // namespace MenuAccelerator
