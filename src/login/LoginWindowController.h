#pragma once
// The login window and its page: opens the window on the login page of the current services
// environment (with the machine identifier as "mid"), answers the page's bridge methods, shows
// the offline page when the page does not load in time or says it is offline, and closes the
// window once the page finishes a sign-in. Messages count only from the login pages' origin and
// the offline page. Main thread only.

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "account/LoginWindowPresenter.h"

class LoginController;
class LoginWindowView;
class Url;
class WebViewController;

class LoginWindowController : public LoginWindowPresenter, public std::enable_shared_from_this<LoginWindowController> {
 public:
  // Makes the window controller of `controller` (and the application's confirmation alerts)
  // and hands them to it.
  static void install(LoginController& controller);
  static std::shared_ptr<LoginWindowController> create(LoginController& controller);
  ~LoginWindowController() override;

  void showLoginWindow() override;
  bool isOnScreen() const override;
  void ipcCall(const std::string& name) override;
  void showTokenRefused() override;

  // How long a page has to load before the offline page replaces it.
  double pageTimeout = 10.0;

  void showWindow(int level);
  void showLogin(const Url& url);
  void handleBridge(const std::string& method, const nlohmann::json& arguments);

  bool isLoaded() const { return loaded_; }
  WebViewController* webViewController() const { return webViewController_.get(); }
  LoginWindowView* view() const { return view_.get(); }

 private:
  explicit LoginWindowController(LoginController& controller) : controller_(controller) {}
  void setupWindow();
  void handleDOMContentLoaded();
  void handleOffline(const nlohmann::json& arguments);
  void handleEndpoint();
  void handleFinish();
  void handleBrowser(const nlohmann::json& arguments);
  void handleNewsletter(const nlohmann::json& arguments);
  void load(const std::string& url);

  LoginController& controller_;
  std::shared_ptr<WebViewController> webViewController_;
  std::unique_ptr<LoginWindowView> view_;
  bool loaded_ = false;
  // Each load's time-out check acts only while no later load has started.
  std::uint64_t loadGeneration_ = 0;
};
