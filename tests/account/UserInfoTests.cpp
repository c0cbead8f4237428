// The user record's strict decoding and its encoding.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "account/UserInfo.h"

namespace {

const char* full = R"({"id": "u1", "email": "a@b.c", "name": "Ada L", "givenName": "Ada", "familyName": "L",
  "createdAt": "2018-03-01T10:20:30.123Z", "extra": 1,
  "organization": {"id": "o", "domain": "d", "displayName": "D", "name": "n", "tint": "#fff",
                   "features": {"x": true}, "assets": {"logo": "l.png"}},
  "experiments": {"tutorialButtonCta": {"variant": "b"}}})";

TEST(UserInfo, RoundTripsAndIgnoresUnknownKeys) {
  auto record = UserInfo::decode(std::string_view(full));
  ASSERT_TRUE(record);
  EXPECT_EQ(record->organization->assets.at("logo"), "l.png");
  EXPECT_EQ(record->experiments->at("tutorialButtonCta").variant, "b");
  EXPECT_FALSE(record->encode().contains("extra"));
  auto again = UserInfo::decode(record->encode());
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *record);
}

TEST(UserInfo, OnlyRequiredKeysStayOnlyRequiredKeys) {
  auto record = UserInfo::decode(std::string_view(R"({"id": "u", "email": "e", "name": null, "experiments": {}})"));
  ASSERT_TRUE(record);
  EXPECT_FALSE(record->name);
  EXPECT_TRUE(record->experiments && record->experiments->empty());
  EXPECT_EQ(record->encode(), nlohmann::json::parse(R"({"id": "u", "email": "e", "experiments": {}})"));
}

TEST(UserInfo, AnyFaultFailsTheWholeRecord) {
  for (const char* bad : {R"({"id": "u"})", R"({"id": "u", "email": 3})", R"({"id": "u", "email": "e", "name": 1})",
                          R"({"id": "u", "email": "e", "organization": {"id": "o"}})",
                          R"({"id": "u", "email": "e", "experiments": {"x": {}}})",
                          R"({"id": "u", "email": "e", "organization": {"id": "o", "domain": "d", "displayName": "D",
                             "name": "n", "tint": "t", "features": {"x": "yes"}, "assets": {}}})",
                          "[]", "not json"})
    EXPECT_FALSE(UserInfo::decode(std::string_view(bad))) << bad;
}

}  // namespace
