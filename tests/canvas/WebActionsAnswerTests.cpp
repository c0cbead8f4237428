// How the page's answers about its actions are read, and the scripts that ask.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "canvas/WebActionsWebView.h"

namespace {

using State = WebActions::WebView::ActionState;

TEST(WebActionsAnswer, ReadsBooleansAndNativeAndDropsTheRest) {
  auto answer = nlohmann::json::parse(R"({"undo": true, "redo": false, "copy": "native", "cut": "yes",
                                          "paste": null, "delete": {}, "selectAll": 1})");
  auto states = WebActions::WebView::decodeValidationAnswer(answer);
  ASSERT_TRUE(states);
  EXPECT_EQ(*states, (WebActions::WebView::StateMap{{"undo", State::on}, {"redo", State::off},
                                                    {"copy", State::deferToNative}}));
}

TEST(WebActionsAnswer, AnythingButAnObjectIsNoAnswer) {
  EXPECT_FALSE(WebActions::WebView::decodeValidationAnswer(std::nullopt));
  EXPECT_FALSE(WebActions::WebView::decodeValidationAnswer(nlohmann::json(nullptr)));
  EXPECT_FALSE(WebActions::WebView::decodeValidationAnswer(nlohmann::json::array({true})));
  EXPECT_TRUE(WebActions::WebView::decodeValidationAnswer(nlohmann::json::object())->empty());
}

TEST(WebActionsAnswer, ActionNamesGoIntoScriptsAsStringLiterals) {
  EXPECT_EQ(WebActions::WebView::validationScript("*"),
            R"((window.Ostrel && window.Ostrel.validateAction) ? window.Ostrel.validateAction("*") : null;)");
  EXPECT_EQ(WebActions::WebView::dispatchScript("x'); evil(); ('"),
            R"((window.Ostrel && window.Ostrel.dispatchAction) ? window.Ostrel.dispatchAction("x'); evil(); ('") : null;)");
}

TEST(WebActionsTable, HybridActionsMapToNativeSelectors) {
  ASSERT_TRUE(WebActions::hybridAction("selectAll"));
  EXPECT_EQ(WebActions::hybridAction("selectAll")->nativeSelector, "selectAll:");
  EXPECT_FALSE(WebActions::hybridAction("group"));
}

}  // namespace
