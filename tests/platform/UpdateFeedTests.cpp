// The update feed's rules: version order, picking the newest usable item, the feed address.
#include <gtest/gtest.h>

#include "platform/UpdateFeed.h"

TEST(UpdateFeed, VersionsCompareNumberByNumber) {
  using UpdateFeed::compareVersions;
  EXPECT_GT(compareVersions("1.10", "1.9"), 0);
  EXPECT_LT(compareVersions("2", "10"), 0);
  EXPECT_EQ(compareVersions("1.0", "1"), 0);
  EXPECT_EQ(compareVersions("1.02", "1.2"), 0);
  EXPECT_GT(compareVersions("1.0.1", "1"), 0);
  EXPECT_LT(compareVersions("2b1", "2"), 0);
  EXPECT_LT(compareVersions("2b1", "2b2"), 0);
  // Larger than any integer type still orders.
  EXPECT_GT(compareVersions("123456789012345678901234567890", "99999999999999999999"), 0);
  EXPECT_EQ(compareVersions("", "0"), 0);
}

TEST(UpdateFeed, TheNewestUsableItemWins) {
  auto item = UpdateFeed::newestItem(R"feed({"items": [
    {"version": "9", "shortVersionString": "1.9", "downloadURL": "https://korvel.io/d/9"},
    {"version": "12", "downloadURL": "https://korvel.io/d/12"},
    {"version": "99", "downloadURL": "file:///etc/passwd"},
    {"version": "98", "downloadURL": "javascript:alert(1)"},
    {"version": "97"},
    {"downloadURL": "https://korvel.io/none"},
    42
  ]})feed");
  ASSERT_TRUE(item) << item.error().description();
  ASSERT_TRUE(item->has_value());
  EXPECT_EQ((*item)->version, "12");
  EXPECT_EQ((*item)->shortVersionString, "12");  // none given: the version stands in
  EXPECT_EQ((*item)->downloadURL.absoluteString(), "https://korvel.io/d/12");

  EXPECT_EQ(UpdateFeed::newerThan(*item, "12"), std::nullopt);
  EXPECT_EQ(UpdateFeed::newerThan(*item, "13"), std::nullopt);
  EXPECT_TRUE(UpdateFeed::newerThan(*item, "11.5").has_value());

  auto empty = UpdateFeed::newestItem(R"({"items": []})");
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->has_value());
}

TEST(UpdateFeed, TextThatIsNoFeedIsAnError) {
  for (const char* text : {"", "{\"items\": [", "[]", "{\"items\": {}}", "{}"}) {
    auto item = UpdateFeed::newestItem(text);
    ASSERT_FALSE(item) << text;
    EXPECT_EQ(item.error().domain, UpdateFeed::ErrorDomain);
    EXPECT_EQ(item.error().code, UpdateFeed::feedUnreadable);
  }
}

TEST(UpdateFeed, APathIsPutOnTheBaseAndOnlyWebAddressesStand) {
  auto base = Url::parse("http://127.0.0.1:8787");
  EXPECT_EQ(UpdateFeed::resolve("/appcast.json", base)->absoluteString(), "http://127.0.0.1:8787/appcast.json");
  EXPECT_EQ(UpdateFeed::resolve("/appcast.json", std::nullopt), std::nullopt);
  EXPECT_EQ(UpdateFeed::resolve("https://u.korvel.io/feed.json", base)->absoluteString(), "https://u.korvel.io/feed.json");
  EXPECT_EQ(UpdateFeed::resolve("file:///tmp/feed.json", base), std::nullopt);
  EXPECT_EQ(UpdateFeed::resolve("", base), std::nullopt);
}
