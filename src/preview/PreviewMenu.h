#pragma once
// The preview window's menus as a model: the settings menu and the device menu are built and
// checked here, and the toolkit shows a copy of them when they pop up. An item knows the item
// whose submenu holds it. Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class PreviewMenu;

class PreviewMenuItem {
 public:
  PreviewMenuItem(std::string title, std::string action, std::optional<std::string> representedObject = std::nullopt)
      : title(std::move(title)), action(std::move(action)), representedObject(std::move(representedObject)) {}
  static std::shared_ptr<PreviewMenuItem> separator();

  std::string title;
  std::string action;  // selector name, empty for none
  std::optional<std::string> representedObject;
  bool isSeparator = false;
  bool enabled = true;
  bool checked = false;
  // An action runs and is done, and shows no state; the other items show whether they are on.
  bool isAction = false;
  // Like the main menu's: the key's text and the modifier flags of foundation/Menu.h.
  std::string keyEquivalent;
  std::uint32_t modifierMask = 0;

  PreviewMenuItem* parent() const { return parent_; }
  const std::shared_ptr<PreviewMenu>& submenu() const { return submenu_; }
  void setSubmenu(std::shared_ptr<PreviewMenu> menu);

 private:
  friend class PreviewMenu;
  PreviewMenuItem* parent_ = nullptr;
  std::shared_ptr<PreviewMenu> submenu_;
};

class PreviewMenu {
 public:
  const std::vector<std::shared_ptr<PreviewMenuItem>>& items() const { return items_; }
  void addItem(std::shared_ptr<PreviewMenuItem> item);
  void removeAllItems() { items_.clear(); }
  // The item with this key equivalent, in this menu or its submenus; none when no item has it.
  PreviewMenuItem* itemForKeyEquivalent(const std::string& key, std::uint32_t modifierMask) const;
  // The item whose submenu this is, if any.
  PreviewMenuItem* owner() const { return owner_; }

 private:
  friend class PreviewMenuItem;
  std::vector<std::shared_ptr<PreviewMenuItem>> items_;
  PreviewMenuItem* owner_ = nullptr;
};
