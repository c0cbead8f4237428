#include <nlohmann/json.hpp>

#include "canvas/BaseOstrelViewController.h"
#include "canvas/EditorPageURL.h"
#include "canvas/OstrelError.h"
#include "canvas/StartupScript.h"
#include "canvas/StoreCookie.h"
#include "foundation/AppInfo.h"
#include "foundation/AppServices.h"
#include "foundation/SharedNames.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"

#include <glib.h>

#include <utility>

std::optional<TypefaceTable::Descriptor> BaseOstrelViewController::defaultTypefaceDescriptor() const {
  return TypefaceTable::defaultDescriptor(typefaceDescriptors_);
}

std::string BaseOstrelViewController::startupScript() const {
  auto& defaults = Defaults::standard();
  nlohmann::json presets = defaults.value("RWColorPresets");
  nlohmann::json hints = defaults.value("RWDismissedPropertyPanelHints");
  StartupScript::Values values;
  values.typefaces = typefaceDescriptors_;
  values.defaultTypeface = defaultTypefaceDescriptor();
  values.colorPresets = &presets;
  values.dismissedHints = &hints;
  values.tabContentWidth = defaults.doubleValue(UserDefaultsTabContentWidth);
  values.isTutorial = isInTutorialMode_;
  return StartupScript::build(values);
}

Result<void> BaseOstrelViewController::loadDocument(const std::optional<Url>& url,
                                                    const std::optional<Url>& imageBaseURL,
                                                    const std::optional<Url>& projectURL,
                                                    const std::optional<std::string>& projectDir,
                                                    const std::string& serverKey) {
  view();  // the start-up script and the bridge are in place before any load
  auto folder = AppInfo::current()->ostrelDir();
  if (!folder) return fail(OstrelError::ostrelNotFound("index.html"));
  auto index = *folder / "index.html";
  char* uri = g_filename_to_uri(std::filesystem::absolute(index).c_str(), nullptr, nullptr);
  std::string indexURL = uri ? uri : "";
  g_free(uri);
  std::error_code ec;
  if (indexURL.empty() || !std::filesystem::is_regular_file(index, ec)) return fail(OstrelError::ostrelNotFound(indexURL));

  auto pageURL = EditorPageURL::build(indexURL, url ? std::optional(url->absoluteString()) : std::nullopt,
                                      imageBaseURL ? std::optional(imageBaseURL->absoluteString()) : std::nullopt,
                                      projectURL ? std::optional(projectURL->absoluteString()) : std::nullopt,
                                      ++pageLoads_);

  std::optional<std::string> builtScript;
  if (projectDir) {
    if (auto text = fs::readText(std::filesystem::path(*projectDir) / "build" / "index.js")) builtScript = *text;
  }
  std::weak_ptr<BaseOstrelViewController> weak = weak_from_this();
  pageLacksServerAddresses_ = false;
  startupAnswered_ = startupHeld_ = false;
  designHeld_ = false;
  heldScripts_.clear();
  if (builtScript) {
    webViewController_->setDocumentReadyHandler([weak, script = *builtScript](const nlohmann::json&) {
      auto self = weak.lock();
      if (!self) return;
      // It runs once the page knows where its project is, as it did when the load carried that.
      if (self->pageLacksServerAddresses_)
        self->heldScripts_.push_back(script);
      else
        self->webViewController_->evaluateJavaScript(script);
    });
  } else {
    // A project without a built script must not run the previous project's.
    webViewController_->setDocumentReadyHandler(nullptr);
  }

  trustAddresses({url, imageBaseURL, projectURL});
  if (projectURL) serverAddresses_ = ServerAddresses{url, imageBaseURL, *projectURL, serverKey};

  if (!pageURL) return {};
  // The page may reach the store as soon as it runs, so the cookie comes first.
  StoreCookie::refresh([weak, page = *pageURL] {
    if (auto self = weak.lock()) self->webViewController_->loadURL(page);
  });
  return {};
}

void BaseOstrelViewController::unloadDocument(std::function<void()> done) {
  ipcReady_ = false;
  startupAnswered_ = designHeld_ = false;
  finishExports(std::nullopt, OstrelError::ostrelNotReady());
  webViewController_->loadHTMLString("", "", std::move(done));
}

Result<void> BaseOstrelViewController::loadDocumentBeforeServer(const std::optional<Url>& imageBaseURL,
                                                                const std::string& projectDir) {
  serverAddresses_.reset();
  auto loaded = loadDocument(std::nullopt, imageBaseURL, std::nullopt, projectDir);
  if (loaded) pageLacksServerAddresses_ = true;
  return loaded;
}

void BaseOstrelViewController::setServerAddresses(const std::optional<Url>& url, const std::optional<Url>& imageBaseURL,
                                                  const Url& projectURL, const std::string& serverKey) {
  serverAddresses_ = ServerAddresses{url, imageBaseURL, projectURL, serverKey};
  trustAddresses({url, imageBaseURL, projectURL});
  if (ipcProcessor_) ipcProcessor_->projectServerChanged(projectURL);
  // The addresses the page was loaded with may be a server's that ended: every later start of
  // the page (a reload, the way back from a page it was taken to) hears these first.
  bool tellNow = !startupHeld_ && (startupAnswered_ || ipcReady_);
  pageLacksServerAddresses_ = true;
  if (startupHeld_) {
    startupHeld_ = false;
    answerStartup(nlohmann::json::object());
  } else if (tellNow) {
    sendServerAddresses();
  }
}

void BaseOstrelViewController::serverStopped() {
  serverAddresses_.reset();
  trustAddresses({});
  if (ipcProcessor_) ipcProcessor_->projectServerChanged(std::nullopt);
  // A start of the page meanwhile waits for the next server's addresses.
  pageLacksServerAddresses_ = true;
}

void BaseOstrelViewController::trustAddresses(const std::vector<std::optional<Url>>& addresses) {
  TrustedOrigins::Grant grant;
  grant.origins.push_back(AppServices::shared().currentEndpoints().storeURL.absoluteString());
  for (const auto& url : addresses)
    if (url && url->scheme() != "file") grant.origins.push_back(url->absoluteString());
  webViewController_->trustedOrigins().setGrant("editor", grant);
}

void BaseOstrelViewController::sendServerAddresses() {
  if (!serverAddresses_) return;
  // The project's address and key first: the page fetches its document as it hears its address.
  setProjectURL(serverAddresses_->projectURL, serverAddresses_->serverKey);
  if (serverAddresses_->url) setDocumentURL(*serverAddresses_->url);
  if (serverAddresses_->imageBaseURL) setImageBaseURL(*serverAddresses_->imageBaseURL);
}
