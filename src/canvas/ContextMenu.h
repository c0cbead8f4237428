#pragma once
// Native context menus built from the editor page's description: every ordinary entry carries
// its index path (its position in each enclosing JSON array, counting every entry).

#include <memory>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "foundation/Menu.h"

using IndexPath = std::vector<long>;

class ContextMenuItem : public MenuItem {
 public:
  enum class State { off = 0, on = 1, mixed = -1 };
  using MenuItem::MenuItem;
  State state = State::off;
  IndexPath indexPath;
};

namespace ContextMenu {
inline constexpr const char* action = "contextMenuItemSelectedWithSender:";
// Builds the menu at `path` from item objects; entries of the wrong shape are left out.
std::shared_ptr<Menu> build(const nlohmann::json& items, const IndexPath& path);
// True when `items` is an array of objects (the only shape a menu may have).
bool isItemArray(const nlohmann::json& items);
}  // namespace ContextMenu
