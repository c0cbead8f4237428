#include "preview/KorvelViewController.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "canvas/BaseOstrelViewController.h"
#include "canvas/WebViewController.h"
#include "foundation/AppInfo.h"
#include "foundation/SharedNames.h"
#include "platform/Alert.h"
#include "platform/NotificationCenter.h"
#include "platform/RWLog.h"
#include "platform/WebView.h"
#include "preview/DeviceManager.h"
#include "preview/DeviceSettingsMenuController.h"
#include "preview/PreviewDocument.h"
#include "preview/PreviewWindowController.h"
#include "server/PackageName.h"
#include "server/ServerController.h"

namespace {

void printLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

bool sameOrigin(const Url& a, const Url& b) {
  auto port = [](const Url& u) { return u.port() >= 0 ? u.port() : (u.scheme() == "https" ? 443 : 80); };
  return a.scheme() == b.scheme() && a.host() == b.host() && port(a) == port(b);
}

}  // namespace

// The preview runs the project's own code: a web process of its own.
KorvelViewController::KorvelViewController() : webViewController_(WebViewController::create(true)) {
  // The pane is owned by the preview window controller, which outlives every message.
  webViewController_->setBridgeHandler([this](const std::string& method, const nlohmann::json& arguments) {
    handleBridgeMethod(method, arguments);
  });
  webViewController_->setUserAgent(AppInfo::current()->userAgent());
  // The page's own loads are asked for the server's key. The engine keeps the answer for the
  // session and sends it with any page's request to that host and port, so the server takes it
  // only on requests the engine marks as the page's own. Every other challenge is refused, and
  // the person never sees one.
  webViewController_->webView().authenticate =
      [this](const WebView::AuthenticationChallenge& challenge) -> std::optional<WebView::Credential> {
    auto d = document.lock();
    auto* server = d ? d->serverController() : nullptr;
    if (!server) return std::nullopt;
    auto key = server->pageKeyForChallenge(challenge.host, static_cast<int>(challenge.port), challenge.realm,
                                           challenge.refusedPassword);
    if (!key) return std::nullopt;
    return WebView::Credential{"korvel", *key};
  };
}

KorvelViewController::~KorvelViewController() { webViewController_->cleanup(); }

GtkWidget* KorvelViewController::view() const { return webViewController_->webView().widget(); }

std::optional<std::string> KorvelViewController::previewPageURL(const std::string& serverLocalUrl,
                                                                const Url& serverURL) {
  Url page = serverURL.appendingPathComponent("_app/resources/Ostrel").appendingPathComponent("preview.html");
  std::string query = "imageBaseURL=" + Url::encodeQueryValue(replaceAll(serverLocalUrl, "+", "%2B")) +
                      "&projectURL=" + Url::encodeQueryValue(serverURL.absoluteString());
  return page.withQuery(query).absoluteString();
}

void KorvelViewController::reload() {
  auto d = document.lock();
  if (!d) return;
  const auto& local = d->serverLocalUrl();
  if (!local || local->empty()) return;
  auto server = d->serverURL();
  if (!server || server->absoluteString().empty()) return;
  if (isLoading_) return;
  isLoading_ = true;
  // Cleared on every road out, so that a failed reload never blocks the next one.
  struct Clear {
    bool& flag;
    ~Clear() { flag = false; }
  } clear{isLoading_};
  auto url = previewPageURL(*local, *server);
  if (!url) {
    printLine("failed to compose preview url");
    return;
  }
  // The server's key goes with the page's own request; what the page loads is asked for it by
  // HTTP authentication (see the constructor).
  WebView::Headers headers;
  if (auto* server = d->serverController(); server && !server->pageKey().empty())
    headers[ServerController::pageKeyHeader] = server->pageKey();
  webViewController_->loadURL(*url, nullptr, headers);
  NotificationCenter::defaultCenter().post(PreviewReloadNotification, d.get());
}

bool KorvelViewController::isValidPackageName(std::string_view name) { return PackageName::isAcceptable(name); }

std::function<bool(const std::string&)>& KorvelViewController::packageConsent() {
  static std::function<bool(const std::string&)> consent = [](const std::string& name) {
    AlertSpec question{"Add the package \u201c" + name + "\u201d to the project?",
                   "The preview page asks for it. The project server installs it as a development dependency.",
                   {"Add Package", "Cancel"}};
    return Alert::shared().runModal(question, nullptr) == Alert::firstButtonReturn;
  };
  return consent;
}

void KorvelViewController::addPackage(const std::string& name) {
  auto d = document.lock();
  if (!d) return;
  // Only the main frame's own scripts reach the bridge: it must show the server's own origin,
  // and the person decides.
  auto server = d->serverURL();
  auto shown = Url::parse(webViewController_->webView().committedURI());
  if (!server || !shown || !sameOrigin(*server, *shown)) {
    printLine("addPackage refused: the preview page is not the project server's");
    return;
  }
  if (!isValidPackageName(name)) {
    printLine("addPackage refused: not a package name");
    return;
  }
  if (!packageConsent() || !packageConsent()(name)) return;
  d->addPackage(name, true);
}

void KorvelViewController::handleBridgeMethod(const std::string& method, const nlohmann::json& arguments) {
  auto d = document.lock();
  if (!d) return;
  BaseOstrelViewController* editor = d->editorForPreview();
  if (method == "DOMContentLoaded") {
    RWLog("Preview page ready", 1);
    if (auto* preview = d->previewWindowController()) preview->previewPageDidLoad();
    if (editor) editor->reportPreviewErrors(nlohmann::json::array());
  } else if (method == "devices") {
    d->deviceManager().parse(&arguments);
    if (auto* menu = d->deviceMenuController()) menu->updateDeviceMenu();
  } else if (method == "addPackage") {
    if (arguments.is_string()) addPackage(arguments.get<std::string>());
  } else if (method == "ServerStoreData") {
    if (editor) editor->requestServerStoreData();
  } else if (method == "runtime.error") {
    if (arguments.is_array() && editor) editor->reportPreviewErrors(arguments);
  } else if (method == "fixmeHackyNotePreviewContentScale") {
    if (arguments.is_number())
      if (auto* preview = d->previewWindowController()) preview->setPreviewContentScale(arguments.get<double>());
  } else {
    printLine("unhandled bridge method: " + method);
  }
}
