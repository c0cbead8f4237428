// What the preview derives from the editor's selection, and the settings it sends back.
#include <gtest/gtest.h>

#include "FakePreviewDocument.h"
#include "preview/KorvelViewController.h"
#include "preview/PreviewMenu.h"

namespace {

using json = nlohmann::json;

class PreviewSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    d = FakePreviewDocument::make();
    d->loadCatalog(sampleCatalog());
    p = d->preview.get();
  }
  void select(const json& settings, const std::string& id = "f") { p->ostrelPreviewUpdate(selectionText(id, settings)); }
  std::vector<json> sentSettings() {
    std::vector<json> out;
    for (auto& [id, s] : d->sent) out.push_back(s);
    d->sent.clear();
    return out;
  }
  std::shared_ptr<FakePreviewDocument> d;
  PreviewWindowController* p = nullptr;
};

TEST_F(PreviewSettings, WithoutASelectionNothingIsShownOrSent) {
  EXPECT_TRUE(p->deviceIsCanvas());
  EXPECT_EQ(p->deviceMenuType(), "Canvas");
  EXPECT_EQ(p->deviceZoom(), -1);
  EXPECT_FALSE(p->deviceResponsive() || p->deviceRotate() || p->deviceShowBezel() || p->deviceShowHand() ||
               p->deviceTouchCursor());
  EXPECT_EQ(p->title(), "No Selection");
  p->setupMenu();
  EXPECT_FALSE(p->deviceMenuItem()->enabled);
  EXPECT_FALSE(p->deviceMenuItem()->checked);
  EXPECT_EQ(p->deviceMenuItem()->title, "Device");
  p->handleDeviceMenuSelection("phone");
  p->selectCanvasMode();
  p->toggleHand();
  p->toggleTouchCursor();
  p->orientationButtonPressed();
  EXPECT_TRUE(d->sent.empty());

  testing::internal::CaptureStdout();
  p->ostrelPreviewUpdate("{not json");
  EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("Failed to decode Ostrel selection data: ", 0), 0u);
  EXPECT_FALSE(p->hasSelection());
}

TEST_F(PreviewSettings, DerivesDeviceValues) {
  select({{"bezel", true}});
  EXPECT_TRUE(p->deviceIsCanvas());
  EXPECT_TRUE(p->deviceShowBezel());
  EXPECT_FALSE(p->deviceSkin());

  select({{"deviceType", "Canvas"}, {"skin", "a"}, {"bezel", true}});
  EXPECT_FALSE(p->deviceSkin());
  EXPECT_EQ(p->deviceMenuType(), "Canvas");
  EXPECT_FALSE(p->deviceShowBezel());

  select({{"deviceType", "phone"}, {"skin", "a"}, {"bezel", true}, {"hand", "left"}, {"zoom", 2}});
  EXPECT_EQ(p->deviceMenuType(), "phone;skin:a");
  EXPECT_TRUE(p->deviceShowHand());
  EXPECT_TRUE(p->deviceHasHand());
  EXPECT_TRUE(p->deviceCanRotate());
  EXPECT_EQ(p->deviceZoom(), 2.0);
  EXPECT_EQ(p->deviceSize(), (PreviewSizing::Size{750, 1334}));
  p->setupMenu();
  EXPECT_TRUE(p->deviceMenuItem()->checked);
  EXPECT_EQ(p->deviceMenuItem()->title, "Phone X");
}

TEST_F(PreviewSettings, MenuActionsSendTheirSettings) {
  select({{"deviceType", "phone"}, {"skin", "a"}, {"bezel", true}});
  p->handleDeviceMenuSelection("phone;skin:b");
  p->handleDeviceMenuSelection("phone;skin:zzz");
  p->handleDeviceMenuSelection("unknown;skin:a");
  p->toggleResponsive();
  p->toggleTouchCursor();
  p->orientationButtonPressed();
  EXPECT_EQ(sentSettings(), (std::vector<json>{{{"deviceType", "phone"}, {"skin", "b"}, {"bezel", true}},
                                               {{"deviceType", "phone"}, {"skin", ""}, {"bezel", false}},
                                               {{"deviceType", "unknown"}, {"skin", ""}, {"bezel", false}},
                                               {{"responsive", true}},
                                               {{"touch", true}},
                                               {{"rotate", true}}}));
  ASSERT_TRUE(d->sent.empty());

  // Canvas mode remembers the device; the device item brings it back once.
  p->selectResponsiveCanvasMode();
  EXPECT_EQ(sentSettings(), (std::vector<json>{{{"deviceType", "Canvas"}, {"skin", ""}, {"bezel", false}},
                                               {{"responsive", true}}}));
  select({{"deviceType", "Canvas"}, {"responsive", true}});
  p->setupMenu();
  EXPECT_EQ(p->deviceMenuItem()->title, "Phone X");
  p->clickDeviceMenuItem();
  p->clickDeviceMenuItem();
  EXPECT_EQ(sentSettings(), (std::vector<json>{{{"deviceType", "phone"}, {"skin", "a"}, {"bezel", true}}}));

  // Another frame forgets the remembered device.
  p->selectCanvasMode();
  sentSettings();
  select({{"deviceType", "Canvas"}}, "other");
  p->clickDeviceMenuItem();
  EXPECT_TRUE(d->sent.empty());
}

TEST_F(PreviewSettings, TheHandCyclesThroughTheDevicesHands) {
  // The hand list is the reverse of the map's order: right, then left.
  const std::pair<json, json> cases[] = {
      {{{"deviceType", "phone"}}, {{"hand", "right"}, {"deviceType", "phone"}, {"bezel", true}, {"skin", "a"}}},
      {{{"deviceType", "phone"}, {"skin", "b"}, {"hand", "right"}}, {{"hand", "left"}}},
      {{{"deviceType", "phone"}, {"hand", "left"}}, {{"hand", nullptr}}},
      {{{"deviceType", "phone"}, {"hand", "paw"}, {"skin", "b"}}, {{"hand", "right"}, {"deviceType", "phone"}, {"bezel", true}, {"skin", "b"}}},
      {{{"deviceType", "tablet"}}, {{"hand", nullptr}, {"deviceType", "tablet"}, {"bezel", true}, {"skin", ""}}},
  };
  for (const auto& [settings, expected] : cases) {
    select(settings);
    p->toggleHand();
    EXPECT_EQ(sentSettings(), std::vector<json>{expected}) << settings;
  }
}

TEST_F(PreviewSettings, ValidatesItsMenuItems) {
  PreviewMenuItem hand("Hand", "toggleHand:"), rotate("Rotate", "orientationButtonPressed:"),
      canvas("Canvas", "selectCanvasMode:"), responsive("Responsive Canvas", "selectResponsiveCanvasMode:");
  select({{"deviceType", "phone"}, {"rotate", true}});
  EXPECT_FALSE(p->validateMenuItem(hand));
  EXPECT_TRUE(p->validateMenuItem(rotate));
  select({{"deviceType", "phone"}});
  EXPECT_TRUE(p->validateMenuItem(hand));
  select({{"responsive", true}});
  EXPECT_TRUE(p->validateMenuItem(canvas));
  EXPECT_TRUE(p->validateMenuItem(responsive));
  EXPECT_FALSE(canvas.checked);
  EXPECT_TRUE(responsive.checked);
}

TEST_F(PreviewSettings, TitleShowsTheZoomRoundedHalfAwayFromZero) {
  select({});
  const std::pair<double, const char*> cases[] = {{1.0, "Home  (100%)"}, {0.333, "Home  (33%)"}, {0.335, "Home  (34%)"},
                                                  {0.5, "Home  (50%)"}};
  for (auto [scale, title] : cases) {
    EXPECT_TRUE(p->setPreviewContentScale(scale));
    EXPECT_EQ(p->title(), title);
  }
  for (double bad : {0.0, -1.0, std::nan(""), HUGE_VAL, 1000.0}) EXPECT_FALSE(p->setPreviewContentScale(bad)) << bad;
  EXPECT_EQ(p->previewContentScale(), 0.5);
}

TEST_F(PreviewSettings, CleanUpStopsLiveSharing) {
  d->server = std::make_shared<RecordingServer>();
  p->cleanup();
  EXPECT_EQ(d->server->liveSharingStops, 1);
}

}  // namespace

namespace {

TEST(PreviewPage, AddressCarriesTheServersAddressesAsQueryValues) {
  auto server = Url::parse("http://127.0.0.1:4000/");
  ASSERT_TRUE(server);
  EXPECT_EQ(KorvelViewController::previewPageURL("http://127.0.0.1:4000/a+b&c", *server),
            "http://127.0.0.1:4000/_app/resources/Ostrel/preview.html"
            "?imageBaseURL=http://127.0.0.1:4000/a%252Bb%26c&projectURL=http://127.0.0.1:4000/");
}

}  // namespace
