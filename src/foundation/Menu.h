#pragma once
// A small menu model: what the main menu and context menus hold before a toolkit shows them.
// Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Menu;

// Modifier flags of a key equivalent, with the bit values the menu descriptions use.
enum ModifierFlag : std::uint32_t {
  ModifierShift = 1u << 17,
  ModifierControl = 1u << 18,
  ModifierOption = 1u << 19,
  ModifierCommand = 1u << 20,
};

class MenuDelegate {
 public:
  virtual ~MenuDelegate() = default;
  virtual void menuWillOpen(Menu& menu) = 0;
  virtual void menuDidClose(Menu& menu) = 0;
};

class MenuItem {
 public:
  MenuItem(std::string title, std::string action, std::string keyEquivalent)
      : title(std::move(title)), action(std::move(action)), keyEquivalent(std::move(keyEquivalent)) {}
  virtual ~MenuItem() = default;
  static std::shared_ptr<MenuItem> make(std::string title, std::string action = {}, std::string keyEquivalent = {}) {
    return std::make_shared<MenuItem>(std::move(title), std::move(action), std::move(keyEquivalent));
  }
  static std::shared_ptr<MenuItem> separatorItem();

  // Whether the user's own shortcut settings may replace this item's key equivalent.
  virtual bool usesUserKeyEquivalents() const { return true; }

  std::string title;
  std::string action;  // selector name, empty for none
  std::optional<std::string> representedObject;
  std::string keyEquivalent;
  std::uint32_t modifierMask = 0;
  std::shared_ptr<Menu> submenu;
  bool isSeparator = false;
  bool enabled = true;
  long tag = 0;
};

// An item whose key equivalent the user's shortcut settings can't override.
class RWMenuItemNoUserShortcut : public MenuItem {
 public:
  using MenuItem::MenuItem;
  bool usesUserKeyEquivalents() const override { return false; }
  void setUsesUserKeyEquivalents(bool) {}  // fixed: setting it has no effect
};

class Menu {
 public:
  explicit Menu(std::string title = {}) : title(std::move(title)) {}
  static std::shared_ptr<Menu> make(std::string title = {}) { return std::make_shared<Menu>(std::move(title)); }

  std::string title;
  MenuDelegate* delegate = nullptr;  // not owned; delegates live for the process

  const std::vector<std::shared_ptr<MenuItem>>& items() const { return items_; }
  // Index of the first item titled exactly `title`, or -1.
  long indexOfItemWithTitle(std::string_view title) const;
  std::shared_ptr<MenuItem> itemAt(long index) const;
  void insertItem(std::shared_ptr<MenuItem> item, long index);
  void addItem(std::shared_ptr<MenuItem> item) { items_.push_back(std::move(item)); }
  void removeItem(const std::shared_ptr<MenuItem>& item);
  void removeAllItems() { items_.clear(); }

 private:
  std::vector<std::shared_ptr<MenuItem>> items_;
};
