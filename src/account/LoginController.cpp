#include "LoginController.h"

#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

#include "app/foundation/AppServices.h"
#include "app/foundation/SharedNames.h"
#include "platform/Defaults.h"
#include "platform/NotificationCenter.h"
#include "platform/RWLog.h"

LoginController& LoginController::shared() {
  static LoginController* controller = new LoginController(Defaults::standard(), NotificationCenter::defaultCenter());
  return *controller;
}

LoginController::LoginController(Defaults& defaults, NotificationCenter& notifications)
    : defaults_(defaults), notifications_(notifications) {
  userInfo_ = getUserInfo(defaults_);
  setToken(getToken(defaults_));
}

void LoginController::setToken(std::optional<std::string> token) {
  if (token && !token->empty()) RWLogSecrets::add(*token);
  token_ = std::move(token);
}

std::optional<std::string> LoginController::getToken(const Defaults& defaults) {
  return defaults.value(UserDefaultsLoginTokenKey).is_string() ? defaults.string(UserDefaultsLoginTokenKey)
                                                               : std::nullopt;
}

std::optional<UserInfo> LoginController::getUserInfo(const Defaults& defaults) {
  auto stored = defaults.value(UserDefaultsLoginUserInfoKey);
  if (!stored.is_object()) return std::nullopt;
  auto record = UserInfo::decode(stored);
  if (!record) return std::nullopt;
  return std::move(*record);
}

std::optional<std::string> LoginController::userId() const {
  return userInfo_ ? std::optional(userInfo_->id) : std::nullopt;
}

std::optional<std::string> LoginController::userEmail() const {
  return userInfo_ ? std::optional(userInfo_->email) : std::nullopt;
}

std::optional<std::string> LoginController::userDisplayName() const {
  if (!userInfo_) return std::nullopt;
  return userInfo_->givenName ? userInfo_->givenName : userInfo_->name;
}

std::optional<std::string> LoginController::userFullName() const {
  if (!userInfo_) return std::nullopt;
  if (userInfo_->givenName && userInfo_->familyName) return *userInfo_->givenName + " " + *userInfo_->familyName;
  return userInfo_->name;
}

std::optional<std::chrono::system_clock::time_point> LoginController::userCreatedDate() const {
  if (!userInfo_ || !userInfo_->createdAt) return std::nullopt;
  const std::string& text = *userInfo_->createdAt;
  // Exactly yyyy-MM-ddTHH:mm:ss.SSSZ.
  static const char* pattern = "dddd-dd-ddTdd:dd:dd.dddZ";
  if (text.size() != 24) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == 'd' ? !digit : text[i] != pattern[i]) return std::nullopt;
  }
  auto number = [&](std::size_t at, std::size_t length) { return std::stoi(text.substr(at, length)); };
  std::tm tm{};
  tm.tm_year = number(0, 4) - 1900;
  tm.tm_mon = number(5, 2) - 1;
  tm.tm_mday = number(8, 2);
  tm.tm_hour = number(11, 2);
  tm.tm_min = number(14, 2);
  tm.tm_sec = number(17, 2);
  tm.tm_isdst = -1;
  if (tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60)
    return std::nullopt;
  std::time_t seconds = std::mktime(&tm);
  if (seconds == -1) return std::nullopt;
  return std::chrono::system_clock::from_time_t(seconds) + std::chrono::milliseconds(number(20, 3));
}

void LoginController::storeToken(const std::string& token) {
  setToken(token);
  defaults_.setString(UserDefaultsLoginTokenKey, token);
  AppServices::shared().loginControllerDidChangeToken();
}

void LoginController::clearToken() {
  token_.reset();
  defaults_.remove(UserDefaultsLoginTokenKey);
  AppServices::shared().loginControllerDidChangeToken();
}

void LoginController::setUserInfo(const UserInfo& record) {
  userInfo_ = record;
  defaults_.set(UserDefaultsLoginUserInfoKey, record.encode());
  notifications_.post(UserInfoChangedNotification, this);
}

void LoginController::clearUserInfo() {
  userInfo_.reset();
  defaults_.remove(UserDefaultsLoginUserInfoKey);
  notifications_.post(UserInfoChangedNotification, this);
}
