// The editor's settings stored in the user defaults.

#include <gtest/gtest.h>

#include "IPCTestSupport.h"
#include "platform/Defaults.h"

using namespace ipctest;

namespace {
nlohmann::json stored(const char* key) { return Defaults::standard().value(key); }
}  // namespace

TEST(Settings, ColorPresetsAndHintsRoundTripUnchangedAndReachObservers) {
  Harness h;
  int notified = 0;
  auto token = Defaults::standard().observe("RWColorPresets", [&] { ++notified; });
  h.request("ColorPresetsChange", R"({"RWColorPresets": {"brand": ["#ff0000", "#00ff00"], "n": 1.5}, "x": 1})");
  EXPECT_EQ(stored("RWColorPresets"), nlohmann::json::parse(R"({"brand": ["#ff0000", "#00ff00"], "n": 1.5})"));
  EXPECT_EQ(notified, 1);
  h.request("DismissedPropertyPanelHintsChange", R"({"RWDismissedPropertyPanelHints": ["a", "b"]})");
  EXPECT_EQ(stored("RWDismissedPropertyPanelHints"), nlohmann::json::parse(R"(["a", "b"])"));

  // The stored file holds what a new reader sees.
  Defaults reread(Defaults::standardFile());
  EXPECT_EQ(reread.value("RWColorPresets"), stored("RWColorPresets"));
  EXPECT_EQ(reread.value("RWDismissedPropertyPanelHints"), nlohmann::json::parse(R"(["a", "b"])"));
}

TEST(Settings, WrongShapesAndNullsChangeNothing) {
  Harness h;
  h.request("ColorPresetsChange", R"({"RWColorPresets": {"keep": true}})");
  for (const char* body : {R"({"other": 1})", R"([{"RWColorPresets": 1}])", R"("RWColorPresets")",
                           R"({"RWColorPresets": null})", R"({"RWColorPresets": {"a": [1, null]}})"})
    h.request("ColorPresetsChange", body);
  h.request("ColorPresetsChange");
  // What a page may store is bounded in depth and size.
  std::string deep = std::string(40, '[') + std::string(40, ']');
  h.request("ColorPresetsChange", nlohmann::json{{"RWColorPresets", nlohmann::json::parse(deep)}});
  h.request("ColorPresetsChange", nlohmann::json{{"RWColorPresets", {std::string(300 * 1024, 'c')}}});
  EXPECT_EQ(stored("RWColorPresets"), nlohmann::json::parse(R"({"keep": true})"));
  h.request("ColorPresetsChange", nlohmann::json{{"RWColorPresets", {std::string(200 * 1024, 'c')}}});
  EXPECT_EQ(stored("RWColorPresets")[0].get<std::string>().size(), 200u * 1024);
}

TEST(Settings, TabWidthTakesOnlyANumber) {
  Harness h;
  h.request("TabContentWidthChanged", R"({"value": 320})");
  EXPECT_EQ(stored("TabContentWidth"), nlohmann::json(320.0));
  EXPECT_TRUE(stored("TabContentWidth").is_number_float());
  for (const char* body : {R"({"value": "400"})", R"({"value": true})", R"({"value": null})", "400", "{}"})
    h.request("TabContentWidthChanged", body);
  EXPECT_EQ(Defaults::standard().doubleValue("TabContentWidth"), 320.0);
}
