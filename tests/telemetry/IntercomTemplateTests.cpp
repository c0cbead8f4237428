// The messaging page's settings and how they go into the page's HTML.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "account/LoginController.h"
#include "platform/Defaults.h"
#include "platform/JsonCoder.h"
#include "platform/NotificationCenter.h"
#include "support/TestEnvironment.h"
#include "telemetry/IntercomViewController.h"

namespace {

TEST(IntercomTemplate, SettingsAreEmptyWithoutAUserAndCarryTheRecordWithOne) {
  Defaults defaults(testenv::freshFolder("intercom") / "defaults.json");
  NotificationCenter notifications;
  LoginController login(defaults, notifications);
  auto empty = IntercomViewController::settings(login);
  EXPECT_EQ(empty.size(), 12u);
  for (const char* key : {"user_id", "korvel_user_id", "name", "email"}) EXPECT_EQ(empty[key], "") << key;
  EXPECT_EQ(empty["created_at"], 0);
  EXPECT_EQ(empty["app_id"], "wrhplbzc");
  EXPECT_EQ(empty["hide_default_launcher"], true);

  UserInfo user;
  user.id = "u-9";
  user.email = "ann@example.com";
  user.givenName = "Ann";
  user.familyName = "Lee";
  user.createdAt = "2020-01-02T03:04:05.678Z";
  login.setUserInfo(user);
  auto full = IntercomViewController::settings(login);
  EXPECT_EQ(full["user_id"], "ann@example.com");
  EXPECT_EQ(full["korvel_user_id"], "u-9");
  EXPECT_EQ(full["name"], "Ann Lee");
  EXPECT_TRUE(full["created_at"].is_number_integer());
  EXPECT_GT(full["created_at"].get<long long>(), 0);
}

TEST(IntercomTemplate, EveryPlaceholderGetsSettingsThatCannotBreakOutOfTheScript) {
  nlohmann::json settings = {{"name", "</script><b>&amp;\u2028\u2029"}};
  std::string page = IntercomViewController::fillTemplate(
      "<script>var a = {{ intercomSettings }}; var b = {{ intercomSettings }};</script>{{ intercom", settings);
  EXPECT_EQ(page.find("{{ intercomSettings }}"), std::string::npos);
  EXPECT_EQ(page.rfind("{{ intercom"), page.size() - 11);
  std::string inner = page.substr(0, page.size() - 11);
  EXPECT_EQ(inner.find("</script>", 8), inner.size() - 9);  // only the template's own
  for (const char* raw : {"<b>", "&amp;", "\u2028", "\u2029"}) EXPECT_EQ(inner.find(raw), std::string::npos) << raw;
  EXPECT_NE(inner.find("\\u003c/script\\u003e\\u003cb\\u003e\\u0026amp;\\u2028\\u2029"), std::string::npos);
  auto at = inner.find("var a = ") + 8;
  auto value = JsonCoder::parse(inner.substr(at, inner.find("; var b") - at));
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, settings);
}

}  // namespace
