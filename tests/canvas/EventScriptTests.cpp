// Values on their way into page scripts: toJson/fromJson and the event script built from them.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "canvas/BaseOstrelViewController.h"
#include "canvas/WebViewController.h"

namespace {

std::optional<IPCValue> bytes(const std::string& s) { return IPCValue(Data(s.begin(), s.end())); }

TEST(ToJson, WritesEachKindOfValue) {
  EXPECT_EQ(WebViewController::toJson(std::nullopt), "null");
  EXPECT_EQ(WebViewController::toJson(IPCValue::string("say \"hi\"\n")), R"("say \"hi\"\n")");
  EXPECT_EQ(WebViewController::toJson(IPCValue(nlohmann::json::array())), "[]");
  EXPECT_EQ(WebViewController::toJson(IPCValue(nlohmann::json::object())), "{}");
  EXPECT_EQ(WebViewController::toJson(IPCValue::number(2.5)), "2.5");
  EXPECT_EQ(WebViewController::toJson(IPCValue::boolean(false)), "false");
  EXPECT_EQ(WebViewController::toJson(IPCValue(nlohmann::json(nullptr))), "null");
}

TEST(ToJson, BytesHoldingJsonArriveAsThatJsonOtherTextAsAString) {
  EXPECT_EQ(WebViewController::toJson(bytes(R"({"id":"o1"})")), R"({"id":"o1"})");
  EXPECT_EQ(WebViewController::toJson(bytes("not json')")), R"x("not json')")x");
  EXPECT_EQ(WebViewController::toJson(bytes("\xff\xfe")), std::nullopt);
}

TEST(ToJson, SeparatorsAndScriptEndTagsStayInsideTheString) {
  std::string text = "a\u2028b\u2029c</script><script>alert(1)</script>";
  auto json = WebViewController::toJson(IPCValue::string(text));
  ASSERT_TRUE(json);
  EXPECT_EQ(json->find("\u2028"), std::string::npos);
  EXPECT_NE(json->find("\\u2028"), std::string::npos);
  EXPECT_EQ(WebViewController::fromJson(json), nlohmann::json(text));
}

TEST(FromJson, ReadsFragmentsAndRefusesBadText) {
  EXPECT_EQ(WebViewController::fromJson("42"), nlohmann::json(42));
  EXPECT_EQ(WebViewController::fromJson("\"x\""), nlohmann::json("x"));
  EXPECT_EQ(WebViewController::fromJson("null"), nlohmann::json(nullptr));
  EXPECT_EQ(WebViewController::fromJson("{\"a\":"), std::nullopt);
  EXPECT_EQ(WebViewController::fromJson(std::nullopt), std::nullopt);
}

TEST(EventScript, HasNoCommaWithoutArguments) {
  EXPECT_EQ(BaseOstrelViewController::eventScript("DocumentSave", {}), R"(window._ipc && window._ipc.emit("DocumentSave"))");
}

TEST(EventScript, KeepsArgumentPlacesForValuesWithoutJson) {
  IPCArguments args = {IPCValue::string("id"), std::nullopt, bytes("\xc3\x28"), IPCValue(nlohmann::json{{"k", 1}})};
  EXPECT_EQ(BaseOstrelViewController::eventScript("UpdatePreviewSettings", args),
            R"(window._ipc && window._ipc.emit("UpdatePreviewSettings", "id", null, null, {"k":1}))");
}

TEST(EventScript, QuotesTheEventName) {
  EXPECT_EQ(BaseOstrelViewController::eventScript("a\")+alert(1)+(\"", {}),
            R"(window._ipc && window._ipc.emit("a\")+alert(1)+(\""))");
}

}  // namespace
