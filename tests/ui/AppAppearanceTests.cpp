// Day and Night modes: the stored choice, the handlers and the colours that follow.

#include <gtest/gtest.h>

#include "foundation/AppMenu.h"
#include "foundation/Menu.h"
#include "platform/Defaults.h"
#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"
#include "support/Wait.h"
#include "ui/AppAppearance.h"

namespace {

struct Appearance : testing::Test {
  Defaults defaults{testenv::freshFolder("defaults") / "defaults.json"};
  void settle() { ASSERT_TRUE(testwait::turn()); }
};

TEST_F(Appearance, HandlersRunOnceInOrderAfterTheMainLoopTurns) {
  AppAppearance appearance(defaults);
  EXPECT_FALSE(appearance.isDark());
  std::vector<int> calls;
  appearance.observeHandlers.push_back([&] { calls.push_back(1); });
  appearance.observeHandlers.push_back([&] {
    calls.push_back(2);
    appearance.observeHandlers.push_back([&] { calls.push_back(3); });
  });
  appearance.toggleDarkAppearance();
  EXPECT_FALSE(appearance.isDark());  // not before the hop
  settle();
  EXPECT_TRUE(appearance.isDark());
  EXPECT_EQ(calls, (std::vector<int>{1, 2}));
  EXPECT_EQ(appearance.appearanceFor(AppAppearance::UIElement::documentWindow), AppAppearance::Appearance::dark);
}

TEST_F(Appearance, FlippingTwiceOrWritingTheSameValueRunsNothing) {
  AppAppearance appearance(defaults);
  int calls = 0;
  appearance.observeHandlers.push_back([&] { ++calls; });
  appearance.toggleDarkAppearance();
  appearance.toggleDarkAppearance();
  defaults.setBool("HasDarkAppearance", false);
  settle();
  EXPECT_EQ(calls, 0);
}

TEST_F(Appearance, TheMenuItemReadsTheOtherMode) {
  defaults.setBool("HasDarkAppearance", true);
  AppAppearance appearance(defaults);
  MenuItem item("x", AppAppearance::toggleAction, "");
  EXPECT_TRUE(appearance.validateMenuItem(item));
  EXPECT_EQ(item.title, "Day Mode");
  MenuItem other("y", "copy:", "");
  EXPECT_FALSE(appearance.validateMenuItem(other));
}

TEST_F(Appearance, EveryFirstLevelToggleItemGetsItsShortcut) {
  auto main = Menu::make();
  auto view = MenuItem::make("View");
  view->submenu = Menu::make("View");
  auto a = MenuItem::make("Night Mode", AppAppearance::toggleAction);
  auto b = MenuItem::make("Night Mode", AppAppearance::toggleAction);
  view->submenu->addItem(a);
  view->submenu->addItem(b);
  main->addItem(view);
  AppMenu::setMainMenu(main);
  AppAppearance::setUpMainMenuItem();
  AppMenu::setMainMenu(nullptr);
  for (auto& item : {a, b}) {
    EXPECT_EQ(item->keyEquivalent, "n");
    EXPECT_EQ(item->modifierMask, ModifierCommand | ModifierControl);
  }
}

TEST_F(Appearance, ColoursFollowTheMode) {
  EXPECT_EQ(AppAppearance::Colors::popoverLink().hexColorString(), "#0099FF");
  auto line = AppAppearance::Colors::toolbarTopLine();
  EXPECT_GT(line.red, 0x33 / 255.0);
  EXPECT_LT(line.red, 0x44 / 255.0);
  bool dark = AppAppearance::shared().isDark();
  EXPECT_EQ(AppAppearance::Colors::welcomeRecentsTitle().hexColorString(), dark ? "#FFFFFF" : "#1D1D1F");
}

}  // namespace
