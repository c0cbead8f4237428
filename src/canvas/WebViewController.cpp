#include "WebViewController.h"

#include <glib.h>

#include <nlohmann/json.hpp>

#include "canvas/HostedPageScripts.h"
#include "canvas/NavigationPolicy.h"
#include "canvas/ScriptGuard.h"
#include "canvas/ScriptLiteral.h"
#include "foundation/AppInfo.h"
#include "foundation/AppServices.h"
#include "platform/BridgeMessage.h"
#include "platform/JsonCoder.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"
#include "platform/UrlOpener.h"
#include "ui/AppAppearance.h"

namespace {

std::filesystem::path folderOfFileURL(const std::string& url) {
  std::string text = url.substr(0, url.find_first_of("?#"));
  char* name = g_filename_from_uri(text.c_str(), nullptr, nullptr);
  if (!name) return {};
  std::filesystem::path path(name);
  g_free(name);
  return path.parent_path();
}

bool isFileURL(const std::string& url) { return url.rfind("file:", 0) == 0; }

// The method of a bridge message as the bridge writes it, first: {"method":"<name>",...
std::optional<std::string> leadingMethod(std::string_view text) {
  constexpr std::string_view start = "{\"method\":\"";
  if (text.rfind(start, 0) != 0) return std::nullopt;
  auto end = text.find_first_of("\"\\", start.size());
  if (end == std::string_view::npos || text[end] != '"' || end - start.size() > 64) return std::nullopt;
  return std::string(text.substr(start.size(), end - start.size()));
}

}  // namespace

const char* WebViewController::processGroup(PageProcess process) {
  switch (process) {
    case PageProcess::signIn: return "sign-in";
    case PageProcess::thirdParty: return "third-party";
    case PageProcess::own: break;
  }
  return "";
}

std::shared_ptr<WebViewController> WebViewController::create(bool inspectorEnabled, PageProcess process) {
  std::shared_ptr<WebViewController> controller(new WebViewController(inspectorEnabled, process));
  controller->setUp();
  return controller;
}

WebViewController::WebViewController(bool inspectorEnabled, PageProcess process)
    : webView_(std::make_unique<WebActions::WebView>(WebView::Configuration{inspectorEnabled, processGroup(process)})) {}

void WebViewController::setUp() {
  std::weak_ptr<WebViewController> weak = weak_from_this();
  webView_->addScriptMessageHandler(handlerName, [weak](const WebView::ScriptMessage& message) {
    if (auto self = weak.lock()) self->didReceiveScriptMessage(message);
  });
  if (auto blocker = HostedPageScripts::dragDropBlocker())
    scripts_.push_back({{*blocker, WebView::InjectionTime::documentEnd, WebView::InjectedFrames::mainFrameOnly},
                        ScriptRole::dragDropBlocker});

  // Each script goes only to the page on show at the moment it is sent, when this view trusts
  // it, and runs only if that page is still there when it arrives.
  webView_->scriptGate = [weak](const std::string& script, const std::string& committed) -> std::optional<std::string> {
    auto self = weak.lock();
    auto condition = self && self->trustsPage(committed) ? ScriptGuard::committedPage(committed) : std::nullopt;
    if (!condition) {
      RWLog("Kept a script from a page this view does not trust");
      return std::nullopt;
    }
    return ScriptGuard::guarded(script, *condition);
  };
  webView_->decidePolicy = [weak](const WebView::NavigationAction& action) {
    auto self = weak.lock();
    if (self) self->refreshUserScripts();  // before the next document starts
    if (!self || self->cleanedUp_) return WebView::PolicyDecision::allow;
    auto decision = NavigationPolicy::decide(action, self->trustedOrigins_, self->openLinksInSystemBrowser);
    if (decision.openExternally) UrlOpener::open(*decision.openExternally);
    return decision.allow ? WebView::PolicyDecision::allow : WebView::PolicyDecision::cancel;
  };
  // The page taking the main frame elsewhere by itself (a redirect in its code, a refresh): the
  // address goes to the browser, and the page stays, with all it holds.
  webView_->decideMainFrameResponse = [weak](const std::string& uri) {
    auto self = weak.lock();
    if (!self || self->cleanedUp_) return WebView::PolicyDecision::allow;
    auto decision = NavigationPolicy::mainFrameDecision(uri, self->trustedOrigins_, self->openLinksInSystemBrowser);
    if (decision.allow) return WebView::PolicyDecision::allow;
    if (decision.openExternally) UrlOpener::open(*decision.openExternally);
    return WebView::PolicyDecision::cancel;
  };
  webView_->mainFrameCommitted = [weak](const std::string& uri) {
    auto self = weak.lock();
    if (!self || self->cleanedUp_) return;
    self->earlierLoadOnShow_ = self->showsEarlierLoad(uri);
    if (self->earlierLoadOnShow_) {
      // The page's history went back past the last load: the last load's page comes back.
      RWLog("Turned away a page of an earlier load");
      self->webView_->stopLoading();
      // After the commit: a step through the history asked within another's commit waits long.
      MainQueue::async([weak, loads = self->loads_] {
        auto self = weak.lock();
        if (self && !self->cleanedUp_ && self->earlierLoadOnShow_ && self->loads_ == loads) self->bringBackPage();
      });
      return;
    }
    auto decision = NavigationPolicy::mainFrameDecision(uri, self->trustedOrigins_, self->openLinksInSystemBrowser);
    if (decision.allow) {
      self->lastTrustedPage_ = uri;
      return;
    }
    // Elsewhere without a load to turn away (a page of the history, kept in memory): send the
    // address to the browser and bring back the page that was on show.
    self->webView_->stopLoading();
    if (decision.openExternally) UrlOpener::open(*decision.openExternally);
    self->bringBackPage();
  };
  webView_->newWindowRequested = [weak](const WebView::NavigationAction& action) {
    auto self = weak.lock();
    if (!self || self->cleanedUp_) return;
    if (auto url = NavigationPolicy::newWindowDecision(action)) UrlOpener::open(*url);
  };
  webView_->loadFinished = [weak](std::uint64_t navigation) {
    if (auto self = weak.lock()) self->didFinishLoad(navigation);
  };
  webView_->webProcessTerminated = [weak] {
    if (auto self = weak.lock()) self->webProcessDidTerminate();
  };
  // Only a page this view trusts asks the person anything; others hold no window.
  webView_->mayAskThePerson = [weak] {
    auto self = weak.lock();
    return self && !self->cleanedUp_ && self->trustsPage(self->webView_->committedURI());
  };
  webView_->runPrompt = [weak](const std::string& prompt, const std::string& defaultText, WebView::PromptAnswer answer) {
    auto self = weak.lock();
    if (!self || self->cleanedUp_ || !promptPresenter()) {
      answer(std::nullopt);
      return;
    }
    promptPresenter()(*self->webView_, prompt, defaultText, std::move(answer));
  };

  reloadUserScripts();
  setUserAgent(AppInfo::current()->userAgent());

  AppAppearance::shared().observeHandlers.push_back([weak] {
    if (auto self = weak.lock()) self->reflectAppearance();
  });
}

WebViewController::~WebViewController() { cleanup(); }

void WebViewController::setUserAgent(const std::optional<std::string>& userAgent) {
  webView_->setCustomUserAgent(userAgent);
}

void WebViewController::addUserScript(const WebView::UserScript& script) {
  scripts_.push_back({script, ScriptRole::owner});
  if (scriptsTrust_ != trustedOrigins_.generation())
    reloadUserScripts();  // this one with the others
  else
    webView_->addUserScript(guarded(script));
}

WebView::UserScript WebViewController::guarded(WebView::UserScript script) const {
  script.source = ScriptGuard::guarded(script.source, trustedOrigins_.scriptCondition());
  return script;
}

void WebViewController::refreshUserScripts() {
  if (scriptsTrust_ != trustedOrigins_.generation()) reloadUserScripts();
}

void WebViewController::reloadUserScripts() {
  std::erase_if(scripts_, [](const InstalledScript& s) {
    return s.role == ScriptRole::bridge || s.role == ScriptRole::appearance;
  });
  scripts_.push_back({{HostedPageScripts::bridgeScript(AppServices::shared().endpointsJSON()),
                       WebView::InjectionTime::documentStart, WebView::InjectedFrames::mainFrameOnly},
                      ScriptRole::bridge});
  scripts_.push_back({{HostedPageScripts::appearanceScript(AppAppearance::shared().isDark()),
                       WebView::InjectionTime::documentStart, WebView::InjectedFrames::allFrames},
                      ScriptRole::appearance});
  // Every script starts only in a document whose own address the view trusts: a page the view
  // was taken to gets none of them.
  scriptsTrust_ = trustedOrigins_.generation();
  webView_->removeAllUserScripts();
  for (const auto& s : scripts_) webView_->addUserScript(guarded(s.script));
}

void WebViewController::reflectAppearance() {
  std::string mode = AppAppearance::shared().isDark() ? "dark" : "light";
  webView_->evaluateJavaScript("window.postMessage({ appearance: '" + mode + "' }, '*');");
  reloadUserScripts();
}

namespace {
constexpr const char* loadedPageHolder = "loaded page";
}

void WebViewController::trustLoadedAddress(const std::string& url, const std::optional<std::string>& exactly) {
  TrustedOrigins::Grant grant;
  if (isFileURL(url))
    grant.folders.push_back(folderOfFileURL(url));
  else
    grant.origins.push_back(url);
  if (exactly) grant.addresses.push_back(*exactly);
  trustedOrigins_.setGrant(loadedPageHolder, grant);
}

void WebViewController::forgetLoadedPage() {
  trustedOrigins_.setGrant(loadedPageHolder, {});
  refreshUserScripts();
}

void WebViewController::storeCompletion(std::uint64_t navigation, std::function<void()> completion) {
  if (completion)
    completion_ = Completion{std::move(completion), navigation};
  else
    completion_.reset();
}

void WebViewController::loadURL(const std::string& url, std::function<void()> completion,
                                const WebView::Headers& headers) {
  lastTextLoad_.reset();
  lastAddress_ = AddressLoad{url, headers};
  trustLoadedAddress(url);
  refreshUserScripts();
  isDocumentReady_ = false;
  rememberHistory();
  storeCompletion(webView_->loadURL(url, loadTimeout, headers), std::move(completion));
}

void WebViewController::loadFile(const std::filesystem::path& path, std::function<void()> completion) {
  char* uri = g_filename_to_uri(std::filesystem::absolute(path).c_str(), nullptr, nullptr);
  std::string url = uri ? uri : "";
  g_free(uri);
  if (url.empty()) {
    completion_.reset();
    return;
  }
  trustedOrigins_.setGrant(loadedPageHolder, {{}, {std::filesystem::absolute(path).parent_path()}, {}});
  refreshUserScripts();
  lastTextLoad_.reset();
  lastAddress_ = AddressLoad{url, {}};
  rememberHistory();
  storeCompletion(webView_->loadURL(url), std::move(completion));
}

void WebViewController::loadHTMLString(const std::string& html, const std::string& baseURL,
                                       std::function<void()> completion) {
  if (baseURL.empty())
    trustedOrigins_.setGrant(loadedPageHolder, {{}, {}, {"about:blank"}});
  else
    trustLoadedAddress(baseURL, baseURL);
  refreshUserScripts();
  lastTextLoad_ = TextLoad{html, baseURL};
  rememberHistory();
  storeCompletion(webView_->loadHTMLString(html, baseURL), std::move(completion));
}

// The page left by the way it went (kept in memory as it was, when the engine kept it), or else the
// owner's last load again, which starts it afresh as after a crash.
void WebViewController::bringBackPage() {
  if (!lastTrustedPage_.empty()) {
    // A page of an earlier load lies back from the last load's, whose own pages lie forward;
    // an entry of the same address back from it is of an earlier load too.
    if (earlierLoadOnShow_) {
      if (webView_->goToEntryAfterRemembered(lastTrustedPage_)) return;
    } else if (webView_->goBackTo(lastTrustedPage_) || webView_->goToEntryAfterRemembered(lastTrustedPage_)) {
      return;
    }
  }
  isDocumentReady_ = false;
  rememberHistory();
  if (lastTextLoad_)
    webView_->loadHTMLString(lastTextLoad_->html, lastTextLoad_->baseURL);
  else if (lastAddress_)
    webView_->loadURL(lastAddress_->url, loadTimeout, lastAddress_->headers);
  else
    webView_->loadHTMLString("", "");
}

void WebViewController::rememberHistory() {
  // The pages before this load are pages of earlier loads.
  webView_->rememberHistory();
  ++loads_;
}

bool WebViewController::showsEarlierLoad(const std::string& committedURI) const {
  if (!keepsToLastLoad || !webView_->showsRememberedEntry()) return false;
  // The last load's own address is that load again (a fresh load of it commits as one of them).
  if (lastTextLoad_) return committedURI != lastTextLoad_->baseURL;
  return !lastAddress_ || committedURI != lastAddress_->url;
}

bool WebViewController::trustsPage(const std::string& committedURI) const {
  return !earlierLoadOnShow_ && trustedOrigins_.contains(committedURI);
}

void WebViewController::didFinishLoad(std::uint64_t navigation) {
  if (!completion_ || completion_->navigation != navigation) return;
  auto handler = std::move(completion_->handler);
  completion_.reset();
  handler();
}

void WebViewController::webProcessDidTerminate() {
  isDocumentReady_ = false;
  if (auto handler = webProcessTerminated_) handler();
  if (cleanedUp_ || !reloadsWhenProcessEnds) return;
  if (crashReloads_ >= maximumCrashReloads) {
    RWLog("The page's web process ended again; it is not reloaded", 3);
    return;
  }
  ++crashReloads_;
  // Not while WebKit is still telling the other pages of that process.
  std::weak_ptr<WebViewController> weak = weak_from_this();
  MainQueue::async([weak] {
    auto self = weak.lock();
    if (!self || self->cleanedUp_) return;
    if (self->lastTextLoad_)
      self->webView_->loadHTMLString(self->lastTextLoad_->html, self->lastTextLoad_->baseURL);
    else
      self->webView_->reload();
  });
}

void WebViewController::evaluateJavaScript(const std::string& script, WebView::ScriptCompletion completion) {
  MainQueue::async([self = shared_from_this(), script, completion = std::move(completion)]() mutable {
    self->webView_->evaluateJavaScript(script, std::move(completion));
  });
}

void WebViewController::cleanup() {
  if (cleanedUp_) return;
  cleanedUp_ = true;
  webView_->closeInspector();
  webView_->removeScriptMessageHandler(handlerName);
  bridgeHandler_ = nullptr;
  documentReadyHandler_ = nullptr;
  refusedMessageHandler_ = nullptr;
  webProcessTerminated_ = nullptr;
}

void WebViewController::didReceiveScriptMessage(const WebView::ScriptMessage& message) {
  if (cleanedUp_) return;
  // The page that posted is the one committed: the address of a load under way (the view's
  // way back from a page it was taken to, say) is not yet the page's.
  if (!trustsPage(webView_->committedURI())) {
    RWLog("Dropped a script message from a page this view does not trust");
    return;
  }
  if (message.tooLong()) {
    RWLog("Refused a script message of " + std::to_string(message.length) + " characters: longer than " +
          std::to_string(WebView::maximumScriptMessageLength) + " characters");
    if (auto method = leadingMethod(message.head))
      if (auto refused = refusedMessageHandler_) refused(*method);
    return;
  }
  if (auto raw = rawMessageHandler_)
    if (auto method = leadingMethod(message.text); method && raw(*method, message.text)) return;
  nlohmann::json arguments;
  auto decoded = message.isString ? BridgeMessage::decode(message.text, arguments)
                                  : Result<std::string>(fail(BridgeMessage::ErrorDomain, 1, "the message is not text"));
  if (!decoded) {
    // The log cuts the page's text short.
    RWLog((decoded.error().code == 2 ? "Failed parsing method on script message: " : "Failed parsing script message: ") +
          message.text);
    return;
  }
  const std::string& name = *decoded;

  if (name == "DOMContentLoaded") {
    isDocumentReady_ = true;
    crashReloads_ = 0;
    if (auto ready = documentReadyHandler_) ready(nlohmann::json::object());
  } else if (name == "error") {
    return;
  }
  if (auto handler = bridgeHandler_) handler(name, arguments);
}

std::optional<std::string> WebViewController::toJson(const std::optional<IPCValue>& value) {
  if (!value) return "null";
  if (const Data* data = value->data()) {
    std::string text(data->begin(), data->end());
    if (!g_utf8_validate_len(text.data(), static_cast<gssize>(text.size()), nullptr)) return std::nullopt;
    if (auto parsed = JsonCoder::parse(text)) return ScriptLiteral::json(*parsed);
    return ScriptLiteral::string(text);
  }
  if (const nlohmann::json* json = value->json()) return ScriptLiteral::json(*json);
  return "null";
}

std::optional<nlohmann::json> WebViewController::fromJson(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  auto parsed = JsonCoder::parse(*text);
  if (!parsed) return std::nullopt;
  return std::move(*parsed);
}
