#include "AppMenu.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <nlohmann/json.hpp>

#include "foundation/AppInfo.h"
#include "foundation/WebActions.h"

#include "platform/Utf8.h"

namespace {

constexpr int kMaxMenuDepth = 32;
constexpr const char* kDecodeDomain = "com.korvel.appmenu";

Result<std::optional<std::string>> optionalString(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::optional<std::string>();
  if (!it->is_string()) return fail(kDecodeDomain, 1, std::string("\"") + key + "\" is not a string");
  return std::optional<std::string>(it->get<std::string>());
}

Result<AppMenu::MenuItemOptions> decodeAt(const nlohmann::json& object, int depth) {
  if (!object.is_object()) return fail(kDecodeDomain, 1, "a menu item is not an object");
  if (depth > kMaxMenuDepth) return fail(kDecodeDomain, 2, "menu items nest too deeply");
  AppMenu::MenuItemOptions options;
  for (auto [key, field] : {std::pair{"label", &options.label}, std::pair{"role", &options.role},
                            std::pair{"type", &options.type}, std::pair{"accelerator", &options.accelerator}}) {
    auto value = optionalString(object, key);
    if (!value) return fail(value.error());
    *field = std::move(*value);
  }
  if (auto it = object.find("submenu"); it != object.end() && !it->is_null()) {
    if (!it->is_array()) return fail(kDecodeDomain, 1, "\"submenu\" is not an array");
    std::vector<AppMenu::MenuItemOptions> children;
    for (const auto& child : *it) {
      auto decoded = decodeAt(child, depth + 1);
      if (!decoded) return fail(decoded.error());
      children.push_back(std::move(*decoded));
    }
    options.submenu = std::move(children);
  }
  return options;
}

std::shared_ptr<Menu>& mainMenuStorage() {
  static std::shared_ptr<Menu> menu;
  return menu;
}

}  // namespace

Result<AppMenu::MenuItemOptions> AppMenu::decode(const nlohmann::json& object) {
  return decodeAt(object, 0);
}

AppMenu::KeyEquivalent AppMenu::keyEquivalentAndModifierMask(std::string_view accelerator) {
  static const std::pair<std::string_view, char32_t> namedKeys[] = {
      {"Plus", U'+'},       {"Space", U' '},         {"Tab", 0x09},    {"Backspace", 0x08}, {"Delete", 0x08},
      {"Insert", 0xF727},   {"Return", 0x0A},        {"Enter", 0x0A},  {"Up", 0xF700},      {"Down", 0xF701},
      {"Left", 0xF702},     {"Right", 0xF703},       {"Home", 0xF729}, {"End", 0xF72B},     {"PageUp", 0xF72C},
      {"PageDown", 0xF72D}, {"PrintScreen", 0xF72E},
  };
  KeyEquivalent result;
  size_t start = 0;
  while (true) {
    size_t plus = accelerator.find('+', start);
    std::string_view word =
        accelerator.substr(start, plus == std::string_view::npos ? std::string_view::npos : plus - start);
    if (word == "Super" || word == "CommandOrControl" || word == "CmdOrCtrl" || word == "Command" || word == "Cmd") {
      result.modifierMask |= ModifierCommand;
    } else if (word == "Ctrl" || word == "Control") {
      result.modifierMask |= ModifierControl;
    } else if (word == "Alt" || word == "AltGr" || word == "Option") {
      result.modifierMask |= ModifierOption;
    } else if (word == "Shift") {
      result.modifierMask |= ModifierShift;
    } else {
      bool named = false;
      for (auto [name, c] : namedKeys) {
        if (word == name) {
          appendUtf8(result.keyEquivalent, c);
          named = true;
          break;
        }
      }
      if (!named && word.size() >= 2 && word.size() <= 3 && word[0] == 'F') {
        int n = 0;
        bool digits = word[1] != '0';
        for (char c : word.substr(1)) {
          if (c < '0' || c > '9') digits = false;
          n = n * 10 + (c - '0');
        }
        if (digits && n >= 1 && n <= 24) {
          appendUtf8(result.keyEquivalent, static_cast<char32_t>(0xF703 + n));
          named = true;
        }
      }
      if (!named) {
        // Full Unicode lower case: "Ä" gives "ä", not itself.
        icu::UnicodeString::fromUTF8(icu::StringPiece(word.data(), static_cast<int32_t>(word.size())))
            .toLower(icu::Locale::getRoot())
            .toUTF8String(result.keyEquivalent);
      }
    }
    if (plus == std::string_view::npos) break;
    start = plus + 1;
  }
  return result;
}

std::shared_ptr<Menu> AppMenu::mainMenu() {
  return mainMenuStorage();
}
void AppMenu::setMainMenu(std::shared_ptr<Menu> menu) {
  mainMenuStorage() = std::move(menu);
}

std::shared_ptr<MenuItem> AppMenu::menuItem(const MenuItemOptions& d) {
  if (d.type && *d.type == "separator") return MenuItem::separatorItem();
  auto item = MenuItem::make(d.label.value_or(""));
  if (d.submenu) {
    auto menu = Menu::make(item->title);
    menu->delegate = WebActions::menuDelegate();
    for (const auto& child : *d.submenu) menu->addItem(menuItem(child));
    item->submenu = std::move(menu);
  } else if (d.role) {
    if (auto hybrid = WebActions::hybridAction(*d.role)) {
      item->action = hybrid->nativeSelector;
      item->representedObject = hybrid->action;
      auto key = keyEquivalentAndModifierMask(hybrid->accelerator);
      item->keyEquivalent = key.keyEquivalent;
      item->modifierMask = key.modifierMask;
    } else {
      item->action = WebActions::selector;
      item->representedObject = *d.role;
      auto key = keyEquivalentAndModifierMask(d.accelerator.value_or(""));
      item->keyEquivalent = key.keyEquivalent;
      item->modifierMask = key.modifierMask;
    }
  }
  return item;
}

void AppMenu::initializeMainMenu() {
  auto menu = mainMenu();
  if (!menu) return;
  const auto& globals = AppInfo::ostrelGlobals();
  initializeMainMenu(menu.get(), globals ? globals->appMenu : std::vector<MenuItemOptions>{});
}

void AppMenu::initializeMainMenu(Menu* mainMenu, const std::vector<MenuItemOptions>& descriptions) {
  if (!mainMenu) return;
  long windowIndex = mainMenu->indexOfItemWithTitle("Window");
  long insertionIndex = windowIndex < 0 ? 0 : windowIndex;

  for (auto d = descriptions.rbegin(); d != descriptions.rend(); ++d) {
    auto item = menuItem(*d);
    long existingIndex = mainMenu->indexOfItemWithTitle(d->label.value_or(""));
    auto existing = mainMenu->itemAt(existingIndex);
    long placeholderIndex = -1;
    if (existing && existing->submenu) placeholderIndex = existing->submenu->indexOfItemWithTitle(placeholderTitle);
    if (placeholderIndex < 0) {
      mainMenu->insertItem(item, insertionIndex);
      continue;
    }
    std::vector<std::shared_ptr<MenuItem>> head, tail;
    const auto& nativeItems = existing->submenu->items();
    for (long i = 0; i < static_cast<long>(nativeItems.size()); ++i) {
      const auto& native = nativeItems[static_cast<size_t>(i)];
      if (i == placeholderIndex || native->action == "startDictation:") continue;
      (i < placeholderIndex ? head : tail).push_back(native);
    }
    existing->submenu->removeAllItems();
    mainMenu->removeItem(existing);
    if (item->submenu) {
      auto built = item->submenu->items();
      item->submenu->removeAllItems();
      for (auto& h : head) item->submenu->addItem(h);
      for (auto& b : built) item->submenu->addItem(b);
      for (auto& t : tail) item->submenu->addItem(t);
    }
    mainMenu->insertItem(item, existingIndex);
  }
}
