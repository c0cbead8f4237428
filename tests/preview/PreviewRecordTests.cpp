// The device catalog and the editor's selection decode strictly: one bad value anywhere
// rejects the whole record.
#include <gtest/gtest.h>

#include <cmath>

#include <nlohmann/json.hpp>

#include "preview/DeviceDescriptor.h"
#include "preview/OstrelSelection.h"

namespace {

// A catalog with one device "d" whose members are `device` over title and screen.
std::string catalogWith(const std::string& deviceMembers, const std::string& tail = R"(, "deviceSkins": {})") {
  return R"({"devices": {"d": {"title": "T", "screen": {"width": 320, "height": 480})" + deviceMembers + "}}" + tail + "}";
}

struct CatalogCase {
  const char* name;
  std::string text;
  bool decodes;
};

TEST(DeviceCatalog, DecodesOnlyWellTypedCatalogs) {
  const CatalogCase cases[] = {
      {"empty", R"({"devices": {}, "deviceSkins": {}})", true},
      {"no deviceSkins", R"({"devices": {}})", false},
      {"top-level array", "[]", false},
      {"not JSON", "{", false},
      {"title and screen only", catalogWith(""), true},
      {"null category", catalogWith(R"(, "category": null)"), true},
      {"number category", catalogWith(R"(, "category": 5)"), false},
      {"whole float width", R"({"devices": {"d": {"title": "T", "screen": {"width": 320.0, "height": 480}}}, "deviceSkins": {}})", true},
      {"fractional width", R"({"devices": {"d": {"title": "T", "screen": {"width": 320.5, "height": 480}}}, "deviceSkins": {}})", false},
      {"string width", R"({"devices": {"d": {"title": "T", "screen": {"width": "320", "height": 480}}}, "deviceSkins": {}})", false},
      {"width beyond 64 bits", R"({"devices": {"d": {"title": "T", "screen": {"width": 1e19, "height": 480}}}, "deviceSkins": {}})", false},
      {"integer pixelRatio", catalogWith(R"(, "pixelRatio": 2)"), true},
      {"numeric canRotate", catalogWith(R"(, "canRotate": 1)"), false},
      {"null device", R"({"devices": {"d": null}, "deviceSkins": {}})", false},
      {"null skin", catalogWith(R"(, "skins": {"s": null})"), false},
      {"skin of neither form", catalogWith(R"(, "skins": {"s": {"image": "x"}})"), false},
      {"bad deviceSkins entry", catalogWith("", R"(, "deviceSkins": {"x": {"title": 1}})"), false},
      {"unknown members", catalogWith(R"(, "name": "ignored")"), true},
  };
  for (const auto& c : cases) EXPECT_EQ(DevicesData::fromText(c.text).has_value(), c.decodes) << c.name;
}

TEST(DeviceCatalog, TellsSkinAndHandFormsApart) {
  auto data = DevicesData::fromText(catalogWith(R"(, "pixelRatio": 2,
      "skins": {"full": {"image": "i", "imageWidth": 1, "imageHeight": 2, "padding": 0.5, "background": "#fff", "package": "p"},
                "noBackground": {"image": "i", "imageWidth": 1, "imageHeight": 2, "padding": 0.5, "package": "p2"},
                "badWidth": {"image": "i", "imageWidth": "1", "imageHeight": 2, "padding": 0.5, "background": "#fff", "package": "p3"}},
      "hands": {"ext": {"package": "h"}, "int": {"image": "i", "width": 1, "height": 2, "offset": 3}})"));
  ASSERT_TRUE(data) << data.error().description();
  const auto& d = data->devices.at("d");
  EXPECT_EQ(d.screen.width, 320);
  EXPECT_EQ(d.pixelRatio, 2.0);
  EXPECT_FALSE(d.category);
  EXPECT_TRUE(d.skins->at("full").isIntern());
  EXPECT_EQ(std::get<ExternalDeviceSkin>(d.skins->at("noBackground").value).package, "p2");
  EXPECT_EQ(std::get<ExternalDeviceSkin>(d.skins->at("badWidth").value).package, "p3");
  EXPECT_FALSE(d.hands->at("ext").isIntern());
  EXPECT_EQ(std::get<InternalDeviceHand>(d.hands->at("int").value).offset, 3);
}

TEST(DeviceCatalog, APixelRatioThatIsNotPositiveCountsAsOne) {
  DeviceDescriptor d;
  const std::pair<std::optional<double>, double> cases[] = {
      {std::nullopt, 1.0}, {2.0, 2.0}, {0.0, 1.0}, {-3.0, 1.0}, {std::nan(""), 1.0}, {HUGE_VAL, 1.0}};
  for (auto [given, expected] : cases) {
    d.pixelRatio = given;
    EXPECT_EQ(d.effectivePixelRatio(), expected);
  }
}

std::string selectionWith(const std::string& settings, const std::string& meta = R"("width": 320)") {
  return R"({"presentationNode": {"componentClass": "Frame"}, "metadata": {"name": "Home", "id": "f1", )" + meta +
         R"(, "settings": {"responsive": false, "rotate": false, "bezel": true)" + settings + "}}}";
}

TEST(OstrelSelectionRecord, DecodesOnlyWellTypedSelections) {
  const CatalogCase cases[] = {
      {"four switches", selectionWith(R"(, "touch": false)"), true},
      {"no touch", selectionWith(""), false},
      {"null touch", selectionWith(R"(, "touch": null)"), false},
      {"numeric touch", selectionWith(R"(, "touch": 1)"), false},
      {"integer zoom", selectionWith(R"(, "touch": false, "zoom": 2)"), true},
      {"fractional width", selectionWith(R"(, "touch": false)", R"("width": 320.5)"), false},
      {"null deviceType", selectionWith(R"(, "touch": false, "deviceType": null)"), true},
      {"descriptor with title only", selectionWith(R"(, "touch": false, "deviceDescriptor": {"title": "T"})"), false},
      {"descriptor with screen", selectionWith(R"(, "touch": false, "deviceDescriptor": {"title": "T", "screen": {"width": 1, "height": 2}})"), true},
      {"array", "[]", false},
      {"a name holding a lone half of a UTF-16 pair",
       R"({"presentationNode": {"componentClass": "Frame"}, "metadata": {"name": "H\ud83d", "id": "f1",)"
       R"( "settings": {"responsive": false, "rotate": false, "bezel": true, "touch": false}}})",
       true},
  };
  for (const auto& c : cases) EXPECT_EQ(OstrelSelection::fromText(c.text).has_value(), c.decodes) << c.name;

  auto s = OstrelSelection::fromText(selectionWith(R"(, "touch": true, "zoom": 2, "extra": {"x": 1})"));
  ASSERT_TRUE(s);
  EXPECT_EQ(s->metadata.width, 320);
  EXPECT_FALSE(s->metadata.height);
  EXPECT_EQ(s->metadata.settings.zoom, 2.0);
  EXPECT_TRUE(s->metadata.settings.touch);
  EXPECT_FALSE(s->metadata.settings.deviceType);
}

}  // namespace
