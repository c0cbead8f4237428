// Where hosted pages may go, and which pages may talk to the host.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "canvas/NavigationPolicy.h"

namespace {

WebView::NavigationAction link(std::string url) {
  WebView::NavigationAction a;
  a.url = std::move(url);
  a.type = WebView::NavigationType::linkActivated;
  a.userGesture = true;
  return a;
}

TrustedOrigins editorOrigins() {
  TrustedOrigins t;
  t.addFolder("/home/u/.local/share/Korvel/Ostrel");
  t.addOrigin("http://127.0.0.1:3000/");
  t.addOrigin("https://store.korvel.io");
  return t;
}

TEST(TrustedOrigins, MatchesHostsExactly) {
  auto t = editorOrigins();
  EXPECT_TRUE(t.contains("http://127.0.0.1:3000/preview/index.html"));
  EXPECT_TRUE(t.contains("http://localhost:3000/x"));
  EXPECT_TRUE(t.contains("http://[::1]:3000/x"));
  EXPECT_FALSE(t.contains("http://127.0.0.1:3001/x"));
  EXPECT_FALSE(t.contains("http://localhost.evil.com:3000/"));
  EXPECT_FALSE(t.contains("http://evil-localhost:3000/"));
  EXPECT_FALSE(t.contains("http://127.0.0.1.evil.com:3000/"));
  EXPECT_FALSE(t.contains("https://127.0.0.1:3000/"));
  EXPECT_TRUE(t.contains("https://STORE.korvel.io:443/p"));
  EXPECT_FALSE(t.contains("https://store.korvel.io.evil.com/"));
}

TEST(TrustedOrigins, TrustsFilesInsideTheFoldersOnly) {
  auto t = editorOrigins();
  EXPECT_TRUE(t.contains("file:///home/u/.local/share/Korvel/Ostrel/index.html#%23&%23"));
  EXPECT_TRUE(t.contains("file:///home/u/.local/share/Korvel/Ostrel/js/app.js"));
  EXPECT_FALSE(t.contains("file:///home/u/.local/share/Korvel/Ostrel/../secrets.html"));
  EXPECT_FALSE(t.contains("file:///home/u/.local/share/Korvel/OstrelEvil/index.html"));
  EXPECT_FALSE(t.contains("file:///tmp/index.html"));
  EXPECT_FALSE(t.contains("about:blank"));
  EXPECT_FALSE(t.contains(""));
}

// The one rule for a file address, which the page's own check follows too.
TEST(TrustedOrigins, ReadsAFileAddressAsThePageDoes) {
  struct Case {
    const char* url;
    std::optional<std::string> path;
  } cases[] = {
      {"file:///a/b.html", "/a/b.html"},
      {"file:///a/b%20c.html?q=1#f", "/a/b c.html"},
      {"file:///a/%C3%A9.html", "/a/\xC3\xA9.html"},
      {"file:///a/x%2F..%2F..%2Fetc/page.html", std::nullopt},
      {"file:///a/x%2f..%2f..%2fetc/page.html", std::nullopt},
      {"file:///a/x%00.html", std::nullopt},
      // Dot segments, plain or encoded, are resolved as the engine resolves them.
      {"file:///a/./b.html", "/a/b.html"},
      {"file:///a/%2E/b.html", "/a/b.html"},
      {"file:///a/%2E%2E/b.html", "/b.html"},
      {"file:///a/%FF.html", std::nullopt},
      {"file:///a/%zz.html", std::nullopt},
      {"file://elsewhere/a/b.html", std::nullopt},
      {"http://127.0.0.1/a/b.html", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(TrustedOrigins::filePath(c.url), c.path) << c.url;
  auto t = editorOrigins();
  EXPECT_FALSE(t.contains("file:///home/u/.local/share/Korvel/Ostrel/x%2F..%2F..%2F..%2Fsecrets.html"));
  EXPECT_FALSE(t.contains("file://elsewhere/home/u/.local/share/Korvel/Ostrel/index.html"));
}

TEST(NavigationPolicy, UserLinksToOtherOriginsOpenInTheBrowser) {
  auto t = editorOrigins();
  auto d = NavigationPolicy::decide(link("https://example.com/docs"), t, true);
  EXPECT_FALSE(d.allow);
  EXPECT_EQ(d.openExternally, "https://example.com/docs");
  EXPECT_TRUE(NavigationPolicy::decide(link("http://localhost:3000/page"), t, true).allow);
  EXPECT_TRUE(NavigationPolicy::decide(link("https://example.com/docs"), t, false).allow);
}

TEST(NavigationPolicy, OnlyWebAndMailAddressesReachTheDesktop) {
  auto t = editorOrigins();
  for (const char* url : {"file:///etc/passwd", "javascript:alert(1)", "smb://host/share", "korvel-x://store/x"}) {
    auto d = NavigationPolicy::decide(link(url), t, true);
    EXPECT_FALSE(d.allow) << url;
    EXPECT_EQ(d.openExternally, std::nullopt) << url;
  }
  EXPECT_TRUE(NavigationPolicy::isOpenableExternally("mailto:help@korvel.io"));
  EXPECT_TRUE(NavigationPolicy::isOpenableExternally("HTTPS://korvel.io"));
  EXPECT_FALSE(NavigationPolicy::isOpenableExternally("http://"));
}

TEST(NavigationPolicy, FrameLoadsGoOnAndTheMainFrameIsCheckedWhenItStarts) {
  auto t = editorOrigins();
  WebView::NavigationAction frameLoad;
  frameLoad.url = "https://www.youtube-nocookie.com/embed/x";
  EXPECT_TRUE(NavigationPolicy::decide(frameLoad, t, true).allow);
  auto main = NavigationPolicy::mainFrameDecision("https://evil.example/phish", t, true);
  EXPECT_FALSE(main.allow);
  EXPECT_EQ(main.openExternally, "https://evil.example/phish");
  EXPECT_TRUE(NavigationPolicy::mainFrameDecision("about:blank", t, true).allow);
  EXPECT_TRUE(NavigationPolicy::mainFrameDecision("http://127.0.0.1:3000/", t, true).allow);
}

TEST(NavigationPolicy, NewWindowsNeverOpenAndOnlyWebAddressesGoToTheBrowser) {
  EXPECT_EQ(NavigationPolicy::newWindowDecision(link("https://korvel.io/help")), "https://korvel.io/help");
  EXPECT_EQ(NavigationPolicy::newWindowDecision(link("docs/page.html")), std::nullopt);
  EXPECT_EQ(NavigationPolicy::newWindowDecision(link("file:///tmp/a.html")), std::nullopt);
}

}  // namespace
