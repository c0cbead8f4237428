#pragma once
// The application's own main menu, before the editor's items are merged into it: the
// application, File, Edit (with the place the editor's items take), View, Window and Help menus.
// Main thread only.

#include <functional>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/Menu.h"

namespace MainMenu {

// A new copy of the native main menu.
std::shared_ptr<Menu> make();

// Depth-first walk over every item with an action; stops when `visit` answers true.
bool forEachItem(Menu& menu, const std::function<bool(const std::shared_ptr<MenuItem>&, Menu& owner)>& visit);

}  // namespace MainMenu

namespace MainMenu {

// The item whose key equivalent is `key` (lower case, as menus keep it) with exactly `modifiers`;
// items inside submenus count, separators and action-less items don't.
std::shared_ptr<MenuItem> itemForKeyEquivalent(Menu& menu, const std::string& key, std::uint32_t modifiers);

}  // namespace MainMenu
