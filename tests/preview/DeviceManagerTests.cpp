// The device manager keeps the last catalog it could decode, by category, and announces each.
#include <gtest/gtest.h>

#include "FakePreviewDocument.h"
#include "foundation/SharedNames.h"
#include "platform/NotificationCenter.h"
#include "preview/PreviewMenu.h"

namespace {

struct Announcements {
  explicit Announcements(DeviceManager& m)
      : token(NotificationCenter::defaultCenter().addObserver(DevicesChangeNotification, &m,
                                                              [this](const Notification&) { ++count; })) {}
  int count = 0;
  ObserverToken token;
};

void parseText(DeviceManager& m, const std::string& text) {
  nlohmann::json value = text;
  m.parse(&value);
}

TEST(DeviceManager, KeepsTheLastGoodCatalogByCategory) {
  DeviceManager m;
  Announcements seen(m);
  EXPECT_EQ(m.deviceCategories(), std::vector<std::string>{"Canvas"});
  EXPECT_EQ(m.devicesForCategory("Canvas"), nullptr);
  EXPECT_EQ(m.defaultDeviceForCategory("Phones"), "Canvas");
  EXPECT_TRUE(m.skinsForDevice("phone").empty());

  parseText(m, sampleCatalog());
  parseText(m, sampleCatalog());
  EXPECT_EQ(seen.count, 2);
  EXPECT_EQ(m.deviceCategories(), (std::vector<std::string>{"Canvas", "Phones"}));
  ASSERT_TRUE(m.devicesForCategory("Phones"));
  EXPECT_EQ(m.devicesForCategory("Phones")->size(), 3u);
  EXPECT_EQ(m.uncategorized(), (std::vector<std::string>{"free", "tiny"}));
  EXPECT_EQ(m.skinsForDevice("phone").size(), 2u);

  testing::internal::CaptureStdout();
  parseText(m, R"({"devices": {}})");
  EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("Failed to decode Ostrel device data: ", 0), 0u);
  EXPECT_EQ(seen.count, 2);
  EXPECT_TRUE(m.descriptorForDevice("phone"));

  // Not text: ignored without a word.
  testing::internal::CaptureStdout();
  nlohmann::json object = nlohmann::json::parse(sampleCatalog());
  m.parse(&object);
  m.parse(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(seen.count, 2);

  parseText(m, R"({"devices": {"c": {"title": "C", "category": "Canvas", "screen": {"width": 1, "height": 1}}}, "deviceSkins": {}})");
  EXPECT_EQ(m.deviceCategories(), std::vector<std::string>{"Canvas"});
  EXPECT_EQ(*m.devicesForCategory("Canvas"), std::vector<std::string>{"c"});
}

TEST(DeviceManager, LeavesOutDevicesWithoutAScreen) {
  DeviceManager m;
  parseText(m, R"({"devices": {"zero": {"title": "Z", "screen": {"width": 0, "height": 10}},
                               "negative": {"title": "N", "category": "X", "screen": {"width": 10, "height": -1}},
                               "fine": {"title": "F", "screen": {"width": 10, "height": 10}}}, "deviceSkins": {}})");
  EXPECT_EQ(m.devices().size(), 1u);
  EXPECT_EQ(m.uncategorized(), std::vector<std::string>{"fine"});
  EXPECT_EQ(m.deviceCategories(), std::vector<std::string>{"Canvas"});
}

TEST(DeviceManager, MakesAndSplitsMenuTypes) {
  using MT = DeviceManager::MenuType;
  EXPECT_EQ(DeviceManager::createMenuType("d", std::nullopt), "d");
  EXPECT_EQ(DeviceManager::createMenuType("d", ""), "d");
  EXPECT_EQ(DeviceManager::createMenuType("Canvas", "s"), "Canvas;skin:s");
  const std::pair<std::string, MT> cases[] = {
      {"d", {"d", std::nullopt}},         {"d;skin:s", {"d", "s"}},
      {"d;skin:", {"d", ""}},             {";skin:s", {"", "s"}},
      {"a;skin:b;skin:c", {"a;skin:b;skin:c", std::nullopt}},
      {"", {"", std::nullopt}},           {"d;SKIN:s", {"d;SKIN:s", std::nullopt}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(DeviceManager::parseMenuType(text), expected) << text;
}

// Titles of a menu, "-" for separators, "*" after checked items.
std::vector<std::string> titles(const PreviewMenu& menu) {
  std::vector<std::string> out;
  for (const auto& item : menu.items()) out.push_back(item->isSeparator ? "-" : item->title + (item->checked ? "*" : ""));
  return out;
}

TEST(DeviceMenu, OrdersByCategoryKindAndSelector) {
  auto d = FakePreviewDocument::make();
  auto& menu = *d->preview->deviceCategoriesMenu();
  d->loadCatalog(R"({"devices": {}, "deviceSkins": {}})");
  EXPECT_EQ(titles(menu), std::vector<std::string>{"-"});
  EXPECT_TRUE(d->menu->menuItems().empty());

  d->loadCatalog(R"({"devices": {
      "p1": {"title": "P1", "selector": "b", "category": "P", "kind": "phone", "screen": {"width": 1, "height": 1}},
      "p2": {"title": "P2", "selector": "a", "category": "P", "kind": "phone", "screen": {"width": 1, "height": 1}},
      "p3": {"title": "P3", "category": "P", "kind": "phone", "screen": {"width": 1, "height": 1}},
      "w": {"title": "W", "category": "P", "kind": "watch", "screen": {"width": 1, "height": 1}},
      "t": {"title": "T", "category": "P", "kind": "tablet", "screen": {"width": 1, "height": 1}},
      "car": {"title": "Car", "category": "Q", "kind": "car", "screen": {"width": 1, "height": 1}},
      "tv": {"title": "TV", "category": "Q", "kind": "tv", "screen": {"width": 1, "height": 1}},
      "up": {"title": "UP", "kind": "phone", "screen": {"width": 1, "height": 1}},
      "uw": {"title": "UW", "kind": "watch", "screen": {"width": 1, "height": 1}}}, "deviceSkins": {}})");
  // Categories come in the order the catalog's ids are visited ("car" first); kinds and selectors
  // order each one.
  EXPECT_EQ(titles(menu), (std::vector<std::string>{"-", "TV", "-", "Car", "-", "W", "-", "P3", "a", "b", "-", "T", "-",
                                                    "UW", "UP"}));
}

TEST(DeviceMenu, SkinsGetASubmenuAndChecksFollowThePreview) {
  auto d = FakePreviewDocument::make();
  d->loadCatalog(sampleCatalog());
  auto& menu = *d->preview->deviceCategoriesMenu();
  std::shared_ptr<PreviewMenuItem> phone;
  for (const auto& item : menu.items())
    if (item->title == "Phone X") phone = item;
  ASSERT_TRUE(phone && phone->submenu());
  EXPECT_EQ(titles(*phone->submenu()), (std::vector<std::string>{"Screen Size Only", "-", "a", "b"}));

  d->preview->ostrelPreviewUpdate(selectionText("f", {{"deviceType", "phone"}, {"skin", "b"}}));
  EXPECT_EQ(titles(*phone->submenu()), (std::vector<std::string>{"Screen Size Only", "-", "a", "b*"}));
  EXPECT_TRUE(phone->checked);
  int checked = 0;
  for (const auto& item : d->menu->menuItems()) checked += item->checked;
  EXPECT_EQ(checked, 2);

  // Without a skin the later "Screen Size Only" is the one checked, with its device.
  d->preview->ostrelPreviewUpdate(selectionText("f", {{"deviceType", "phone"}}));
  EXPECT_EQ(titles(*phone->submenu()), (std::vector<std::string>{"Screen Size Only*", "-", "a", "b"}));
  EXPECT_TRUE(phone->checked);

  d->preview->ostrelPreviewUpdate(selectionText("f", {{"deviceType", "nothing-like-it"}}));
  for (const auto& item : d->menu->menuItems()) EXPECT_FALSE(item->checked) << item->title;

  // Choosing an entry sends its menu type and checks nothing by itself.
  d->menu->handleSelection(*phone->submenu()->items()[2]);
  ASSERT_EQ(d->sent.size(), 1u);
  EXPECT_EQ(d->sent[0].second, (nlohmann::json{{"deviceType", "phone"}, {"skin", "a"}, {"bezel", true}}));
  EXPECT_FALSE(phone->submenu()->items()[2]->checked);
}

}  // namespace
