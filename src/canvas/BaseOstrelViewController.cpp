#include "BaseOstrelViewController.h"

#include <gdk/gdkkeysyms.h>

#include <utility>

#include <nlohmann/json.hpp>

#include "account/LoginController.h"
#include "canvas/NavigationPolicy.h"
#include "canvas/OstrelError.h"
#include "canvas/OstrelView.h"
#include "canvas/ScriptLiteral.h"
#include "canvas/StoreCookie.h"
#include "canvas/WebViewExtras.h"
#include "document/storage/KXDocumentContainer.h"
#include "foundation/AppInfo.h"
#include "foundation/SharedNames.h"
#include "platform/Defaults.h"
#include "platform/FileDrag.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"
#include "platform/UrlOpener.h"
#include "ui/AppAppearance.h"
#include "ui/AppAppearanceGtk.h"

namespace {
constexpr const char* colorPresetsKey = "RWColorPresets";
constexpr const char* dismissedHintsKey = "RWDismissedPropertyPanelHints";
}  // namespace

BaseOstrelViewController::BaseOstrelViewController(bool tutorialMode)
    : isInTutorialMode_(tutorialMode),
      webViewController_(WebViewController::create(true)),
      typefaceDescriptors_(TypefaceTable::systemTable()) {}

void BaseOstrelViewController::setUp() {
  std::weak_ptr<BaseOstrelViewController> weak = weak_from_this();
  // Each load is the editor afresh (another document, a revert): the page of one before it holds
  // a design that is no longer the document's.
  webViewController_->keepsToLastLoad = true;
  webViewController_->setWebProcessTerminatedHandler([weak] {
    if (auto self = weak.lock()) self->webProcessDidTerminate();
  });
  StoreCookie::followTokenChanges();
  fileDrops_ = std::make_unique<FileDropWatch>(webViewController_->webView().widget(),
                                               [weak](std::vector<std::filesystem::path> files, double x, double y) {
                                                 if (auto self = weak.lock()) self->dropPictures(std::move(files), x, y);
                                               });
}

BaseOstrelViewController::~BaseOstrelViewController() {
  fileDrops_.reset();
  webViewController_->cleanup();
  colorPresetsObservation_.reset();
  hintsObservation_.reset();
  // Nobody will answer these any more.
  finishExports(std::nullopt, OstrelError::ostrelNotReady());
}

void BaseOstrelViewController::setIPCProcessor(std::unique_ptr<IPCProcessor> processor) {
  ipcProcessor_ = std::move(processor);
  if (!ipcProcessor_) return;
  std::weak_ptr<BaseOstrelViewController> weak = weak_from_this();
  ipcProcessor_->call = [weak](const std::string& event, IPCArguments arguments) {
    if (auto self = weak.lock()) self->ipcCallWithArray(event, arguments);
  };
  ipcProcessor_->evaluateJavaScript = [controller = webViewController_](const std::string& script,
                                                                        WebView::ScriptCompletion completion) {
    controller->evaluateJavaScript(script, std::move(completion));
  };
  ipcProcessor_->beginFileDrag = [weak](const std::vector<std::filesystem::path>& files) {
    auto self = weak.lock();
    return self && self->view_ && FileDrag::begin(self->view_->widget(), files);
  };
}

GtkWidget* BaseOstrelViewController::view() {
  if (!view_) loadView();
  return view_->widget();
}

void BaseOstrelViewController::loadView() {
  view_ = std::make_unique<OstrelView>(webViewController_->webView().widget());
  std::weak_ptr<BaseOstrelViewController> weak = weak_from_this();
  view_->keyPressed = [weak](bool control, bool alt, bool super, unsigned keyval) {
    auto self = weak.lock();
    return self && self->keyDown(control, alt, super, keyval);
  };
  view_->magnified = [weak](double magnification, double x, double y) {
    if (auto self = weak.lock()) self->magnify(magnification, x, y);
  };
  view_->movedToWindow = [weak] {
    if (auto self = weak.lock()) self->reflectAppAppearance();
  };
  contextMenuPresenter = [weak](std::shared_ptr<Menu> menu, double x, double y, std::function<void(MenuItem*)> done) {
    auto self = weak.lock();
    if (!self || !self->view_) return done(nullptr);
    self->view_->popUpMenu(std::move(menu), x, y, std::move(done));
  };

  webViewController_->setUserAgent(AppInfo::current()->userAgent());
  webViewController_->setBridgeHandler([weak](const std::string& method, const nlohmann::json& arguments) {
    if (auto self = weak.lock()) self->bridgeHandler(method, arguments);
  });
  // The page's document is laid out for the disk beside the main loop, from its text: parsed
  // whole it would take tens of times its size. A document too large for one message is a design
  // too large for a document: the save that waits for it hears so at once.
  webViewController_->setRawMessageHandler([weak](const std::string& method, const std::string& text) {
    auto self = weak.lock();
    if (!self || method != "DocumentSaveDialogStart" || !self->ipcProcessor_) return false;
    auto complete = std::exchange(self->ipcProcessor_->documentExportDataComplete, nullptr);
    if (!complete) return true;
    if (!self->answerHoldsDesign()) {
      RWLog("Refused a design from an editor page that has not reported holding the document's", 2);
      complete(std::nullopt, OstrelError::designNotHeld());
      return true;
    }
    // The page has done its part: the save that waits for it waits for the layout to its end.
    self->ostrelDocumentDataArrived();
    GlobalQueue::async([text = std::string(text), complete = std::move(complete)]() mutable {
      // Text that isn't JSON comes back with its refusal, to be kept where a crash finds it.
      auto refused = std::make_shared<Data>();
      auto design = std::make_shared<Result<Data>>(KXDocumentContainer::designFromAnswer(text, refused.get()));
      std::string().swap(text);
      MainQueue::async([design, refused, complete = std::move(complete)] {
        if (*design)
          complete(std::move(**design), std::nullopt);
        else if (!refused->empty())
          complete(std::move(*refused), design->error());
        else
          complete(std::nullopt, design->error());
      });
    });
    return true;
  });
  webViewController_->setRefusedMessageHandler([weak](const std::string& method) {
    auto self = weak.lock();
    if (!self || method != "DocumentSaveDialogStart" || !self->ipcProcessor_) return;
    if (auto complete = std::exchange(self->ipcProcessor_->documentExportDataComplete, nullptr))
      complete(std::nullopt, KXDocumentContainer::designTooLargeToSave(std::nullopt));
  });
  WebViewExtras::setScrollElasticity(webViewController_->webView(), WebViewExtras::ScrollElasticity::none);
  webViewController_->addUserScript(
      {startupScript(), WebView::InjectionTime::documentStart, WebView::InjectedFrames::mainFrameOnly});

  auto& defaults = Defaults::standard();
  colorPresetsObservation_ = defaults.observe(colorPresetsKey, [weak] {
    auto self = weak.lock();
    if (!self) return;
    auto value = Defaults::standard().value(colorPresetsKey);
    self->ipcCallWithArray("ColorPresetsChange", {value.is_null() ? std::nullopt : std::optional(IPCValue(value))});
  });
  hintsObservation_ = defaults.observe(dismissedHintsKey, [weak] {
    auto self = weak.lock();
    if (!self) return;
    auto value = Defaults::standard().value(dismissedHintsKey);
    self->ipcCallWithArray("DismissedPropertyPanelHintsChange",
                           {value.is_array() ? std::optional(IPCValue(value)) : std::nullopt});
  });

  reflectAppAppearance();
  AppAppearance::shared().observeHandlers.push_back([weak] {
    if (auto self = weak.lock()) self->reflectAppAppearance();
  });
}

void BaseOstrelViewController::reflectAppAppearance() {
  if (!view_) return;
  view_->reflectAppAppearance();
  if (!view_->isInWindow()) return;
  AppAppearanceGtk::apply(AppAppearance::appearance(AppAppearance::UIElement::documentWindow));
}

void BaseOstrelViewController::answerStartup(const nlohmann::json& arguments) {
  startupAnswered_ = true;
  ++pageStarts_;
  if (pageLacksServerAddresses_) {
    sendServerAddresses();
    for (auto& script : std::exchange(heldScripts_, {})) webViewController_->evaluateJavaScript(script);
  } else if (serverAddresses_ && !serverAddresses_->serverKey.empty()) {
    // The address came with the load; the key never does.
    setProjectURL(serverAddresses_->projectURL, serverAddresses_->serverKey);
  }
  // The page names this start when it reports the document's design. The server's addresses come
  // with the answer too: the page must know its project as it starts, whatever became of the events.
  std::string answer = "window._bridge('DOMContentLoadedCallback', " + std::to_string(pageStarts_);
  if (serverAddresses_) {
    nlohmann::json addresses = {{"projectURL", serverAddresses_->projectURL.absoluteString()}};
    if (serverAddresses_->url) addresses["url"] = serverAddresses_->url->absoluteString();
    if (serverAddresses_->imageBaseURL) addresses["imageBaseURL"] = serverAddresses_->imageBaseURL->absoluteString();
    if (!serverAddresses_->serverKey.empty()) addresses["key"] = serverAddresses_->serverKey;
    answer += ", " + ScriptLiteral::json(addresses);
  }
  webViewController_->evaluateJavaScript(answer + ")");
  if (ipcProcessor_) ipcProcessor_->handle("DOMContentLoaded", arguments);
}

void BaseOstrelViewController::bridgeHandler(const std::string& method, const nlohmann::json& arguments) {
  if (method == "DOMContentLoaded") {
    // Every start of a page loaded without the server's addresses hears them before its answer
    // (a reload after a crash too); without a server yet, the answer waits for it.
    startupAnswered_ = false;
    forgetPageStart();
    if (pageLacksServerAddresses_ && !serverAddresses_) {
      startupHeld_ = true;
      return;
    }
    answerStartup(arguments);
    return;
  } else if (method == "DOMContentLoadedCallback") {
    if (view_) view_->fadeInWebView();
  } else if (method == "DocumentReady") {
    handleDocumentReady(arguments);
  } else if (method == "DocumentLoaded") {
    handleDocumentLoaded(arguments);
  } else if (method == "MarketplaceLoaded") {
    if (auto pending = showStoreViewUrl_) {
      showStoreView(pending);
      showStoreViewUrl_.reset();
    }
  } else if (method == "DocumentContextMenu") {
    handleDocumentContextMenu(arguments);
  } else if (method == "ApplicationOpenURL") {
    handleApplicationOpenURL(arguments);
  } else if (method == "ApplicationOpenMetadataFolder") {
    handleApplicationOpenMetadataFolder();
  } else if (method == "ApplicationOpenREADME") {
    handleApplicationOpenREADME();
  }
  if (ipcProcessor_) ipcProcessor_->handle(method, arguments);
}

void BaseOstrelViewController::handleDocumentReady(const nlohmann::json&) {
  ipcReady_ = true;
  RWLog("Editor page ready", 1);
  backgroundPagesHold_.reset();
  std::optional<std::string> userId = ipcProcessor_ ? ipcProcessor_->userId() : std::nullopt;
  ipcCallWithArray("MetricsContext", {userId ? std::optional(IPCValue::string(*userId)) : std::nullopt});
  auto record = LoginController::getUserInfo(Defaults::standard());
  if (record && record->organization) ipcCallWithArray("OrganizationInfo", {IPCValue(record->organization->encode())});
}

void BaseOstrelViewController::handleDocumentLoaded(const nlohmann::json& arguments) {
  // A report of an earlier start, or of a start the host never answered, tells nothing of the
  // page on show now.
  auto start = arguments.is_object() ? arguments.find("start") : arguments.end();
  if (!startupAnswered_ || start == arguments.end() || !start->is_number_unsigned() ||
      start->get<std::uint64_t>() != pageStarts_) {
    RWLog("Ignored the editor page's report of a design that is not of its current start", 2);
    return;
  }
  if (!designHeld_) RWLog("Editor page holds the document's design", 1);
  designHeld_ = true;
}

void BaseOstrelViewController::handleApplicationOpenURL(const nlohmann::json& arguments) {
  if (!arguments.is_string()) return;
  std::string text = arguments.get<std::string>();
  if (text.empty() || !Url::parse(text)) return;
  if (!NavigationPolicy::isOpenableExternally(text)) {
    RWLog("ApplicationOpenURL: only http, https and mailto addresses are opened");
    return;
  }
  UrlOpener::open(text);
}

void BaseOstrelViewController::handleApplicationOpenMetadataFolder() {
  if (ipcProcessor_ && ipcProcessor_->applicationOpenProjectFile) ipcProcessor_->applicationOpenProjectFile("metadata");
}

void BaseOstrelViewController::handleApplicationOpenREADME() {
  if (ipcProcessor_ && ipcProcessor_->applicationOpenProjectFile) ipcProcessor_->applicationOpenProjectFile("README.md");
}

void BaseOstrelViewController::makeFirstResponder() {
  if (view_ && view_->isInWindow()) view_->focusWebView();
}

void BaseOstrelViewController::magnify(double magnification, double x, double y) {
  ipcCallWithArray("DocumentCanvasZoomRelative",
                   {IPCValue::number(magnification), IPCValue(nlohmann::json{{"x", x}, {"y", y}})});
}

bool BaseOstrelViewController::keyDown(bool control, bool alt, bool super, unsigned keyval) {
  if (!(control && alt && super && keyval == GDK_KEY_i)) return false;
  WebViewExtras::showInspectorAttached(webViewController_->webView(), false, [] {});
  return true;
}

std::string BaseOstrelViewController::eventScript(const std::string& name, const IPCArguments& arguments) {
  std::string script = "window._ipc && window._ipc.emit(" + ScriptLiteral::string(name);
  for (const auto& argument : arguments) script += ", " + WebViewController::toJson(argument).value_or("null");
  return script + ")";
}

void BaseOstrelViewController::ipcCallWithArray(const std::string& name, const IPCArguments& arguments) {
  webViewController_->evaluateJavaScript(eventScript(name, arguments));
}

void BaseOstrelViewController::loadDocument(const nlohmann::json& json) {
  if (!ipcReady_) {
    RWLog("Loading document from JSON ignored.");
    return;
  }
  ipcCallWithArray("DocumentLoadJSON", {IPCValue(json)});
}

void BaseOstrelViewController::exportDocument() { ipcCallWithArray("DocumentExport", {}); }

void BaseOstrelViewController::setDocumentURL(const Url& url) {
  ipcCallWithArray("DocumentSetURL", {IPCValue::string(url.absoluteString())});
}

void BaseOstrelViewController::setImageBaseURL(const Url& url) {
  ipcCallWithArray("DocumentSetImageBaseURL", {IPCValue::string(url.absoluteString())});
}

void BaseOstrelViewController::setProjectURL(const Url& url, const std::string& serverKey) {
  IPCArguments arguments{IPCValue::string(url.absoluteString())};
  if (!serverKey.empty()) arguments.push_back(IPCValue::string(serverKey));
  ipcCallWithArray("DocumentSetProjectURL", arguments);
}

void BaseOstrelViewController::showStoreView(const std::optional<std::string>& url) {
  if (!ipcReady_) {
    showStoreViewUrl_ = url;
    return;
  }
  ipcCallWithArray("ShowStoreView", {url ? std::optional(IPCValue::string(*url)) : std::nullopt});
}

void BaseOstrelViewController::reportPreviewErrors(const nlohmann::json& errors) {
  ipcCallWithArray("PreviewErrors", {IPCValue(errors)});
}

void BaseOstrelViewController::previewLoaded() { ipcCallWithArray("PreviewLoaded", {}); }

void BaseOstrelViewController::updateDevices(const std::string& devices) {
  ipcCallWithArray("UpdatePreview", {IPCValue::string(devices)});
}

void BaseOstrelViewController::requestServerStoreData() { ipcCallWithArray("ServerStoreData", {}); }

void BaseOstrelViewController::updatePreviewSettings(const std::string& selectionId, const nlohmann::json& settings) {
  ipcCallWithArray("UpdatePreviewSettings", {IPCValue::string(selectionId), IPCValue(settings)});
}

void BaseOstrelViewController::updatePreviewLock(const std::optional<std::string>& selectionId) {
  ipcCallWithArray("UpdatePreviewLock", {selectionId ? std::optional(IPCValue::string(*selectionId)) : std::nullopt});
}

void BaseOstrelViewController::exportOstrelDocumentData(IPCProcessor::DataCompletion completion) {
  // A page whose start was answered and that isn't ready waits for its design.
  if ((!ipcReady_ && !startupAnswered_) || !ipcProcessor_) {
    completion(std::nullopt, OstrelError::ostrelNotReady());
    return;
  }
  if (!designHeld_) {
    RWLog("The editor page has not reported holding the document's design; it is not asked for it", 2);
    completion(std::nullopt, OstrelError::designNotHeld());
    return;
  }
  exportsAskedOfStart_ = pageStarts_;
  pendingExports_.push_back(std::move(completion));
  std::weak_ptr<BaseOstrelViewController> weak = weak_from_this();
  ipcProcessor_->documentExportDataComplete = [weak](std::optional<Data> data, std::optional<Error> error) {
    if (auto self = weak.lock()) self->finishExports(std::move(data), std::move(error));
  };
  ipcCallWithArray("DocumentSave", {});
}

void BaseOstrelViewController::finishExports(std::optional<Data> data, std::optional<Error> error) {
  auto waiting = std::move(pendingExports_);
  pendingExports_.clear();
  for (auto& completion : waiting)
    if (completion) completion(data, error);
}

void BaseOstrelViewController::forgetPageStart() {
  designHeld_ = false;
  // The page that was asked is gone: nobody will answer.
  if (pendingExports_.empty()) return;
  if (ipcProcessor_) ipcProcessor_->documentExportDataComplete = nullptr;
  finishExports(std::nullopt, OstrelError::ostrelNotReady());
}

void BaseOstrelViewController::webProcessDidTerminate() {
  ipcReady_ = false;
  designHeld_ = false;
  startupAnswered_ = startupHeld_ = false;
  heldScripts_.clear();
  finishExports(std::nullopt, OstrelError::ostrelNotReady());
}
