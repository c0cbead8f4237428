// The start-up globals script and the placeholder's tools-panel width.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "canvas/OstrelView.h"
#include "canvas/StartupScript.h"

namespace {

TEST(StartupScript, PlainDocumentHasTypefacesWidthAndTutorialFlag) {
  StartupScript::Values v;
  v.typefaces = {{"B", {{"Regular", "B-Regular", 400}}}, {"A", {{"Bold", "A-Bold", 700}}}};
  v.tabContentWidth = 250;
  EXPECT_EQ(StartupScript::build(v),
            R"(window.SystemTypefaceDescriptors = [["A",[["Bold","A-Bold",700]]],["B",[["Regular","B-Regular",400]]]];)"
            "window['UserDefaultsTabContentWidth'] = 250.0;window['isTutorial'] = false;");
}

TEST(StartupScript, PiecesAppearOnlyForValuesOfTheirKind) {
  nlohmann::json presetsArray = nlohmann::json::array({1}), hints = nlohmann::json::array({"a"});
  nlohmann::json presets = {{"c", "#fff"}};
  StartupScript::Values v;
  v.colorPresets = &presetsArray;
  v.dismissedHints = &hints;
  v.tabContentWidth = 1.0;
  v.isTutorial = true;
  v.defaultTypeface = TypefaceTable::Descriptor{"__SF-UI-Text-Regular__", 400};
  std::string script = StartupScript::build(v);
  EXPECT_EQ(script.find("RWColorPresets"), std::string::npos);
  EXPECT_NE(script.find(R"(window.RWDismissedPropertyPanelHints = ["a"];)"), std::string::npos);
  EXPECT_EQ(script.find("UserDefaultsTabContentWidth"), std::string::npos);
  EXPECT_NE(script.find(R"(window.SystemTypefaceDefaultDescriptor = {"selector":"__SF-UI-Text-Regular__","weight":400};)"),
            std::string::npos);
  EXPECT_TRUE(script.ends_with("window['isTutorial'] = true;"));
  v.colorPresets = &presets;
  EXPECT_NE(StartupScript::build(v).find(R"(window.RWColorPresets = {"c":"#fff"};)"), std::string::npos);
}

TEST(StartupScript, WidthNumberKeepsFractionsAndMarksWholeNumbers) {
  EXPECT_EQ(StartupScript::formatWidth(250), "250.0");
  EXPECT_EQ(StartupScript::formatWidth(262.5), "262.5");
  EXPECT_EQ(StartupScript::formatWidth(100), "100.0");
  EXPECT_EQ(StartupScript::formatWidth(1e20), "1e+20");
}

TEST(OstrelView, ToolsPanelWidthFollowsTheStoredTabWidth) {
  EXPECT_EQ(OstrelView::toolsPanelWidth(0), 264);
  EXPECT_EQ(OstrelView::toolsPanelWidth(1.0), 174);
  EXPECT_EQ(OstrelView::toolsPanelWidth(100), 174);
  EXPECT_EQ(OstrelView::toolsPanelWidth(300), 344);
}

}  // namespace
