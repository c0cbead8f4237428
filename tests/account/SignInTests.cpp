// The sign-in controller against the stand-in cloud service over loopback: new tokens, the
// start-up check, overlapping checks, links, sign-out, and the token kept out of the log.

#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "SignInTestSupport.h"
#include "account/LoginController.h"
#include "foundation/AppServices.h"
#include "foundation/SharedNames.h"
#include "platform/Defaults.h"
#include "platform/HttpSession.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "support/CloudStandIn.h"
#include "support/TestEnvironment.h"

using namespace signintest;

namespace {

const nlohmann::json userOne = {{"id", "u1"}, {"email", "one@example.com"}, {"givenName", "One"},
                                {"experiments", {{"color", {{"variant", "Blue"}}}}}};
const nlohmann::json userTwo = {{"id", "u2"}, {"email", "two@example.com"}, {"name", "Two"}};
constexpr const char* ignoredLine = "Ignored the check of a token that a later one replaced.";

std::unique_ptr<CloudStandIn> service;

struct SignIn : testing::Test {
  static void SetUpTestSuite() {
    service = CloudStandIn::start();
    ASSERT_TRUE(service);
    ASSERT_TRUE(service->addUser("good-1", userOne));
    ASSERT_TRUE(service->addUser("good-2", userTwo));
  }
  static void TearDownTestSuite() { service.reset(); }

  SignIn() {
    defaults.setInteger(UserDefaultsCurrentStoreEnvironmentKey, 3);
    defaults.setString(UserDefaultsLocalServicesBaseURLKey, service->base());
    service->setSwitches({{"studioMe", "ok"}, {"delayMs", 0}, {"tokenDelays", nlohmann::json::object()}});
  }

  LoginController& controller() {
    if (!login) {
      login = std::make_unique<LoginController>(defaults, center, services);
      login->setUserInfoURLSession(session);
      login->setLoginWindow(window);
      login->setConfirmationPresenter(answers);
      login->applicationHooks.terminate = [this] { ++terminated; };
      login->applicationHooks.showWelcomeWindow = [this] { ++welcomed; };
      configToken = center.addObserver(UserConfigChangedNotification, login.get(), [this](auto&) { ++configChanges; });
      infoToken = center.addObserver(UserInfoChangedNotification, login.get(), [this](auto&) { ++infoChanges; });
    }
    return *login;
  }
  bool signedInAs(const std::string& token) {
    return RunLoop::runUntil([&] { return login->token() == token && login->userInfo(); }, 20);
  }

  Defaults defaults{testenv::freshFolder("signin") / "defaults.json"};
  NotificationCenter center;
  AppServices services{defaults, false};
  HttpSession session;
  std::shared_ptr<RecordingWindow> window = std::make_shared<RecordingWindow>();
  std::shared_ptr<Answers> answers = std::make_shared<Answers>();
  std::unique_ptr<LoginController> login;
  ObserverToken configToken, infoToken;
  int configChanges = 0, infoChanges = 0, terminated = 0, welcomed = 0;
};

TEST_F(SignIn, AGoodTokenSignsInAndABadOneSignsOutAndShowsTheLoginPage) {
  auto& c = controller();
  c.processNewToken("good-1");
  ASSERT_TRUE(signedInAs("good-1"));
  EXPECT_EQ(c.userId(), "u1");
  EXPECT_EQ(LoginController::getToken(defaults), "good-1");
  EXPECT_EQ(LoginController::getUserInfo(defaults)->email, "one@example.com");
  EXPECT_EQ(window->calls, (std::vector<std::string>{"processingToken", "receivedToken"}));
  EXPECT_FALSE(c.isTokenEphemeral());
  EXPECT_FALSE(c.isBlocking());
  EXPECT_TRUE(c.shouldOpenDocuments());
  EXPECT_EQ(configChanges, 1);
  EXPECT_TRUE(ABTests::isActive("color", "Blue"));

  c.processNewToken("not-a-known-token");
  ASSERT_TRUE(RunLoop::runUntil([&] { return !c.isLoggedIn() && window->shown == 1; }, 20));
  EXPECT_FALSE(c.userInfo());
  EXPECT_FALSE(defaults.has(UserDefaultsLoginTokenKey));
  EXPECT_FALSE(defaults.has(UserDefaultsLoginUserInfoKey));
  EXPECT_EQ(configChanges, 1);
  EXPECT_TRUE(c.isBlocking());
  EXPECT_GE(countLogLines("Failed to fetch user info from login token."), 1);
}

TEST_F(SignIn, ServerErrorsAndUnreadableRecordsRefuseANewToken) {
  auto& c = controller();
  for (const char* mode : {"error500", "badJSON"}) {
    service->setSwitches({{"studioMe", mode}});
    int shownBefore = window->shown;
    c.processNewToken("good-1");
    ASSERT_TRUE(RunLoop::runUntil([&] { return window->shown > shownBefore; }, 20)) << mode;
    EXPECT_FALSE(c.isLoggedIn()) << mode;
  }
  EXPECT_GE(countLogLines("User not retrieved, status code: 500"), 1);
  EXPECT_GE(countLogLines("Unable to parse json data: "), 1);
}

TEST_F(SignIn, ATokenAcceptedWhileTheLoginWindowIsUpStaysEphemeralUntilFinish) {
  window->onScreen = true;
  auto& c = controller();
  c.processNewToken("good-1");
  ASSERT_TRUE(signedInAs("good-1"));
  EXPECT_TRUE(c.isTokenEphemeral());
  EXPECT_TRUE(c.isBlocking());
  EXPECT_FALSE(c.shouldOpenDocuments());
  EXPECT_EQ(configChanges, 0);

  // Quitting before "finish" leaves nobody signed in for the next launch.
  c.clearEphemeralToken();
  EXPECT_FALSE(c.isLoggedIn());
  EXPECT_FALSE(defaults.has(UserDefaultsLoginTokenKey));
  EXPECT_FALSE(defaults.has(UserDefaultsLoginUserInfoKey));
  EXPECT_FALSE(c.finishLogin());
  EXPECT_EQ(configChanges, 0);

  c.processNewToken("good-1");
  ASSERT_TRUE(signedInAs("good-1"));
  EXPECT_TRUE(c.finishLogin());
  EXPECT_FALSE(c.isTokenEphemeral());
  EXPECT_EQ(configChanges, 1);
  EXPECT_EQ(welcomed, 1);
  c.clearEphemeralToken();
  EXPECT_TRUE(c.isLoggedIn());
}

TEST_F(SignIn, AStoredTokenIsReusedAndCheckedAtStartUp) {
  defaults.setString(UserDefaultsLoginTokenKey, "good-2");
  auto& c = controller();
  EXPECT_TRUE(c.isLoggedIn());
  EXPECT_FALSE(c.userInfo());
  c.initialize();
  ASSERT_TRUE(RunLoop::runUntil([&] { return configChanges == 1; }, 20));
  EXPECT_EQ(c.userId(), "u2");
  EXPECT_EQ(c.userDisplayName(), "Two");
  EXPECT_EQ(LoginController::getUserInfo(defaults)->id, "u2");
  EXPECT_EQ(window->shown, 0);
}

TEST_F(SignIn, WithoutAStoredTokenStartUpAsksNothingAndPostsNothing) {
  long before = service->count("studioMe");
  controller().initialize();
  RunLoop::runUntil([] { return false; }, 0.2);
  EXPECT_EQ(service->count("studioMe"), before);
  EXPECT_EQ(configChanges, 0);
  EXPECT_TRUE(controller().isBlocking());
}

TEST_F(SignIn, StartUpKeepsTheSignInWhenTheServiceRefusesOrCannotBeReached) {
  UserInfo stored{"kept", "kept@example.com", {}, {}, {}, {}, {}, {}};
  defaults.set(UserDefaultsLoginUserInfoKey, stored.encode());
  defaults.setString(UserDefaultsLoginTokenKey, "revoked-token");
  auto& c = controller();
  c.initialize();  // 401
  ASSERT_TRUE(RunLoop::runUntil([&] { return configChanges == 1; }, 20));
  EXPECT_EQ(c.token(), "revoked-token");
  EXPECT_EQ(c.userId(), "kept");
  EXPECT_GE(countLogLines("User not retrieved, status code: 401"), 1);

  defaults.setString(UserDefaultsLocalServicesBaseURLKey, "http://127.0.0.1:1");
  c.initialize();
  ASSERT_TRUE(RunLoop::runUntil([&] { return configChanges == 2; }, 70));
  EXPECT_EQ(c.token(), "revoked-token");
  EXPECT_EQ(LoginController::getUserInfo(defaults)->id, "kept");
  EXPECT_GE(countLogLines("No response getting user: "), 1);
}

TEST_F(SignIn, AnOlderCheckThatAnswersLateNeverReplacesANewerSignIn) {
  auto& c = controller();
  // A slow good token, then a fast one.
  service->setSwitches({{"tokenDelays", {{"good-1", 800}}}});
  long ignored = countLogLines(ignoredLine);
  c.processNewToken("good-1");
  c.processNewToken("good-2");
  ASSERT_TRUE(signedInAs("good-2"));
  ASSERT_TRUE(RunLoop::runUntil([&] { return countLogLines(ignoredLine) > ignored; }, 20));
  EXPECT_EQ(c.token(), "good-2");
  EXPECT_EQ(c.userId(), "u2");
  EXPECT_EQ(LoginController::getToken(defaults), "good-2");

  // A slow refusal does not sign out the user accepted since.
  service->setSwitches({{"tokenDelays", {{"refused-slowly", 800}}}});
  ignored = countLogLines(ignoredLine);
  c.processNewToken("refused-slowly");
  c.processNewToken("good-1");
  ASSERT_TRUE(signedInAs("good-1"));
  ASSERT_TRUE(RunLoop::runUntil([&] { return countLogLines(ignoredLine) > ignored; }, 20));
  EXPECT_EQ(c.token(), "good-1");
  EXPECT_EQ(c.userId(), "u1");
  EXPECT_EQ(window->shown, 0);
}

TEST_F(SignIn, AStartUpCheckThatAnswersLateKeepsTheRecordOfTheTokenAcceptedSince) {
  defaults.setString(UserDefaultsLoginTokenKey, "good-1");
  service->setSwitches({{"tokenDelays", {{"good-1", 800}}}});
  auto& c = controller();
  c.initialize();
  c.processNewToken("good-2");
  ASSERT_TRUE(RunLoop::runUntil([&] { return configChanges == 2; }, 20));
  EXPECT_EQ(c.token(), "good-2");
  EXPECT_EQ(c.userId(), "u2");
  EXPECT_EQ(LoginController::getUserInfo(defaults)->id, "u2");
}

TEST_F(SignIn, ALinkSignsInAtOnceWhenNobodyIsSignedInAndOtherwiseOnlyWhenConfirmed) {
  auto& c = controller();
  c.resetTokenFromUrl("korvel-x://signin?source=mail&fut=good-1");
  ASSERT_TRUE(signedInAs("good-1"));
  EXPECT_EQ(answers->asked, 0);
  EXPECT_EQ(configChanges, 1);
  // The link is logged without its query, where the token travels.
  auto lines = logLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "token from url: korvel-x://signin"), lines.end());
  for (const auto& line : lines) EXPECT_EQ(line.find("good-1"), std::string::npos) << line;

  long checks = service->count("studioMe");
  c.resetTokenFromUrl("korvel-x://signin?fut=good-2");
  EXPECT_EQ(answers->asked, 1);
  RunLoop::runUntil([] { return false; }, 0.2);
  EXPECT_EQ(service->count("studioMe"), checks);
  EXPECT_EQ(c.token(), "good-1");

  answers->link = true;
  c.resetTokenFromUrl("korvel-x://signin?fut=good-2");
  EXPECT_EQ(answers->asked, 2);
  ASSERT_TRUE(signedInAs("good-2"));
}

TEST_F(SignIn, ALinkWithoutATokenOpensTheLoginWindow) {
  auto& c = controller();
  for (const char* link : {"korvel-x://signin?fut=", "korvel-x://signin?fut", "korvel-x://signin", "not a link"}) {
    int shown = window->shown;
    c.resetTokenFromUrl(link);
    EXPECT_EQ(window->shown, shown + 1) << link;
  }
  EXPECT_GE(countLogLines("Failed to process token from x-korvel link."), 4);
  EXPECT_FALSE(c.isLoggedIn());
}

TEST_F(SignIn, SignOutClearsTheSignInAndQuitsOnlyWhenConfirmed) {
  auto& c = controller();
  c.processNewToken("good-1");
  ASSERT_TRUE(signedInAs("good-1"));
  int configs = configChanges;

  c.logoutAndQuit(true);  // cancelled
  EXPECT_EQ(answers->asked, 1);
  EXPECT_TRUE(c.isLoggedIn());
  EXPECT_EQ(terminated, 0);

  int infos = infoChanges;
  c.logoutAndQuit(false);
  EXPECT_FALSE(c.isLoggedIn());
  EXPECT_FALSE(defaults.has(UserDefaultsLoginTokenKey));
  EXPECT_FALSE(defaults.has(UserDefaultsLoginUserInfoKey));
  EXPECT_EQ(infoChanges, infos + 1);
  EXPECT_EQ(configChanges, configs);
  EXPECT_EQ(terminated, 0);
  EXPECT_EQ(window->shown, 0);

  c.processNewToken("good-1");
  ASSERT_TRUE(signedInAs("good-1"));
  answers->quit = true;
  c.logoutAndQuit(true);
  EXPECT_FALSE(c.isLoggedIn());
  EXPECT_EQ(terminated, 1);
}

TEST_F(SignIn, MalformedTokensFromThePageShowTheLoginPageAgain) {
  auto& c = controller();
  c.handleToken(std::nullopt);
  c.handleToken(std::nullopt);
  EXPECT_EQ(window->shown, 2);
  c.handleToken(std::string("good-2"));
  ASSERT_TRUE(signedInAs("good-2"));
}

}  // namespace
