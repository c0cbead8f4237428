#pragma once
// The sign-in controller's stored state: the account token under "KorvelLoginToken" and the
// user record under "KorvelLoginUserInfo", with the names derived from the record. The token is
// a secret: it is registered with the log's redaction as soon as it is read or stored.
// Main thread only.

#include <chrono>
#include <optional>
#include <string>

#include "account/UserInfo.h"

class Defaults;
class NotificationCenter;

class LoginController {
 public:
  static LoginController& shared();
  // Reads the token and the record from `defaults`; posts nothing.
  LoginController(Defaults& defaults, NotificationCenter& notifications);
  virtual ~LoginController() = default;
  LoginController(const LoginController&) = delete;
  LoginController& operator=(const LoginController&) = delete;

  const std::optional<std::string>& token() const { return token_; }
  // The field only; the defaults keep what they hold.
  void setToken(std::optional<std::string> token);
  const std::optional<UserInfo>& userInfo() const { return userInfo_; }

  bool isLoggedIn() const { return token_.has_value(); }
  std::optional<std::string> userId() const;
  std::optional<std::string> userEmail() const;
  std::optional<std::string> userDisplayName() const;
  std::optional<std::string> userFullName() const;
  // createdAt read as "yyyy-MM-ddTHH:mm:ss.SSSZ" in the local time zone; none for other forms.
  std::optional<std::chrono::system_clock::time_point> userCreatedDate() const;

  // Keeps the token and stores it, then runs the services' token-change handlers.
  void storeToken(const std::string& token);
  // Forgets the token, removes it from the defaults, then runs the token-change handlers.
  void clearToken();
  // Keeps and stores the record, then posts "UserInfoChangedNotification".
  virtual void setUserInfo(const UserInfo& record);
  // Forgets and removes the record, then posts "UserInfoChangedNotification".
  virtual void clearUserInfo();

  // The stored values as any reader sees them: none when missing or of the wrong kind.
  static std::optional<std::string> getToken(const Defaults& defaults);
  static std::optional<UserInfo> getUserInfo(const Defaults& defaults);

 protected:
  Defaults& defaults_;
  NotificationCenter& notifications_;
  std::optional<std::string> token_;
  std::optional<UserInfo> userInfo_;
};
