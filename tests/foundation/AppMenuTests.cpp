#include <gtest/gtest.h>

#include <fstream>

#include "foundation/AppInfo.h"
#include "foundation/AppMenu.h"
#include "foundation/Menu.h"
#include "foundation/WebActions.h"
#include "support/TestEnvironment.h"

namespace {

using Options = AppMenu::MenuItemOptions;
using ItemPtr = std::shared_ptr<MenuItem>;

Options item(std::optional<std::string> label, std::optional<std::string> role = {},
             std::optional<std::string> accelerator = {}, std::optional<std::string> type = {}) {
  Options o;
  o.label = std::move(label);
  o.role = std::move(role);
  o.accelerator = std::move(accelerator);
  o.type = std::move(type);
  return o;
}
Options menu(std::string label, std::vector<Options> children) {
  auto o = item(std::move(label));
  o.submenu = std::move(children);
  return o;
}

ItemPtr nativeItem(std::string title, std::string action = {}) {
  return MenuItem::make(std::move(title), std::move(action));
}
ItemPtr placeholder() {
  return MenuItem::make(AppMenu::placeholderTitle);
}
ItemPtr dictation() {
  return MenuItem::make("Start Dictation…", "startDictation:");
}

ItemPtr nativeMenu(std::string title, std::vector<ItemPtr> items) {
  auto top = MenuItem::make(title);
  top->submenu = Menu::make(title);
  for (auto& i : items) top->submenu->addItem(i);
  return top;
}

// A top-level menu bar holding `tops` in order.
std::shared_ptr<Menu> mainMenu(std::vector<ItemPtr> tops) {
  auto m = Menu::make();
  for (auto& t : tops) m->addItem(t);
  return m;
}

// Item titles, a separator written as "-".
std::vector<std::string> titles(const Menu& m) {
  std::vector<std::string> out;
  for (const auto& i : m.items()) out.push_back(i->isSeparator ? "-" : i->title);
  return out;
}
using Titles = std::vector<std::string>;

TEST(AppMenuMerge, NewMenusStandInOrderBeforeWindow) {
  auto m = mainMenu({nativeItem("Korvel"), nativeItem("File"), nativeItem("Window"), nativeItem("Help")});
  AppMenu::initializeMainMenu(m.get(), {menu("A", {}), menu("B", {}), menu("C", {})});
  EXPECT_EQ(titles(*m), (Titles{"Korvel", "File", "A", "B", "C", "Window", "Help"}));
}

TEST(AppMenuMerge, WithoutWindowMenuNewMenusGoToTheFront) {
  auto m = mainMenu({nativeItem("Korvel"), nativeItem("Help")});
  AppMenu::initializeMainMenu(m.get(), {menu("A", {}), item("B")});
  EXPECT_EQ(titles(*m), (Titles{"A", "B", "Korvel", "Help"}));
}

TEST(AppMenuMerge, PlaceholderMenuIsReplacedInPlaceKeepingNativeItems) {
  auto undo = nativeItem("Undo", "undo:");
  auto m = mainMenu(
      {nativeItem("Korvel"),
       nativeMenu("Edit", {undo, nativeItem("Redo", "redo:"), MenuItem::separatorItem(), placeholder(), dictation()}),
       nativeItem("Window")});
  auto oldEdit = m->itemAt(1);
  AppMenu::initializeMainMenu(m.get(), {menu("Edit", {item("X"), item("Y")})});

  EXPECT_EQ(titles(*m), (Titles{"Korvel", "Edit", "Window"}));
  auto edit = m->itemAt(1);
  EXPECT_NE(edit, oldEdit);
  ASSERT_TRUE(edit->submenu);
  EXPECT_EQ(titles(*edit->submenu), (Titles{"Undo", "Redo", "-", "X", "Y"}));
  // The native item itself moved, with its own action.
  EXPECT_EQ(edit->submenu->itemAt(0), undo);
  EXPECT_EQ(undo->action, "undo:");
  EXPECT_TRUE(oldEdit->submenu->items().empty());
}

TEST(AppMenuMerge, NativeItemsAroundThePlaceholderFormHeadAndTail) {
  auto m = mainMenu({nativeMenu("Edit", {nativeItem("A"), dictation(), placeholder(), nativeItem("B"), dictation()}),
                     nativeItem("Window")});
  AppMenu::initializeMainMenu(m.get(), {menu("Edit", {item("X")})});
  EXPECT_EQ(titles(*m->itemAt(0)->submenu), (Titles{"A", "X", "B"}));
}

TEST(AppMenuMerge, EmptySubmenuStillTakesThePlace) {
  auto m = mainMenu({nativeMenu("Edit", {nativeItem("A"), placeholder(), nativeItem("B")}), nativeItem("Window")});
  AppMenu::initializeMainMenu(m.get(), {menu("Edit", {})});
  EXPECT_EQ(titles(*m->itemAt(0)->submenu), (Titles{"A", "B"}));
}

TEST(AppMenuMerge, DescriptionWithoutSubmenuReplacesMenuWithPlainItem) {
  auto m = mainMenu({nativeItem("Korvel"), nativeMenu("Edit", {nativeItem("A"), placeholder()}), nativeItem("Window")});
  AppMenu::initializeMainMenu(m.get(), {item("Edit")});
  EXPECT_EQ(titles(*m), (Titles{"Korvel", "Edit", "Window"}));
  EXPECT_FALSE(m->itemAt(1)->submenu);
}

TEST(AppMenuMerge, MenuWithoutPlaceholderStaysAndNewOneGoesBeforeWindow) {
  auto m = mainMenu({nativeMenu("Edit", {nativeItem("A")}), nativeItem("View"), nativeItem("Window")});
  AppMenu::initializeMainMenu(m.get(), {menu("Edit", {item("X")}), menu("View", {item("Y")})});
  EXPECT_EQ(titles(*m), (Titles{"Edit", "View", "Edit", "View", "Window"}));
  EXPECT_EQ(titles(*m->itemAt(0)->submenu), (Titles{"A"}));
  EXPECT_EQ(titles(*m->itemAt(2)->submenu), (Titles{"X"}));
}

TEST(AppMenuMerge, SameLabelTwiceTheLaterTakesThePlace) {
  auto m = mainMenu({nativeMenu("Edit", {nativeItem("U"), placeholder()}), nativeItem("Window")});
  AppMenu::initializeMainMenu(m.get(), {menu("Edit", {item("X")}), menu("Edit", {item("Y")})});
  EXPECT_EQ(titles(*m), (Titles{"Edit", "Edit", "Window"}));
  EXPECT_EQ(titles(*m->itemAt(0)->submenu), (Titles{"U", "Y"}));
  EXPECT_EQ(titles(*m->itemAt(1)->submenu), (Titles{"X"}));
}

TEST(AppMenuMerge, NothingToMergeLeavesMenuAsLoaded) {
  auto m = mainMenu({nativeMenu("Edit", {nativeItem("A"), placeholder()}), nativeItem("Window")});
  AppMenu::initializeMainMenu(m.get(), {});
  EXPECT_EQ(titles(*m->itemAt(0)->submenu), (Titles{"A", AppMenu::placeholderTitle}));
  AppMenu::initializeMainMenu(nullptr, {item("A")});  // no main menu: nothing happens
}

TEST(AppMenuItem, HybridRoleTakesNativeSelectorAndFixedAccelerator) {
  auto i = AppMenu::menuItem(item("Copy", "copy", "Cmd+Q"));
  EXPECT_EQ(i->action, "copy:");
  EXPECT_EQ(i->representedObject, "copy");
  EXPECT_EQ(i->keyEquivalent, "c");
  EXPECT_EQ(i->modifierMask, ModifierCommand);
}

TEST(AppMenuItem, WebRoleTakesSharedSelectorAndOwnAccelerator) {
  auto i = AppMenu::menuItem(item("Group", "group", "CmdOrCtrl+Shift+G"));
  EXPECT_EQ(i->title, "Group");
  EXPECT_EQ(i->action, WebActions::selector);
  EXPECT_EQ(i->representedObject, "group");
  EXPECT_EQ(i->keyEquivalent, "g");
  EXPECT_EQ(i->modifierMask, ModifierCommand | ModifierShift);

  auto bare = AppMenu::menuItem(item(std::nullopt, "group"));
  EXPECT_EQ(bare->action, WebActions::selector);
  EXPECT_EQ(bare->keyEquivalent, "");
  EXPECT_EQ(bare->modifierMask, 0u);
}

TEST(AppMenuItem, ItemWithoutRoleNeverGetsAKey) {
  auto i = AppMenu::menuItem(item("About", std::nullopt, "Cmd+I"));
  EXPECT_EQ(i->action, "");
  EXPECT_FALSE(i->representedObject);
  EXPECT_EQ(i->keyEquivalent, "");
  EXPECT_EQ(i->modifierMask, 0u);
  EXPECT_EQ(AppMenu::menuItem(Options{})->title, "");
}

struct RecordingDelegate : MenuDelegate {
  void menuWillOpen(Menu&) override {}
  void menuDidClose(Menu&) override {}
};

TEST(AppMenuItem, SubmenuWinsOverRoleAndCarriesTheWebDelegate) {
  RecordingDelegate delegate;
  WebActions::setMenuDelegate(&delegate);
  Options d =
      menu("Arrange", {item("Front"), item(std::nullopt, std::nullopt, std::nullopt, "separator"), menu("More", {})});
  d.role = "copy";
  d.accelerator = "Cmd+K";
  auto i = AppMenu::menuItem(d);
  WebActions::setMenuDelegate(nullptr);

  EXPECT_EQ(i->action, "");
  EXPECT_EQ(i->keyEquivalent, "");
  ASSERT_TRUE(i->submenu);
  EXPECT_EQ(i->submenu->title, "Arrange");
  EXPECT_EQ(i->submenu->delegate, &delegate);
  EXPECT_EQ(titles(*i->submenu), (Titles{"Front", "-", "More"}));
  auto more = i->submenu->itemAt(2);
  ASSERT_TRUE(more->submenu);
  EXPECT_TRUE(more->submenu->items().empty());
  EXPECT_EQ(more->submenu->delegate, &delegate);
}

TEST(AppMenuItem, OnlyExactSeparatorTypeMakesASeparator) {
  auto sep = AppMenu::menuItem(item("Edit", "copy", std::nullopt, "separator"));
  EXPECT_TRUE(sep->isSeparator);
  EXPECT_EQ(sep->action, "");
  auto ordinary = AppMenu::menuItem(item("Line", std::nullopt, std::nullopt, "Separator"));
  EXPECT_FALSE(ordinary->isSeparator);
  EXPECT_EQ(ordinary->title, "Line");
}

// The launch path: the globals of the installed editor, merged into the registered main menu.
TEST(AppMenuMerge, LaunchMergesTheInstalledEditorsMenu) {
  auto dir = testenv::freshFolder("engine");
  std::ofstream(dir / "app-globals.json")
      << R"({"documentVersion": 7, "appMenu": [{"label": "Edit", "submenu": [{"label": "Copy", "role": "copy"}]}]})";
  auto previous = AppInfo::current();
  AppInfo::setCurrent(std::make_shared<AppInfo>("Korvel", std::nullopt, dir));
  auto m = mainMenu({nativeMenu("Edit", {nativeItem("Undo", "undo:"), placeholder()}), nativeItem("Window")});
  AppMenu::setMainMenu(m);
  AppMenu::initializeMainMenu();
  AppMenu::setMainMenu(nullptr);
  AppInfo::setCurrent(previous);

  ASSERT_TRUE(AppInfo::ostrelGlobals());
  EXPECT_EQ(AppInfo::ostrelGlobals()->documentVersion, 7);
  EXPECT_EQ(titles(*m->itemAt(0)->submenu), (Titles{"Undo", "Copy"}));
}

}  // namespace
