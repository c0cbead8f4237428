#include <gtest/gtest.h>

#include "platform/Url.h"

TEST(Url, ParsesPartsAndKnowsLoopback) {
  auto u = Url::parse("http://127.0.0.1:8787/track?x=1");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->scheme(), "http");
  EXPECT_EQ(u->host(), "127.0.0.1");
  EXPECT_EQ(u->port(), 8787);
  EXPECT_EQ(u->path(), "/track");
  EXPECT_EQ(u->query(), "x=1");
  EXPECT_TRUE(u->isLoopback());
  EXPECT_TRUE(Url::parse("http://localhost/")->isLoopback());
  EXPECT_TRUE(Url::parse("http://[::1]:9/")->isLoopback());
  EXPECT_FALSE(Url::parse("http://127.example.com/")->isLoopback());
  EXPECT_FALSE(Url::parse("http://127.0.0.1.nip.example/")->isLoopback());
  EXPECT_FALSE(Url::parse("https://api.korvel.io")->isLoopback());
  EXPECT_FALSE(Url::parse("not a url"));
}

TEST(Url, BuildsDerivedAddresses) {
  auto base = *Url::parse("https://cloud.korvel.io/dashboard");
  EXPECT_EQ(base.withQuery("token=abc").absoluteString(), "https://cloud.korvel.io/dashboard?token=abc");
  EXPECT_EQ(base.appendingPathComponent("me").absoluteString(), "https://cloud.korvel.io/dashboard/me");
  EXPECT_EQ(Url::parse("http://127.0.0.1:5/x/")->withPath("").absoluteString(), "http://127.0.0.1:5");
}
