// The store's session cookie: made from the token, set before loads, gone at sign-out.

#include <gtest/gtest.h>

#include "CanvasTestSupport.h"
#include "account/LoginController.h"
#include "canvas/StoreCookie.h"
#include "foundation/AppServices.h"

using namespace canvastest;

namespace {

std::vector<WebCookie> cookiesFor(const Url& scope) {
  std::optional<std::vector<WebCookie>> out;
  WebCookieStore::shared().cookies(scope.absoluteString(), [&](std::vector<WebCookie> c) { out = std::move(c); });
  waitFor([&] { return out.has_value(); });
  return out.value_or(std::vector<WebCookie>{});
}

TEST(StoreCookie, IsMadeForTheScopeWithoutShowingItsValue) {
  auto now = std::chrono::system_clock::now();
  auto https = StoreCookie::make(*Url::parse("https://store.korvel.io"), "secret-token", now);
  ASSERT_TRUE(https);
  EXPECT_EQ(https->domain, ".store.korvel.io");
  EXPECT_EQ(https->name, "session");
  EXPECT_EQ(https->path, "/");
  EXPECT_TRUE(https->secure);
  EXPECT_EQ(*https->expires, now + std::chrono::seconds(31536000));
  EXPECT_FALSE(StoreCookie::make(*Url::parse("http://127.0.0.1:8787"), "t", now)->secure);
  EXPECT_EQ(StoreCookie::describe(*https).find("secret-token"), std::string::npos);
}

TEST(StoreCookie, FollowsSignInAndSignOut) {
  initGtk();
  StoreCookie::followTokenChanges();
  Url scope = AppServices::shared().currentEndpoints().storeCookieScopeURL;
  LoginController::shared().storeToken("token-123");
  ASSERT_TRUE(waitFor([&] {
    auto c = cookiesFor(scope);
    return c.size() == 1 && c[0].name == "session" && c[0].value == "token-123";
  }));
  LoginController::shared().storeToken("token-456");
  ASSERT_TRUE(waitFor([&] {
    auto c = cookiesFor(scope);
    return c.size() == 1 && c[0].value == "token-456";
  }));
  LoginController::shared().clearToken();
  ASSERT_TRUE(waitFor([&] { return cookiesFor(scope).empty(); }));
}

TEST(StoreCookie, IsSetBeforeTheEditorLoads) {
  LoginController::shared().storeToken("token-789");
  Editor editor;
  Url scope = AppServices::shared().currentEndpoints().storeCookieScopeURL;
  ASSERT_TRUE(editor.load());
  auto c = cookiesFor(scope);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].value, "token-789");
  LoginController::shared().clearToken();
  ASSERT_TRUE(waitFor([&] { return cookiesFor(scope).empty(); }));
}

}  // namespace
