// The stored token and user record, and what is derived from them.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "SignInTestSupport.h"
#include "account/LoginController.h"
#include "account/LoginControllerTesting.h"
#include "foundation/AppServices.h"
#include "foundation/SharedNames.h"
#include "platform/Defaults.h"
#include "platform/NotificationCenter.h"
#include "platform/RWLog.h"
#include "support/TestEnvironment.h"

namespace {

struct StoredLogin : testing::Test {
  Defaults defaults{testenv::freshFolder("defaults") / "defaults.json"};
  NotificationCenter center;
};

TEST_F(StoredLogin, ReadsOnlyWellFormedValues) {
  defaults.set(UserDefaultsLoginTokenKey, 42);
  defaults.setString(UserDefaultsLoginUserInfoKey, "corrupt");
  LoginController login(defaults, center);
  EXPECT_FALSE(login.token());
  EXPECT_FALSE(login.userInfo());
  EXPECT_FALSE(login.isLoggedIn());
  EXPECT_FALSE(login.userDisplayName());
}

TEST_F(StoredLogin, StoresAndClearsWithNoticesAndKeepsTheTokenOutOfLogs) {
  LoginController login(defaults, center);
  int infoChanges = 0, tokenChanges = 0;
  auto token = center.addObserver(UserInfoChangedNotification, &login, [&](const Notification&) { ++infoChanges; });
  AppServices::shared().addObserveHandler([&] { ++tokenChanges; });

  login.storeToken("s3cr3t-value");
  EXPECT_EQ(LoginController::getToken(defaults), "s3cr3t-value");
  EXPECT_EQ(tokenChanges, 1);
  EXPECT_EQ(RWLogSecrets::redact("token is s3cr3t-value").find("s3cr3t-value"), std::string::npos);

  UserInfo record{"u1", "a@b.c", "Ada Lovelace", "Ada", std::nullopt, "2018-03-01T10:20:30.123Z", {}, {}};
  login.setUserInfo(record);
  EXPECT_EQ(infoChanges, 1);
  EXPECT_EQ(LoginController::getUserInfo(defaults), record);
  EXPECT_EQ(login.userDisplayName(), "Ada");
  EXPECT_EQ(login.userFullName(), "Ada Lovelace");  // no family name: the record's name
  EXPECT_TRUE(login.userCreatedDate());

  LoginController reread(defaults, center);
  EXPECT_EQ(reread.token(), "s3cr3t-value");
  EXPECT_EQ(reread.userId(), "u1");

  login.clearToken();
  login.clearUserInfo();
  EXPECT_EQ(tokenChanges, 2);
  EXPECT_EQ(infoChanges, 2);
  EXPECT_FALSE(defaults.has(UserDefaultsLoginTokenKey));
  EXPECT_FALSE(defaults.has(UserDefaultsLoginUserInfoKey));
  EXPECT_FALSE(login.isLoggedIn());
}

TEST_F(StoredLogin, NamesAndDatesFollowTheRecord) {
  LoginController login(defaults, center);
  login.setUserInfo({"u", "e", std::nullopt, "Ada", "Lovelace", "2018-03-01T10:20:30Z", {}, {}});
  EXPECT_EQ(login.userFullName(), "Ada Lovelace");
  EXPECT_FALSE(login.userCreatedDate());
  login.setUserInfo({"u", "e", "Name", std::nullopt, std::nullopt, std::nullopt, {}, {}});
  EXPECT_EQ(login.userDisplayName(), "Name");
  EXPECT_FALSE(login.userCreatedDate());
}

TEST_F(StoredLogin, CreatedAtIsReadAsUtcWhateverTheLocalZone) {
  setenv("TZ", "America/New_York", 1);
  tzset();
  LoginController login(defaults, center);
  login.setUserInfo({"u", "e", {}, {}, {}, "2018-03-01T10:20:30.123Z", {}, {}});
  auto date = login.userCreatedDate();
  unsetenv("TZ");
  tzset();
  ASSERT_TRUE(date);
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(date->time_since_epoch()).count(), 1519899630123);
}

TEST_F(StoredLogin, GatesFollowTheTokenAndTheLoginWindow) {
  LoginController login(defaults, center);
  auto window = std::make_shared<signintest::RecordingWindow>();
  login.setLoginWindow(window);
  EXPECT_TRUE(login.isBlocking());
  EXPECT_FALSE(login.shouldOpenDocuments());
  LoginControllerTesting::setDocumentsOpenWithoutSignIn(true);
  EXPECT_TRUE(login.shouldOpenDocuments());
  EXPECT_TRUE(login.isBlocking());
  LoginControllerTesting::setDocumentsOpenWithoutSignIn(false);

  login.storeToken("gate-token");
  EXPECT_FALSE(login.isBlocking());
  EXPECT_TRUE(login.shouldOpenDocuments());
  window->onScreen = true;
  EXPECT_TRUE(login.isBlocking());
  EXPECT_FALSE(login.shouldOpenDocuments());
  EXPECT_TRUE(login.isLoggedIn());

  EXPECT_FALSE(login.updatesDisabled());
  defaults.setBool(UserDefaultsUpdatesDisabledKey, true);
  EXPECT_TRUE(login.updatesDisabled());
}

}  // namespace
