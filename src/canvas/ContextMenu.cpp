#include "ContextMenu.h"

#include <nlohmann/json.hpp>

#include "foundation/AppMenu.h"

bool ContextMenu::isItemArray(const nlohmann::json& items) {
  if (!items.is_array()) return false;
  for (const auto& item : items)
    if (!item.is_object()) return false;
  return true;
}

std::shared_ptr<Menu> ContextMenu::build(const nlohmann::json& items, const IndexPath& path) {
  auto menu = Menu::make("");
  if (!items.is_array()) return menu;
  auto flag = [](const nlohmann::json& o, const char* key) -> std::optional<bool> {
    auto it = o.find(key);
    if (it == o.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
  };
  auto text = [](const nlohmann::json& o, const char* key) -> std::optional<std::string> {
    auto it = o.find(key);
    if (it == o.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  };
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto& entry = items[i];
    if (!entry.is_object()) continue;
    if (flag(entry, "visible") == false) continue;
    if (text(entry, "type") == "separator") {
      menu->addItem(MenuItem::separatorItem());
      continue;
    }
    auto label = text(entry, "label");
    if (!label) continue;
    auto key = AppMenu::keyEquivalentAndModifierMask(text(entry, "accelerator").value_or(""));
    auto item = std::make_shared<ContextMenuItem>(*label, action, key.keyEquivalent);
    item->modifierMask = key.modifierMask;
    item->indexPath = path;
    item->indexPath.push_back(static_cast<long>(i));
    if (flag(entry, "checked") == true)
      item->state = flag(entry, "mixed") == true ? ContextMenuItem::State::mixed : ContextMenuItem::State::on;
    if (auto submenu = entry.find("submenu"); submenu != entry.end() && isItemArray(*submenu))
      item->submenu = build(*submenu, item->indexPath);
    if (flag(entry, "enabled") == false) {
      item->action.clear();
      item->enabled = false;
    }
    menu->addItem(item);
  }
  return menu;
}
