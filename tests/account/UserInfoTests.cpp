// The user record's decoding and its encoding.

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

TEST(UserInfo, AFaultOutsideTheOrganisationFailsTheWholeRecord) {
  for (const char* bad : {R"({"id": "u"})", R"({"id": "u", "email": 3})", R"({"id": "u", "email": "e", "name": 1})",
                          R"({"id": "u", "email": "e", "experiments": {"x": {}}})", "[]", "not json"})
    EXPECT_FALSE(UserInfo::decode(std::string_view(bad))) << bad;
}

// The service may add, drop or retype an organisation's members; the sign-in must not suffer.
TEST(UserInfo, AnOrganisationCostsOnlyItsOddMembers) {
  struct Case {
    const char* organization;
    bool present;
    const char* tint;
    std::size_t features;
    std::size_t assets;
  };
  const Case cases[] = {
      {R"({"id": "o", "domain": "d", "displayName": "D", "name": "n", "features": {"x": true}, "assets": {}})", true, "",
       1, 0},
      {R"({"id": "o"})", true, "", 0, 0},
      {R"({"id": "o", "tint": 7, "features": {"x": "yes", "y": false}, "assets": {"a": "a.png", "b": 2}})", true, "",
       1, 1},
      {R"({"tint": "#fff", "features": [], "assets": null})", true, "#fff", 0, 0},
      {R"("acme")", false, "", 0, 0},
  };
  for (const auto& c : cases) {
    auto record = UserInfo::decode(std::string_view(std::string(R"({"id": "u", "email": "e", "organization": )") +
                                                    c.organization + "}"));
    ASSERT_TRUE(record) << c.organization;
    ASSERT_EQ(record->organization.has_value(), c.present) << c.organization;
    if (!c.present) continue;
    EXPECT_EQ(record->organization->tint, c.tint) << c.organization;
    EXPECT_EQ(record->organization->features.size(), c.features) << c.organization;
    EXPECT_EQ(record->organization->assets.size(), c.assets) << c.organization;
  }
}

}  // namespace
