#pragma once
// Merges the editor's menu description into the application's main menu, and parses the
// editor's accelerator texts ("Command+Shift+Z") into key equivalents. Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "foundation/Menu.h"
#include "platform/Error.h"

class AppMenu {
 public:
  // One menu item description of the editor's "appMenu".
  struct MenuItemOptions {
    std::optional<std::string> label;
    std::optional<std::string> role;
    std::optional<std::string> type;
    std::optional<std::string> accelerator;
    std::optional<std::vector<MenuItemOptions>> submenu;
  };

  // Decodes one description; a key with a value of the wrong JSON type fails.
  static Result<MenuItemOptions> decode(const nlohmann::json& object);

  struct KeyEquivalent {
    std::string keyEquivalent;
    std::uint32_t modifierMask = 0;
    bool operator==(const KeyEquivalent&) const = default;
  };
  static KeyEquivalent keyEquivalentAndModifierMask(std::string_view accelerator);

  // The placeholder item of a native menu that the editor's items take the place of.
  static constexpr const char* placeholderTitle = "<AppMenu Placeholder>";

  // The application's main menu, set by the toolkit layer once it is built.
  static std::shared_ptr<Menu> mainMenu();
  static void setMainMenu(std::shared_ptr<Menu> menu);

  // Merges the installed editor's menu description into mainMenu(); once, at launch.
  static void initializeMainMenu();
  static void initializeMainMenu(Menu* mainMenu, const std::vector<MenuItemOptions>& descriptions);

  static std::shared_ptr<MenuItem> menuItem(const MenuItemOptions& options);
};
