#include "LoginWindowController.h"

#include <webkit2/webkit2.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "account/LoginController.h"
#include "account/Newsletter.h"
#include "canvas/WebViewController.h"
#include "foundation/AppServices.h"
#include "login/LoginConfirmationDialog.h"
#include "login/LoginPage.h"
#include "login/LoginWindowView.h"
#include "platform/JsonCoder.h"
#include "platform/RWLog.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "platform/UrlOpener.h"

void LoginWindowController::install(LoginController& controller) {
  static auto confirmations = std::make_shared<LoginConfirmationDialog>();
  controller.setLoginWindow(create(controller));
  controller.setConfirmationPresenter(confirmations);
}

std::shared_ptr<LoginWindowController> LoginWindowController::create(LoginController& controller) {
  return std::shared_ptr<LoginWindowController>(new LoginWindowController(controller));
}

LoginWindowController::~LoginWindowController() {
  view_.reset();
  if (webViewController_) webViewController_->cleanup();
}

void LoginWindowController::showLoginWindow() {
  showWindow(0);
  showLogin(controller_.services().currentEndpoints().userLoginScreensURL);
}

bool LoginWindowController::isOnScreen() const {
  return view_ && view_->isOnScreen();
}

void LoginWindowController::ipcCall(const std::string& name) {
  auto script = LoginPage::ipcScript(name);
  if (webViewController_ && script) webViewController_->evaluateJavaScript(*script);
}

void LoginWindowController::showTokenRefused() {
  if (!view_) return;
  view_->showNotice("That sign-in token was not accepted. Check it and try again.");
  view_->shake();
}

void LoginWindowController::showWindow(int level) {
  if (!view_) setupWindow();
  view_->show(level);
}

void LoginWindowController::setupWindow() {
  view_.reset();
  if (webViewController_) webViewController_->cleanup();
  webViewController_ = WebViewController::create(false, WebViewController::PageProcess::signIn);
  std::weak_ptr<LoginWindowController> weak = weak_from_this();
  webViewController_->setBridgeHandler([weak](const std::string& method, const nlohmann::json& arguments) {
    if (auto self = weak.lock()) self->handleBridge(method, arguments);
  });
  WebKitWebView* view = webViewController_->webView().webKitView();
  // No stock error page: it would count as the page having loaded; the time-out check shows the
  // offline page instead.
  g_signal_connect(view, "load-failed",
                   G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent, char*, GError*) -> gboolean { return TRUE; }),
                   nullptr);
  view_ = std::make_unique<LoginWindowView>(webViewController_->webView().widget());
}

void LoginWindowController::load(const std::string& url) {
  auto generation = ++loadGeneration_;
  if (webViewController_) webViewController_->loadURL(url);
  std::weak_ptr<LoginWindowController> weak = weak_from_this();
  MainQueue::asyncAfter(pageTimeout, [weak, generation] {
    auto self = weak.lock();
    if (!self || generation != self->loadGeneration_ || self->loaded_) return;
    self->handleOffline({{"status", 0}, {"statusText", "Request timed out"}});
  });
}

void LoginWindowController::showLogin(const Url& url) {
  loaded_ = false;
  if (view_) view_->showLoading();
  load(LoginPage::loginURL(url, controller_.machineID()));
}

void LoginWindowController::handleBridge(const std::string& method, const nlohmann::json& arguments) {
  using Method = LoginPage::Method;
  switch (LoginPage::method(method)) {
    case Method::domContentLoaded: return handleDOMContentLoaded();
    case Method::token:
      if (view_) view_->showNotice("");
      return controller_.handleToken(LoginPage::token(arguments));
    case Method::expired:
      RWLog("Magic link expired. Reloading login screen landing page.");
      return controller_.showLoginWindow();
    case Method::shake:
      if (view_) view_->shake();
      return;
    case Method::retry: return controller_.showLoginWindow();
    case Method::newsletter: return handleNewsletter(arguments);
    case Method::create: return;
    case Method::endpoint: return handleEndpoint();
    case Method::offline: return handleOffline(arguments);
    case Method::browser: return handleBrowser(arguments);
    case Method::finish: return handleFinish();
    case Method::unknown: RWLog("Bridge called " + method + ", " + JsonCoder::dump(arguments)); return;
  }
}

void LoginWindowController::handleDOMContentLoaded() {
  loaded_ = true;
  if (view_) view_->showPage();
}

void LoginWindowController::handleOffline(const nlohmann::json& arguments) {
  auto page = Resources::path("offline", "html", "KorvelLogin");
  std::error_code error;
  if (!std::filesystem::exists(page, error)) {
    RWLog("The offline page is missing: " + page.string(), 3);
    return;
  }
  if (auto url = LoginPage::offlineURL(page, arguments)) load(*url);
}

void LoginWindowController::handleEndpoint() {
  if (!webViewController_) return;
  webViewController_->evaluateJavaScript(LoginPage::endpointScript(controller_.services().cloudServerBaseUrl()));
}

void LoginWindowController::handleFinish() {
  if (!controller_.finishLogin()) {
    // Closing the only window would end the application with nobody signed in.
    RWLog("The login page finished without a sign-in; showing the login page again.");
    controller_.showLoginWindow();
    return;
  }
  std::weak_ptr<LoginWindowController> weak = weak_from_this();
  MainQueue::async([weak] {
    auto self = weak.lock();
    if (!self) return;
    if (self->view_) self->view_->close();
    self->view_.reset();
    if (self->webViewController_) self->webViewController_->cleanup();
    self->webViewController_.reset();
  });
}

void LoginWindowController::handleBrowser(const nlohmann::json& arguments) {
  if (auto url = LoginPage::browserURL(arguments))
    UrlOpener::open(*url);
  else
    RWLog("The login page asked to open an address that is not http or https; ignored.");
}

void LoginWindowController::handleNewsletter(const nlohmann::json& arguments) {
  if (auto request = LoginPage::newsletterRequest(arguments))
    Newsletter::signup(request->email, request->name, "studio");
}
