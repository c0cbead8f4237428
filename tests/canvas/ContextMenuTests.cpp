// Context menus built from the page's description.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "canvas/ContextMenu.h"

namespace {

ContextMenuItem& at(const Menu& menu, long i) { return dynamic_cast<ContextMenuItem&>(*menu.itemAt(i)); }

TEST(ContextMenu, LeavesOutInvisibleAndUnlabelledEntriesButCountsThem) {
  auto items = nlohmann::json::parse(R"([
    {"label": "Hidden", "visible": false},
    {"label": "A"},
    {"type": "separator"},
    {"type": "separator", "visible": false},
    {"accelerator": "Command+X"},
    {"label": "B", "accelerator": "Command+Shift+Z"}
  ])");
  auto menu = ContextMenu::build(items, {});
  ASSERT_EQ(menu->items().size(), 3u);
  EXPECT_EQ(at(*menu, 0).title, "A");
  EXPECT_EQ(at(*menu, 0).indexPath, IndexPath{1});
  EXPECT_TRUE(menu->itemAt(1)->isSeparator);
  EXPECT_EQ(at(*menu, 2).indexPath, IndexPath{5});
  EXPECT_EQ(at(*menu, 2).keyEquivalent, "z");
  EXPECT_EQ(at(*menu, 2).modifierMask, ModifierCommand | ModifierShift);
  EXPECT_EQ(at(*menu, 2).action, ContextMenu::action);
}

TEST(ContextMenu, StatesAndEnablingFollowOnlyBooleans) {
  auto items = nlohmann::json::parse(R"([
    {"label": "Mixed", "checked": true, "mixed": true},
    {"label": "On", "checked": true},
    {"label": "MixedAlone", "mixed": true},
    {"label": "Off", "enabled": false},
    {"label": "StringFalse", "enabled": "false", "checked": "true"}
  ])");
  auto menu = ContextMenu::build(items, {});
  EXPECT_EQ(at(*menu, 0).state, ContextMenuItem::State::mixed);
  EXPECT_EQ(at(*menu, 1).state, ContextMenuItem::State::on);
  EXPECT_EQ(at(*menu, 2).state, ContextMenuItem::State::off);
  EXPECT_TRUE(at(*menu, 3).action.empty());
  EXPECT_EQ(at(*menu, 4).action, ContextMenu::action);
  EXPECT_EQ(at(*menu, 4).state, ContextMenuItem::State::off);
}

TEST(ContextMenu, SubmenusCarryTheirPathsAndBadSubmenusAreIgnored) {
  auto items = nlohmann::json::parse(R"([
    {"label": "Top"},
    {"label": "Arrange", "submenu": [{"label": "Left"}, {"label": "Right"}]},
    {"label": "Broken", "submenu": [1, 2]}
  ])");
  auto menu = ContextMenu::build(items, {});
  auto& arrange = at(*menu, 1);
  ASSERT_TRUE(arrange.submenu);
  EXPECT_EQ(at(*arrange.submenu, 0).indexPath, (IndexPath{1, 0}));
  EXPECT_EQ(at(*arrange.submenu, 1).indexPath, (IndexPath{1, 1}));
  EXPECT_FALSE(at(*menu, 2).submenu);
  EXPECT_TRUE(ContextMenu::build(nlohmann::json::array(), {})->items().empty());
}

TEST(ContextMenu, OnlyArraysOfObjectsAreMenus) {
  EXPECT_TRUE(ContextMenu::isItemArray(nlohmann::json::array()));
  EXPECT_FALSE(ContextMenu::isItemArray(nlohmann::json::parse(R"([{}, 3])")));
  EXPECT_FALSE(ContextMenu::isItemArray(nlohmann::json::object()));
}

}  // namespace
