#pragma once
// The host of one hosted page (the editor, the preview, login, welcome, messaging, tracking):
// its web view with the start-up scripts every hosted page gets, the page's messages on
// "_webkit" parsed into a method and arguments, scripts run in the page in request order, and
// where the page may go. Messages come from the main frame's own scripts alone (see FrameRelay)
// and count only while it holds a document of an origin the page trusts, and the host's
// scripts, start-up scripts included, reach only such a document. The page taking the main frame
// to an address it doesn't trust is turned away, the address handed to the browser. Main thread only, except
// evaluateJavaScript, which any thread may call.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "canvas/IPCValue.h"
#include "canvas/TrustedOrigins.h"
#include "canvas/WebActionsWebView.h"

class WebViewController : public std::enable_shared_from_this<WebViewController> {
 public:
  using BridgeHandler = std::function<void(const std::string& method, const nlohmann::json& arguments)>;
  using DocumentReadyHandler = std::function<void(const nlohmann::json& dictionary)>;
  using PromptPresenter = std::function<void(WebView& view, const std::string& prompt, const std::string& defaultText,
                                             WebView::PromptAnswer answer)>;

  static constexpr const char* handlerName = "_webkit";
  static constexpr double loadTimeout = 10.0;
  // Reloads after the web process ends, in a row, before the page is left as it is.
  static constexpr int maximumCrashReloads = 3;

  // Which web process a page runs in. Pages of different trust never share one, so a page
  // stuck in a loop or a crash reaches only pages of its own kind: a page that runs a
  // project's code (each editor, the preview) has its own; the sign-in and welcome pages share
  // one; the third-party pages (tracking, analytics, messaging) share another.
  enum class PageProcess { own, signIn, thirdParty };
  static const char* processGroup(PageProcess process);

  static std::shared_ptr<WebViewController> create(bool inspectorEnabled = false, PageProcess process = PageProcess::own);
  ~WebViewController();
  WebViewController(const WebViewController&) = delete;
  WebViewController& operator=(const WebViewController&) = delete;

  WebActions::WebView& webView() { return *webView_; }
  bool isDocumentReady() const { return isDocumentReady_; }
  bool openLinksInSystemBrowser = true;
  // Whether the page is loaded again after its web process ended; owners that load their page
  // themselves switch it off.
  bool reloadsWhenProcessEnds = true;
  // Whether a page of a load before the last one, which the page's history went back to, is
  // turned away like a page elsewhere: it is trusted with nothing and the last load's page comes
  // back. For owners whose every load replaces what the page held.
  bool keepsToLastLoad = false;

  // What the view trusts: the page it loaded last (each load replaces it) and what its owner
  // grants beside it.
  TrustedOrigins& trustedOrigins() { return trustedOrigins_; }
  // The page loaded last is trusted no more (its server ended): it gets nothing and counts for
  // nothing until the next load.
  void forgetLoadedPage();

  void setUserAgent(const std::optional<std::string>& userAgent);
  void setBridgeHandler(BridgeHandler handler) { bridgeHandler_ = std::move(handler); }
  void setDocumentReadyHandler(DocumentReadyHandler handler) { documentReadyHandler_ = std::move(handler); }
  // Handed the method and whole text of a bridge message before it is parsed; answers whether it
  // took the message. For answers too large to parse on the main loop.
  void setRawMessageHandler(std::function<bool(const std::string& method, const std::string& text)> handler) {
    rawMessageHandler_ = std::move(handler);
  }
  // Told the method of a bridge message refused for its length, so that a request waiting for
  // it is answered.
  void setRefusedMessageHandler(std::function<void(const std::string& method)> handler) {
    refusedMessageHandler_ = std::move(handler);
  }
  // Called after the page's web process ended and the ready state was reset.
  void setWebProcessTerminatedHandler(std::function<void()> handler) { webProcessTerminated_ = std::move(handler); }
  // Scripts of the owner, kept before the bridge and appearance scripts after a reload of them.
  void addUserScript(const WebView::UserScript& script);

  // Each load replaces a waiting completion, which is then never called. The completion runs
  // when that load finishes; a failed load calls nothing. `headers` go with the page's request.
  void loadURL(const std::string& url, std::function<void()> completion = nullptr, const WebView::Headers& headers = {});
  void loadFile(const std::filesystem::path& path, std::function<void()> completion = nullptr);
  void loadHTMLString(const std::string& html, const std::string& baseURL, std::function<void()> completion = nullptr);

  // Queued on the main loop, never run before the call returns; keeps the controller alive
  // until it runs. Sent only if the page on show then is trusted, and run only if it is still
  // on show when the script arrives; a script kept back completes with an error.
  // Completions get the page's result unchanged, on the main thread.
  void evaluateJavaScript(const std::string& script, WebView::ScriptCompletion completion = nullptr);

  // Detaches the controller: no message, policy decision or prompt reaches it afterwards.
  void cleanup();

  // The JSON text of a value for a script: none gives "null"; bytes holding JSON give that
  // JSON, other UTF-8 bytes a string, bytes that are not UTF-8 none; JSON values give their
  // compact text.
  static std::optional<std::string> toJson(const std::optional<IPCValue>& value);
  // Parses JSON text, bare strings, numbers and literals included; none for none or bad text.
  static std::optional<nlohmann::json> fromJson(const std::optional<std::string>& text);

  // How prompt() of every hosted page is answered; tests put their own.
  static PromptPresenter& promptPresenter();

  // Handles one message body as the page would post it (the bridge's entry).
  void didReceiveScriptMessage(const WebView::ScriptMessage& message);

 private:
  WebViewController(bool inspectorEnabled, PageProcess process);
  void setUp();
  void reloadUserScripts();
  // Builds the scripts again when the trusted origins changed since they were built.
  void refreshUserScripts();
  WebView::UserScript guarded(WebView::UserScript script) const;
  void reflectAppearance();
  void didFinishLoad(std::uint64_t navigation);
  void webProcessDidTerminate();
  void bringBackPage();
  // The page on show is trusted: of an origin the view trusts, and not of an earlier load turned away.
  bool trustsPage(const std::string& committedURI) const;
  bool showsEarlierLoad(const std::string& committedURI) const;
  void rememberHistory();
  void trustLoadedAddress(const std::string& url, const std::optional<std::string>& exactly = std::nullopt);
  void storeCompletion(std::uint64_t navigation, std::function<void()> completion);

  enum class ScriptRole { dragDropBlocker, bridge, appearance, owner };
  struct InstalledScript {
    WebView::UserScript script;
    ScriptRole role;
  };

  std::unique_ptr<WebActions::WebView> webView_;
  std::vector<InstalledScript> scripts_;
  TrustedOrigins trustedOrigins_;
  std::uint64_t scriptsTrust_ = 0;  // the generation of the origins the installed scripts check
  bool isDocumentReady_ = false;
  // The main frame holds a page of a load before the last (see keepsToLastLoad) until the next commit.
  bool earlierLoadOnShow_ = false;
  std::uint64_t loads_ = 0;  // loads started, the view's own included
  bool cleanedUp_ = false;
  int crashReloads_ = 0;
  // The text of the last load made from text: a reload after its process ended would give an
  // empty page, so it is loaded again instead.
  struct TextLoad {
    std::string html;
    std::string baseURL;
  };
  std::optional<TextLoad> lastTextLoad_;
  struct AddressLoad {
    std::string url;
    WebView::Headers headers;
  };
  std::optional<AddressLoad> lastAddress_;
  // The last document the main frame committed that the view trusted.
  std::string lastTrustedPage_;
  struct Completion {
    std::function<void()> handler;
    std::uint64_t navigation;
  };
  std::optional<Completion> completion_;
  BridgeHandler bridgeHandler_;
  DocumentReadyHandler documentReadyHandler_;
  std::function<void(const std::string& method)> refusedMessageHandler_;
  std::function<bool(const std::string& method, const std::string& text)> rawMessageHandler_;
  std::function<void()> webProcessTerminated_;
};
