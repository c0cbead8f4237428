#include "AppAppearance.h"

#include "foundation/AppMenu.h"
#include "foundation/Menu.h"
#include "foundation/SharedNames.h"
#include "platform/Defaults.h"
#include "platform/RunLoop.h"

namespace {
Color hex(const char* text) { return Color::colorWithHexColorString(std::string(text)); }
Color mode(const char* dark, const char* light) { return hex(AppAppearance::shared().isDark() ? dark : light); }
}  // namespace

AppAppearance& AppAppearance::shared() {
  static AppAppearance* instance = new AppAppearance(Defaults::standard());
  return *instance;
}

AppAppearance::AppAppearance(Defaults& defaults)
    : defaults_(defaults), isDark_(defaults.boolValue(UserDefaultsHasDarkAppearanceKey)) {
  // The change may come from any writer; the mode follows on the main loop, always a hop later.
  std::weak_ptr<bool> alive = alive_;
  observation_ = defaults_.observe(UserDefaultsHasDarkAppearanceKey, [this, alive] {
    MainQueue::async([this, alive] {
      if (!alive.expired()) update();
    });
  });
}

AppAppearance::Appearance AppAppearance::appearance(UIElement element) { return shared().appearanceFor(element); }

AppAppearance::Appearance AppAppearance::appearanceFor(UIElement) const {
  return isDark_ ? Appearance::dark : Appearance::light;
}

void AppAppearance::setUpMainMenuItem() {
  auto menu = AppMenu::mainMenu();
  if (!menu) return;
  for (const auto& top : menu->items()) {
    if (!top || !top->submenu) continue;
    for (const auto& item : top->submenu->items()) {
      if (!item || item->action != toggleAction) continue;
      item->keyEquivalent.assign(1, 'n');
      item->modifierMask = ModifierCommand | ModifierControl;
    }
  }
}

void AppAppearance::toggleDarkAppearance() {
  defaults_.setBool(UserDefaultsHasDarkAppearanceKey, !defaults_.boolValue(UserDefaultsHasDarkAppearanceKey));
}

bool AppAppearance::validateMenuItem(MenuItem& item) const {
  if (item.action != toggleAction) return false;
  item.title = isDark_ ? "Day Mode" : "Night Mode";
  return true;
}

void AppAppearance::update() {
  bool stored = defaults_.boolValue(UserDefaultsHasDarkAppearanceKey);
  if (stored == isDark_) return;
  isDark_ = stored;
  // Handlers appended during this pass wait for the next change.
  auto handlers = observeHandlers;
  for (auto& handler : handlers)
    if (handler) handler();
}

Color AppAppearance::Colors::toolbarTopLine() {
  return Color::blend(toolbarGradientBottom(), toolbarGradientTop(), 0.5);
}
Color AppAppearance::Colors::toolbarGradientTop() { return hex("444444"); }
Color AppAppearance::Colors::toolbarGradientBottom() { return hex("333333"); }
Color AppAppearance::Colors::toolbarBottomLine() { return hex("2A2A2A"); }
Color AppAppearance::Colors::welcomeRecentsSelectionBackground() { return hex("0099FF"); }
Color AppAppearance::Colors::welcomeRecentsSelectionBorder() { return hex("00A0F0"); }
Color AppAppearance::Colors::welcomeRecentsSelectionTitle() { return hex("FFFFFF"); }
Color AppAppearance::Colors::welcomeRecentsSelectionPath() { return hex("92D9FF"); }
Color AppAppearance::Colors::welcomeBackground() { return mode("151515", "FFFFFF"); }
Color AppAppearance::Colors::welcomeRecentsBackground() { return mode("222222", "F9F9F9"); }
Color AppAppearance::Colors::welcomeRecentsBorder() { return mode("333333", "EAEAEA"); }
Color AppAppearance::Colors::welcomeRecentsTitle() { return mode("FFFFFF", "1D1D1F"); }
Color AppAppearance::Colors::welcomeRecentsPath() { return mode("444444", "D2D2D3"); }
Color AppAppearance::Colors::welcomeCloseButtonTint() { return mode("666666", "BBBBBB"); }
Color AppAppearance::Colors::welcomeCloseButtonHighlightTint() { return mode("888888", "666666"); }
Color AppAppearance::Colors::popoverLink() { return hex("0099FF"); }
