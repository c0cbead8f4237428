#include "LoginController.h"

#include <glib.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

#include "account/LoginConfirmationPresenter.h"
#include "account/LoginWindowPresenter.h"
#include "account/MachineID.h"
#include "foundation/AppServices.h"
#include "foundation/SharedNames.h"
#include "platform/Defaults.h"
#include "platform/HttpSession.h"
#include "platform/NotificationCenter.h"
#include "platform/RWLog.h"

namespace {

// The link as a log may show it: without its query and fragment, where tokens travel.
std::string withoutQuery(const std::string& url) { return url.substr(0, url.find_first_of("?#")); }

// The first value of `name` among the query items of `url` that have a non-empty value.
std::optional<std::string> queryValue(const std::string& url, const std::string& name) {
  GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED, nullptr);
  if (!uri) return std::nullopt;
  std::string query = g_uri_get_query(uri) ? g_uri_get_query(uri) : "";
  g_uri_unref(uri);
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string item = query.substr(start, end - start);
    start = end + 1;
    auto equals = item.find('=');
    if (equals == std::string::npos || equals + 1 == item.size()) continue;
    char* key = g_uri_unescape_string(item.substr(0, equals).c_str(), nullptr);
    char* value = g_uri_unescape_string(item.substr(equals + 1).c_str(), nullptr);
    bool match = key && value && name == key;
    std::string found = value ? value : "";
    g_free(key);
    g_free(value);
    if (match) return found;
  }
  return std::nullopt;
}

}  // namespace

LoginController& LoginController::shared() {
  static LoginController* controller = new LoginController(Defaults::standard(), NotificationCenter::defaultCenter());
  return *controller;
}

LoginController::LoginController(Defaults& defaults, NotificationCenter& notifications)
    : LoginController(defaults, notifications, AppServices::shared()) {}

LoginController::LoginController(Defaults& defaults, NotificationCenter& notifications, AppServices& services)
    : defaults_(defaults),
      notifications_(notifications),
      services_(services),
      machineID_(MachineID::current(defaults)),
      abTests_(defaults) {
  userInfo_ = getUserInfo(defaults_);
  setToken(getToken(defaults_));
}

LoginController::~LoginController() {
  *alive_ = false;
  for (auto& task : std::vector(tasks_)) task->cancel();
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

bool LoginController::isLoginWindowOnScreen() const { return loginWindow_ && loginWindow_->isOnScreen(); }

bool LoginController::isBlocking() const { return !token_ || isLoginWindowOnScreen(); }

bool LoginController::shouldOpenDocuments() const {
  if (token_ && !isLoginWindowOnScreen()) return true;
  return documentsOpenWithoutSignIn_;
}

bool LoginController::updatesDisabled() const { return defaults_.boolValue(UserDefaultsUpdatesDisabledKey); }

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
  // Exactly yyyy-MM-ddTHH:mm:ss.SSSZ; the "Z" says UTC.
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
  if (tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60)
    return std::nullopt;
  std::time_t seconds = timegm(&tm);
  if (seconds == -1) return std::nullopt;
  return std::chrono::system_clock::from_time_t(seconds) + std::chrono::milliseconds(number(20, 3));
}

void LoginController::storeToken(const std::string& token) {
  ++tokenGeneration_;
  setToken(token);
  defaults_.setString(UserDefaultsLoginTokenKey, token);
  services_.loginControllerDidChangeToken();
}

void LoginController::clearToken() {
  ++tokenGeneration_;
  token_.reset();
  defaults_.remove(UserDefaultsLoginTokenKey);
  services_.loginControllerDidChangeToken();
}

void LoginController::setUserInfo(const UserInfo& record) {
  userInfo_ = record;
  defaults_.set(UserDefaultsLoginUserInfoKey, record.encode());
  ABTests::save(record, false, defaults_);
  notifications_.post(UserInfoChangedNotification, this);
}

void LoginController::clearUserInfo() {
  userInfo_.reset();
  defaults_.remove(UserDefaultsLoginUserInfoKey);
  notifications_.post(UserInfoChangedNotification, this);
}

void LoginController::activate() {
  if (applicationHooks.activate) applicationHooks.activate();
}

void LoginController::fetchUserInfo(const std::string& token, std::function<void(std::optional<UserInfo>)> completion) {
  HttpRequest request(services_.currentEndpoints().apiBaseURL.appendingPathComponent("studio/me"));
  request.method = "GET";
  request.headers["Authorization"] = "Token " + token;
  request.timeout = 60.0;
  auto session = userInfoURLSession_ ? userInfoURLSession_ : &HttpSession::shared();
  auto slot = std::make_shared<TestableURLSessionDataTaskProtocol*>(nullptr);
  std::weak_ptr<bool> alive = alive_;
  auto task = session->testableDataTask(std::move(request), [this, alive, slot, completion = std::move(completion)](
                                                                Result<HttpResponse> answer) {
    if (alive.expired() || !*alive.lock()) return;
    std::erase_if(tasks_, [&](const auto& t) { return t.get() == *slot; });
    if (!answer) {
      RWLog("No response getting user: " + answer.error().description());
      return completion(std::nullopt);
    }
    if (answer->status != 200) {
      RWLog("User not retrieved, status code: " + std::to_string(answer->status));
      return completion(std::nullopt);
    }
    if (answer->body.empty()) {
      RWLog("Empty user data, not processing.");
      return completion(std::nullopt);
    }
    auto record = UserInfo::decode(std::string_view(reinterpret_cast<const char*>(answer->body.data()), answer->body.size()));
    if (!record) {
      RWLog("Unable to parse json data: " + std::to_string(answer->body.size()) + " bytes");
      return completion(std::nullopt);
    }
    RWLog("success fetching user.");
    completion(std::move(*record));
  });
  *slot = task.get();
  tasks_.push_back(task);
  task->resume();
}

void LoginController::initialize() {
  if (!token_) return;
  auto generation = tokenGeneration_;
  fetchUserInfo(*token_, [this, generation](std::optional<UserInfo> record) {
    // A sign-in or sign-out since the check started decides; this answer is stale.
    if (record && generation == tokenGeneration_) setUserInfo(*record);
    notifications_.post(UserConfigChangedNotification, this);
  });
}

void LoginController::processNewToken(const std::string& token) {
  RWLogSecrets::add(token);
  ipcCall("processingToken");
  auto generation = ++tokenGeneration_;
  fetchUserInfo(token, [this, generation, token](std::optional<UserInfo> record) {
    if (generation != tokenGeneration_) {
      RWLog("Ignored the check of a token that a later one replaced.");
      return;
    }
    if (!record) {
      clearToken();
      clearUserInfo();
      RWLog("Failed to fetch user info from login token.");
      showLoginWindow();
      if (loginWindow_) loginWindow_->showTokenRefused();
      return;
    }
    RWLog("Valid login.");
    ABTests::save(*record, true, defaults_);
    storeToken(token);
    setUserInfo(*record);
    ipcCall("receivedToken");
    if (isLoginWindowOnScreen()) {
      isTokenEphemeral_ = true;  // until the page says "finish"
    } else {
      isTokenEphemeral_ = false;
      notifications_.post(UserConfigChangedNotification, this);
    }
  });
}

void LoginController::handleToken(const std::optional<std::string>& token) {
  RWLog("handleToken", 1);
  activate();
  if (!token) {
    RWLog("Failed to process token login window.");
    showLoginWindow();
    return;
  }
  processNewToken(*token);
}

void LoginController::resetTokenFromUrl(const std::string& url) {
  RWLog("token from url: " + withoutQuery(url));
  activate();
  auto token = queryValue(url, "fut");
  if (!token) {
    RWLog("Failed to process token from x-korvel link.");
    showLoginWindow();
    return;
  }
  if (token_) {
    auto presenter = confirmations_.lock();
    if (!presenter || !presenter->confirmSignInFromLink(userEmail())) {
      RWLog("Kept the current sign-in; the link's token was not used.");
      return;
    }
  }
  processNewToken(*token);
}

bool LoginController::finishLogin() {
  if (!token_) return false;
  isTokenEphemeral_ = false;
  notifications_.post(UserConfigChangedNotification, this);
  if (applicationHooks.showWelcomeWindow) applicationHooks.showWelcomeWindow();
  activate();
  return true;
}

void LoginController::logoutAndQuit(bool quit) {
  if (quit) {
    auto presenter = confirmations_.lock();
    if (!presenter || !presenter->confirmSignOutAndQuit()) return;
  }
  clearToken();
  clearUserInfo();
  if (quit && applicationHooks.terminate) applicationHooks.terminate();
}

void LoginController::clearEphemeralToken() {
  if (!isTokenEphemeral_) return;
  clearToken();
  clearUserInfo();
}

void LoginController::showLoginWindow() {
  if (loginWindow_) loginWindow_->showLoginWindow();
}

void LoginController::ipcCall(const std::string& name) {
  if (loginWindow_) loginWindow_->ipcCall(name);
}
