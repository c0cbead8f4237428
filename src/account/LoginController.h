#pragma once
// The one sign-in controller: the account token under "KorvelLoginToken" and the user record
// under "KorvelLoginUserInfo", the check of a token against the account API ("studio/me"),
// tokens from the login page and from "korvel-x://" links, sign-out, and the gates the rest of
// the application asks: is a user signed in, does sign-in block, may documents open.
//
// The token is a secret: it is registered with the log's redaction as soon as it is seen.
// Token checks may overlap; only the answer to the latest one counts, and an answer that arrives
// after the token changed never touches the token or the record.
// Main thread only; answers of the account API arrive on the main loop.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "account/ABTests.h"
#include "account/UserInfo.h"

class AppServices;
class Defaults;
class LoginConfirmationPresenter;
class LoginWindowPresenter;
class NotificationCenter;
class TestableURLSessionDataTaskProtocol;
class TestableURLSessionProtocol;

class LoginController {
 public:
  // What the controller asks of the application object; each may be left empty.
  struct ApplicationHooks {
    std::function<void()> activate;           // bring the application to the front
    std::function<void()> terminate;          // quit
    std::function<void()> showWelcomeWindow;  // after the login page finished
  };

  static LoginController& shared();
  // Reads the token and the record from `defaults`, and the machine identifier; posts nothing.
  LoginController(Defaults& defaults, NotificationCenter& notifications);
  LoginController(Defaults& defaults, NotificationCenter& notifications, AppServices& services);
  virtual ~LoginController();
  LoginController(const LoginController&) = delete;
  LoginController& operator=(const LoginController&) = delete;

  // Checks a stored token against the account API: stores the record when one comes back and
  // posts "UserConfigChangedNotification" either way. Nothing happens without a token.
  void initialize();

  const std::optional<std::string>& token() const { return token_; }
  // The field only; the defaults keep what they hold.
  void setToken(std::optional<std::string> token);
  const std::optional<UserInfo>& userInfo() const { return userInfo_; }
  const std::string& machineID() const { return machineID_; }
  AppServices& services() const { return services_; }
  // True between a token accepted while the login window is on screen and the page's "finish".
  bool isTokenEphemeral() const { return isTokenEphemeral_; }

  bool isLoggedIn() const { return token_.has_value(); }
  // No token, or the login window on screen.
  bool isBlocking() const;
  // A token and no login window on screen (tests may open documents without; see
  // LoginControllerTesting.h).
  bool shouldOpenDocuments() const;
  // "PDSparkleUpdatesDisabled".
  bool updatesDisabled() const;

  std::optional<std::string> userId() const;
  std::optional<std::string> userEmail() const;
  std::optional<std::string> userDisplayName() const;
  std::optional<std::string> userFullName() const;
  // createdAt read as "yyyy-MM-ddTHH:mm:ss.SSSZ", a time in UTC; none for other forms.
  std::optional<std::chrono::system_clock::time_point> userCreatedDate() const;

  // Signs out; with `quit`, only after the person confirms, and then the application quits.
  void logoutAndQuit(bool quit);
  // Signs out when the token is still ephemeral (the application quits before "finish").
  void clearEphemeralToken();
  // Signs in with the token in the link's first "fut" query item that has a value; replaces a
  // current sign-in only when the person confirms. Without a token the login window opens.
  void resetTokenFromUrl(const std::string& url);
  // Checks `token`; accepted, it becomes the sign-in; refused, nobody is signed in and the
  // login window opens on the login page.
  void processNewToken(const std::string& token);

  // The login window (set up by the application; nothing happens without one).
  void setLoginWindow(std::shared_ptr<LoginWindowPresenter> window) { loginWindow_ = std::move(window); }
  LoginWindowPresenter* loginWindow() const { return loginWindow_.get(); }
  void showLoginWindow();
  void ipcCall(const std::string& name);
  bool isLoginWindowOnScreen() const;
  // The login page's "token", as the login window read it; none when the page sent no usable
  // token, which shows the login page again.
  void handleToken(const std::optional<std::string>& token);
  // The login page's "finish": confirms the accepted token, posts "UserConfigChangedNotification",
  // shows the welcome window and answers true; answers false when no token was accepted.
  bool finishLogin();

  // Held weakly; without one, sign-out with quit and link sign-in over a sign-in are declined.
  void setConfirmationPresenter(std::weak_ptr<LoginConfirmationPresenter> presenter) {
    confirmations_ = std::move(presenter);
  }
  // The session that runs "studio/me"; the platform's shared session unless set.
  void setUserInfoURLSession(TestableURLSessionProtocol& session) { userInfoURLSession_ = &session; }
  ApplicationHooks applicationHooks;

  // Keeps the token and stores it, then runs the services' token-change handlers.
  void storeToken(const std::string& token);
  // Forgets the token, removes it from the defaults, then runs the token-change handlers.
  void clearToken();
  // Keeps and stores the record, saves its A/B decisions, then posts "UserInfoChangedNotification".
  virtual void setUserInfo(const UserInfo& record);
  // Forgets and removes the record, then posts "UserInfoChangedNotification".
  virtual void clearUserInfo();

  // The stored values as any reader sees them: none when missing or of the wrong kind.
  static std::optional<std::string> getToken(const Defaults& defaults);
  static std::optional<UserInfo> getUserInfo(const Defaults& defaults);

 protected:
  Defaults& defaults_;
  NotificationCenter& notifications_;
  AppServices& services_;
  std::optional<std::string> token_;
  std::optional<UserInfo> userInfo_;

 private:
  friend struct LoginControllerTesting;
  static inline bool documentsOpenWithoutSignIn_ = false;

  void fetchUserInfo(const std::string& token, std::function<void(std::optional<UserInfo>)> completion);
  void activate();

  std::string machineID_;
  ABTests abTests_;
  bool isTokenEphemeral_ = false;
  // Changes with every token change and every new check; answers to older checks are stale.
  std::uint64_t tokenGeneration_ = 0;
  TestableURLSessionProtocol* userInfoURLSession_ = nullptr;
  std::shared_ptr<LoginWindowPresenter> loginWindow_;
  std::weak_ptr<LoginConfirmationPresenter> confirmations_;
  std::vector<std::shared_ptr<TestableURLSessionDataTaskProtocol>> tasks_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
