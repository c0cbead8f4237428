#include "app/MainMenu.h"

#include "foundation/AppMenu.h"

namespace {

std::shared_ptr<MenuItem> item(const char* title, const char* action, const char* key = "", std::uint32_t mask = 0) {
  auto made = MenuItem::make(title, action, key);
  made->modifierMask = *key ? (mask ? mask : ModifierCommand) : 0;
  return made;
}

std::shared_ptr<MenuItem> submenu(const char* title, std::vector<std::shared_ptr<MenuItem>> items) {
  auto holder = MenuItem::make(title);
  holder->submenu = Menu::make(title);
  for (auto& i : items) holder->submenu->addItem(std::move(i));
  return holder;
}

}  // namespace

namespace MainMenu {

std::shared_ptr<Menu> make() {
  auto sep = [] { return MenuItem::separatorItem(); };
  auto menu = Menu::make("Main Menu");
  menu->addItem(submenu("Korvel", {
                                      item("About Korvel", "orderFrontStandardAboutPanel:"),
                                      item("Check for Updates\u2026", "checkForUpdates:"),
                                      sep(),
                                      item("Open Snippets Folder", "showSnippetsPath:"),
                                      sep(),
                                      item("Log Out", "logoutAction:"),
                                      item("Quit Korvel", "terminate:", "q"),
                                  }));
  menu->addItem(submenu("File", {
                                    item("New", "newDocument:", "n"),
                                    item("Open\u2026", "openDocument:", "o"),
                                    item("Welcome to Korvel", "showWelcomeWindow:", "1", ModifierCommand | ModifierShift),
                                    sep(),
                                    item("Close", "performClose:", "w"),
                                    item("Save", "saveDocument:", "s"),
                                    item("Save As\u2026", "saveDocumentAs:", "s", ModifierCommand | ModifierShift),
                                    item("Duplicate", "duplicateDocument:"),
                                    item("Revert to Saved", "revertDocumentToSaved:"),
                                }));
  // The editor's Edit items take the placeholder's place.
  menu->addItem(submenu("Edit", {
                                    item(AppMenu::placeholderTitle, ""),
                                    sep(),
                                    item("Find", "performTextFinderAction:", "f"),
                                }));
  menu->addItem(submenu("View", {
                                    item("Night Mode", "toggleDarkAppearance:"),
                                    sep(),
                                    item("Live Preview", "showLivePreview:"),
                                }));
  menu->addItem(submenu("Window", {
                                      item("Minimize", "performMiniaturize:", "m"),
                                      item("Zoom", "performZoom:"),
                                  }));
  menu->addItem(submenu("Help", {
                                    item("Korvel Help", "showHelpKorvel:"),
                                    item("Previewing Prototypes", "showHelpPreview:"),
                                    item("Community", "showHelpCommunity:"),
                                    item("Resources", "showHelpResources:"),
                                    item("What\u2019s New", "showHelpUpdates:"),
                                    sep(),
                                    item("About Korvel Cloud", "showCloudFeature:"),
                                    item("Korvel Cloud Dashboard", "showCloudDashboard:"),
                                }));
  return menu;
}

bool forEachItem(Menu& menu, const std::function<bool(const std::shared_ptr<MenuItem>&, Menu& owner)>& visit) {
  for (const auto& entry : menu.items()) {
    if (!entry || entry->isSeparator) continue;
    if (entry->submenu) {
      if (forEachItem(*entry->submenu, visit)) return true;
    } else if (visit(entry, menu)) {
      return true;
    }
  }
  return false;
}

}  // namespace MainMenu

namespace MainMenu {

std::shared_ptr<MenuItem> itemForKeyEquivalent(Menu& menu, const std::string& key, std::uint32_t modifiers) {
  if (key.empty()) return nullptr;
  std::shared_ptr<MenuItem> found;
  forEachItem(menu, [&](const std::shared_ptr<MenuItem>& item, Menu&) {
    if (item->action.empty() || item->keyEquivalent != key || item->modifierMask != modifiers) return false;
    found = item;
    return true;
  });
  return found;
}

}  // namespace MainMenu
