// What the login window makes of the login page's messages and addresses.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "login/LoginPage.h"
#include "platform/Url.h"

namespace {

using LoginPage::Method;

TEST(LoginPage, MethodNamesMatchExactly) {
  EXPECT_EQ(LoginPage::method("token"), Method::token);
  EXPECT_EQ(LoginPage::method("DOMContentLoaded"), Method::domContentLoaded);
  EXPECT_EQ(LoginPage::method("finish"), Method::finish);
  EXPECT_EQ(LoginPage::method("Token"), Method::unknown);
  EXPECT_EQ(LoginPage::method("finish "), Method::unknown);
}

TEST(LoginPage, TheLoginAddressGetsMidAfterItsOwnItems) {
  EXPECT_EQ(LoginPage::loginURL(*Url::parse("http://127.0.0.1:8787/"), "abc"), "http://127.0.0.1:8787/?mid=abc");
  EXPECT_EQ(LoginPage::loginURL(*Url::parse("https://login.example/a?x=1&y=2#top"), "A-B"),
            "https://login.example/a?x=1&y=2&mid=A-B#top");
  EXPECT_EQ(LoginPage::loginURL(*Url::parse("https://login.example/?"), "m&n"), "https://login.example/?mid=m%26n");
}

TEST(LoginPage, TheOfflinePageGetsItsStatusOnlyFromWellFormedArguments) {
  std::filesystem::path page = "/res/KorvelLogin/offline.html";
  EXPECT_EQ(LoginPage::offlineURL(page, {{"status", 0}, {"statusText", "Request timed out"}}),
            "file:///res/KorvelLogin/offline.html?status=0&statusText=Request%20timed%20out");
  EXPECT_EQ(LoginPage::offlineURL(page, {{"status", 503}, {"statusText", "a&b=c"}}),
            "file:///res/KorvelLogin/offline.html?status=503&statusText=a%26b%3Dc");
  EXPECT_EQ(LoginPage::offlineURL(page, {{"status", 404}}), "file:///res/KorvelLogin/offline.html");
  EXPECT_EQ(LoginPage::offlineURL(page, {{"status", "404"}, {"statusText", "x"}}),
            "file:///res/KorvelLogin/offline.html");
  EXPECT_EQ(LoginPage::offlineURL(page, "offline"), "file:///res/KorvelLogin/offline.html");
}

TEST(LoginPage, ScriptsCarryValuesAsLiterals) {
  EXPECT_EQ(LoginPage::endpointScript("https://cloud.example/'x\"\n"),
            R"(window.korvel_cloud_endpoint="https://cloud.example/'x\"\n")");
  EXPECT_EQ(LoginPage::ipcScript("receivedToken"), "window._receivedToken && window._receivedToken()");
  EXPECT_FALSE(LoginPage::ipcScript("x();alert(1)"));
  EXPECT_FALSE(LoginPage::ipcScript(""));
}

TEST(LoginPage, TheTokenIsTextHoldingAnObjectWithATextToken) {
  EXPECT_EQ(LoginPage::token(R"({"token": "abc"})"), "abc");
  EXPECT_FALSE(LoginPage::token(nlohmann::json{{"token", "abc"}}));  // an object, not text
  EXPECT_FALSE(LoginPage::token(R"({"token": 5})"));
  EXPECT_FALSE(LoginPage::token(R"({"token": ""})"));
  EXPECT_FALSE(LoginPage::token("not json"));
  EXPECT_FALSE(LoginPage::token(R"(["abc"])"));
}

TEST(LoginPage, OnlyWebAddressesOpenInTheBrowserAndTheNewsletterNeedsNameAndEmail) {
  EXPECT_EQ(LoginPage::browserURL("https://korvel.example/signup"), "https://korvel.example/signup");
  EXPECT_EQ(LoginPage::browserURL("HTTP://korvel.example/"), "HTTP://korvel.example/");
  EXPECT_FALSE(LoginPage::browserURL("file:///etc/passwd"));
  EXPECT_FALSE(LoginPage::browserURL("korvel-x://signin?fut=x"));
  EXPECT_FALSE(LoginPage::browserURL("mailto:a@b.c"));
  EXPECT_FALSE(LoginPage::browserURL("not a url"));
  EXPECT_FALSE(LoginPage::browserURL(nlohmann::json{{"url", "https://a"}}));

  auto request = LoginPage::newsletterRequest({{"name", ""}, {"email", "a@b.c"}});
  ASSERT_TRUE(request);
  EXPECT_EQ(request->email, "a@b.c");
  EXPECT_FALSE(LoginPage::newsletterRequest({{"email", "a@b.c"}}));
  EXPECT_FALSE(LoginPage::newsletterRequest({{"name", "A"}, {"email", 1}}));
}

}  // namespace
