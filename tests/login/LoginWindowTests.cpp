// The login window under the virtual display, on the stand-in service's login page: a sign-in
// from the page to the closed window, a refused token, "finish" without a sign-in, the page's
// other requests, and the offline page when the login page does not load.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <nlohmann/json.hpp>

#include "account/LoginController.h"
#include "canvas/WebViewController.h"
#include "foundation/AppServices.h"
#include "foundation/SharedNames.h"
#include "login/LoginWindowController.h"
#include "login/LoginWindowView.h"
#include "platform/Defaults.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/UrlOpener.h"
#include "support/CloudStandIn.h"
#include "support/EditorTestSupport.h"

namespace {

using guitest::waitFor;

constexpr const char* cloudEndpoint = "https://cloud.example/'quoted\"";
std::unique_ptr<CloudStandIn> service;

struct LoginWindow : testing::Test {
  static void SetUpTestSuite() {
    gtk_init_check(nullptr, nullptr);
    service = CloudStandIn::start();
    ASSERT_TRUE(service);
    ASSERT_TRUE(service->addUser("good-1", {{"id", "u1"}, {"email", "one@example.com"}}));
    auto& defaults = Defaults::standard();
    defaults.setInteger(UserDefaultsCurrentStoreEnvironmentKey, 3);
    defaults.setString("CloudServerBaseUrl", cloudEndpoint);
  }
  static void TearDownTestSuite() { service.reset(); }

  LoginWindow() {
    Defaults::standard().setString(UserDefaultsLocalServicesBaseURLKey, service->base());
    Defaults::standard().remove(UserDefaultsLoginTokenKey);
    login = std::make_unique<LoginController>(Defaults::standard(), center);
    window = LoginWindowController::create(*login);
    login->setLoginWindow(window);
    config = center.addObserver(UserConfigChangedNotification, login.get(), [this](auto&) { ++configChanges; });
    UrlOpener::setHandler([this](const std::string& url) { opened.push_back(url); });
  }
  ~LoginWindow() override {
    UrlOpener::setHandler(nullptr);
    login.reset();
    window.reset();
    RunLoop::runOnce(0.01);
  }

  WebView& page() { return window->webViewController()->webView(); }
  std::optional<nlohmann::json> run(const std::string& script) { return guitest::evaluate(page(), script); }
  // The page on show has loaded since `marker` was set in the one before.
  bool reloaded() {
    return waitFor([&] { return window->isLoaded() && run("window.__marker === undefined") == true; });
  }
  bool showLoginPage() {
    login->showLoginWindow();
    return waitFor([&] { return window->isLoaded(); });
  }
  void post(const std::string& method, const std::string& arguments = "undefined") {
    run("window._ipc.send('" + method + "', " + arguments + "); true");
  }

  NotificationCenter center;
  std::unique_ptr<LoginController> login;
  std::shared_ptr<LoginWindowController> window;
  ObserverToken config;
  int configChanges = 0;
  std::vector<std::string> opened;
};

TEST_F(LoginWindow, SignsInOnTheLoginPageAndClosesOnFinish) {
  ASSERT_TRUE(showLoginPage());
  EXPECT_TRUE(window->isOnScreen());
  EXPECT_TRUE(login->isBlocking());
  EXPECT_EQ(page().uri(), service->base() + "/?mid=" + login->machineID());
  EXPECT_FALSE(window->view()->isSpinnerShown());
  ASSERT_TRUE(waitFor([&] { return window->view()->pageOpacity() >= 1.0; }));
  // The page is told the cloud's address, whichever services environment is in use: here the
  // stored override, quotes and all.
  ASSERT_TRUE(waitFor([&] { return run("window.korvel_cloud_endpoint") == cloudEndpoint; }));
  EXPECT_NE(cloudEndpoint, service->base());

  run("document.getElementById('token').value = 'good-1';"
      "document.getElementById('subscribe').checked = true;"
      "document.getElementById('name').value = 'Ada';"
      "document.getElementById('email').value = 'ada@example.com';"
      "document.getElementById('signin').click(); true");
  ASSERT_TRUE(waitFor([&] { return window->view() == nullptr; }));
  EXPECT_EQ(login->token(), "good-1");
  EXPECT_FALSE(login->isTokenEphemeral());
  EXPECT_FALSE(login->isBlocking());
  EXPECT_TRUE(login->shouldOpenDocuments());
  EXPECT_EQ(configChanges, 1);
  ASSERT_TRUE(waitFor([&] { return service->count("subscribe") >= 1; }));
  auto subscriptions = service->call("GET", "/_standin/subscriptions");
  ASSERT_TRUE(subscriptions && !subscriptions->empty());
  EXPECT_EQ(subscriptions->back()["source"], "studio");
  EXPECT_EQ(subscriptions->back()["email"], "ada@example.com");
}

TEST_F(LoginWindow, ARefusedTokenOrAFinishWithoutSignInKeepsTheWindowOnTheLoginPage) {
  ASSERT_TRUE(showLoginPage());
  LoginWindowView* view = window->view();
  run("window.__marker = 1; document.getElementById('token').value = 'unknown';"
      "document.getElementById('signin').click(); true");
  ASSERT_TRUE(reloaded());
  EXPECT_EQ(window->view(), view);
  EXPECT_TRUE(window->isOnScreen());
  EXPECT_FALSE(login->isLoggedIn());
  // The person reads that the token was refused.
  EXPECT_EQ(view->notice(), "That sign-in token was not accepted. Check it and try again.");

  run("window.__marker = 1; true");
  post("finish");
  ASSERT_TRUE(reloaded());
  RunLoop::runUntil([] { return false; }, 0.2);
  EXPECT_EQ(window->view(), view);
  EXPECT_TRUE(window->isOnScreen());
  EXPECT_EQ(configChanges, 0);
}

TEST_F(LoginWindow, OpensOnlyWebAddressesAndShakesOnRequest) {
  ASSERT_TRUE(showLoginPage());
  post("browser", "'file:///etc/passwd'");
  post("browser", "'korvel-x://signin?fut=x'");
  post("shake");
  post("create");
  post("browser", "'https://korvel.example/signup'");
  ASSERT_TRUE(waitFor([&] { return !opened.empty(); }));
  EXPECT_EQ(opened, (std::vector<std::string>{"https://korvel.example/signup"}));
  EXPECT_TRUE(window->isOnScreen());
}

TEST_F(LoginWindow, ShowsTheOfflinePageWhenTheLoginPageDoesNotLoadAndRetries) {
  Defaults::standard().setString(UserDefaultsLocalServicesBaseURLKey, "http://127.0.0.1:1");
  window->pageTimeout = 1.0;
  login->showLoginWindow();
  ASSERT_TRUE(waitFor([&] { return window->isLoaded(); }));
  std::string uri = page().uri();
  EXPECT_EQ(uri.rfind("file://", 0), 0u) << uri;
  EXPECT_NE(uri.find("KorvelLogin/offline.html?status=0&statusText=Request%20timed%20out"), std::string::npos) << uri;
  EXPECT_EQ(uri.find("mid="), std::string::npos);

  // The page's own "offline" without a text shows it without a query.
  post("offline", "{status: 503}");
  // The address changes as the load begins; the page is the new one once it answers from there.
  ASSERT_TRUE(waitFor([&] {
    return page().uri().find('?') == std::string::npos &&
           run("location.search === '' && document.readyState === 'complete' && !!document.getElementById('retry')") ==
               true;
  }));

  Defaults::standard().setString(UserDefaultsLocalServicesBaseURLKey, service->base());
  window->pageTimeout = 60.0;
  run("document.getElementById('retry').click(); true");
  ASSERT_TRUE(waitFor([&] { return page().uri().rfind(service->base(), 0) == 0 && window->isLoaded(); }))
      << page().uri() << " loaded " << window->isLoaded();
}

TEST_F(LoginWindow, ALoadsTimeOutCheckDoesNotActOnALaterLoad) {
  // The service holds the pages, so the later load is surely still loading when the first load's
  // check comes.
  ASSERT_TRUE(service->setSwitches({{"holdPages", true}}));
  window->pageTimeout = 0.3;
  login->showLoginWindow();  // on a window whose page has never started loading
  // Queued after the first load's check with the same delay, so it runs after that check.
  auto checked = std::make_shared<bool>(false);
  MainQueue::asyncAfter(0.3, [checked] { *checked = true; });
  window->pageTimeout = 60;
  login->showLoginWindow();
  bool checkCame = waitFor([&] { return *checked; });
  bool released = service->setSwitches({{"holdPages", false}});
  ASSERT_TRUE(checkCame && released);
  ASSERT_TRUE(waitFor([&] { return window->isLoaded(); }))
      << "on " << run("location.href").value_or(nullptr).dump() << "; the service counted "
      << JsonCoder::dump(service->call("GET", "/_standin/counts").value_or(nullptr));
  EXPECT_EQ(page().uri().rfind(service->base(), 0), 0u) << page().uri();
}

TEST_F(LoginWindow, TheRefusalNoticeLeavesThePageReadable) {
  ASSERT_TRUE(showLoginPage());
  run("window.__marker = 1; document.getElementById('token').value = 'unknown';"
      "document.getElementById('signin').click(); true");
  ASSERT_TRUE(reloaded());
  ASSERT_FALSE(window->view()->notice().empty());
  // No text of the page, its footer with the services' address included, lies in the notice's band.
  auto covered = run("(function (top, bottom) { return Array.prototype.filter.call("
                     "document.querySelectorAll('h1, label, button, p, a, span'), function (e) {"
                     "var r = e.getBoundingClientRect(); return r.height > 0 && r.bottom > top && r.top < bottom;"
                     "}).map(function (e) { return e.id || e.tagName; }); })(" +
                     std::to_string(LoginWindowView::noticeTop) + ", " + std::to_string(LoginWindowView::noticeTop + 24) +
                     ")");
  EXPECT_EQ(covered, nlohmann::json::array());
  EXPECT_TRUE(RunLoop::runUntil(
      [&] { return run("document.getElementById('endpoint').textContent") == cloudEndpoint; }, 10));
}

}  // namespace
