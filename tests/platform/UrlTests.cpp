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

TEST(Url, JoinsThatWouldNotParseStillGiveAnAddress) {
  auto base = *Url::parse("https://cloud.korvel.io/dashboard");
  struct Case {
    const char* path;
    const char* query;
    const char* expected;
  } cases[] = {
      {"/a%zz", "", "https://cloud.korvel.io/a%25zz"},
      {"/%", "", "https://cloud.korvel.io/%25"},
      {"/ok%20name", "", "https://cloud.korvel.io/ok%20name"},
      {"/dashboard", "q=%zz", "https://cloud.korvel.io/dashboard?q=%25zz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto joined = *c.query ? base.withQuery(c.query) : base.withPath(c.path);
    EXPECT_TRUE(Url::parse(joined.absoluteString()));
    EXPECT_EQ(joined.absoluteString(), c.expected);
  }
  EXPECT_EQ(base.appendingPathComponent("%zz").absoluteString(), "https://cloud.korvel.io/dashboard/%25zz");
}

TEST(Url, FileAddressesComeFromPathsByTheURIRules) {
  struct Case {
    const char* path;
    bool directory;
    const char* address;
  } cases[] = {
      {"/home/u/proj #1", true, "file:///home/u/proj%20%231/"},
      {"/home/u/pct%41", true, "file:///home/u/pct%2541/"},
      {"/home/u/a?b.png", false, "file:///home/u/a%3Fb.png"},
      {"/home/u/caf\xc3\xa9/", true, "file:///home/u/caf%C3%A9/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto url = Url::fileURL(c.path, c.directory);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->absoluteString(), c.address);
    std::string path = c.path;
    if (c.directory && path.back() != '/') path += '/';
    EXPECT_EQ(*Url::filePath(c.address), path);
  }
  EXPECT_FALSE(Url::fileURL("relative/path"));
  EXPECT_FALSE(Url::filePath("http://example.com/a"));
  EXPECT_FALSE(Url::filePath("file://otherhost/a"));
}
