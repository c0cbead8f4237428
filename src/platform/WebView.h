#pragma once
// A web view over WebKitGTK: user scripts, named script-message channels, ordered asynchronous
// script evaluation with results, navigation policy, the inspector and editing commands.
// Main thread only; every hook runs on the main loop. The view's page runs in WebKit's own web
// process; its answers arrive through the main loop, so nested waits (RunLoop) see them.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/BridgeMessage.h"
#include "platform/Error.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;

class WebView {
 public:
  struct Configuration {
    bool developerExtrasEnabled = false;
    // Views of one non-empty group share one web process (WebKit's related views), and so
    // stall and end together; a view without a group starts a process of its own. A page
    // whose shared process ended comes back in a process of its own.
    std::string processGroup;
  };

  enum class InjectionTime { documentStart, documentEnd };
  enum class InjectedFrames { mainFrameOnly, allFrames };
  struct UserScript {
    std::string source;
    InjectionTime time = InjectionTime::documentStart;
    InjectedFrames frames = InjectedFrames::mainFrameOnly;
  };

  enum class NavigationType { linkActivated, formSubmitted, backForward, reload, formResubmitted, other };
  struct NavigationAction {
    std::string url;  // empty when the request has none
    NavigationType type = NavigationType::other;
    bool userGesture = false;
    bool redirect = false;
    // Set for navigations that target a frame by name; WebKitGTK names no source frame.
    std::optional<std::string> targetFrameName;
  };
  enum class PolicyDecision { allow, cancel };

  // Page messages longer than this are never copied out of the page's value.
  static constexpr std::size_t maximumScriptMessageLength = BridgeMessage::maximumSize;
  // What the page posted: a string, whose text is left empty when it is longer than
  // maximumScriptMessageLength; other values carry no text.
  struct ScriptMessage {
    bool isString = false;
    std::string text;
    std::size_t length = 0;  // of the string, in UTF-16 code units
    std::string head;        // of a string too long: its first characters, enough to name its method
    bool tooLong() const { return isString && length > maximumScriptMessageLength; }
  };

  // A server's request for credentials (HTTP authentication) for a load of the view's page.
  struct AuthenticationChallenge {
    std::string host;
    unsigned port = 0;
    std::string realm;
    // The credential last given for this host, port and realm was turned down.
    std::optional<std::string> refusedPassword;
  };
  struct Credential {
    std::string user;
    std::string password;
  };

  // `result` is none for undefined and for values without a JSON form.
  using ScriptCompletion = std::function<void(std::optional<nlohmann::json> result, std::optional<Error> error)>;
  // Answers a prompt() of the page: the text, or none for a cancelled prompt.
  using PromptAnswer = std::function<void(std::optional<std::string> text)>;

  static constexpr const char* ErrorDomain = "com.korvel.webview";
  enum ErrorCode : long { scriptFailed = 1, viewGone = 2, scriptKept = 3 };

  WebView();
  explicit WebView(Configuration configuration);
  virtual ~WebView();
  WebView(const WebView&) = delete;
  WebView& operator=(const WebView&) = delete;

  GtkWidget* widget() const;
  WebKitWebView* webKitView() const;

  void addUserScript(const UserScript& script);
  void removeAllUserScripts();

  // Registers `window.webkit.messageHandlers[name]`; false when the name is taken.
  bool addScriptMessageHandler(const std::string& name, std::function<void(const ScriptMessage&)> handler);
  void removeScriptMessageHandler(const std::string& name);

  // Starts evaluating at once, as scriptGate lets it; completions run in the order the page
  // answers, which is the order of the calls. A script the gate keeps never reaches the page:
  // its completion gets the error scriptKept.
  void evaluateJavaScript(const std::string& script, ScriptCompletion completion = nullptr);

  // Each load answers a navigation number; loadFinished reports the number that finished.
  // A load that has not finished after `timeout` seconds is stopped. `headers` go with the
  // page's own request only, not with what it loads.
  using Headers = std::map<std::string, std::string>;
  std::uint64_t loadURL(const std::string& url, double timeout = 0, const Headers& headers = {});
  std::uint64_t loadHTMLString(const std::string& html, const std::string& baseURL);
  void stopLoading();
  // False when there is nothing to go back to.
  bool goBack();
  // Goes back or forward to the neighbouring page at `uri`; false when neither neighbour is it.
  bool goBackTo(const std::string& uri);
  // Remembers the entries of the view's history as they are now, before a load that adds its own
  // after them; each call replaces what the last remembered.
  void rememberHistory();
  // The page the main frame committed last is a remembered entry (the history went back to it).
  bool showsRememberedEntry() const;
  // Goes to the nearest entry forward at `uri` that was not remembered; false when there is none.
  bool goToEntryAfterRemembered(const std::string& uri);
  void reload();
  // The address the main frame shows, empty for none. While a load is under way it is that
  // load's, though the page before it still runs.
  std::string uri() const;
  // The address of the document the main frame holds: the page whose scripts run and whose
  // messages arrive now. Set when a load commits, before mainFrameCommitted; empty before the
  // first commit and after the web process ended.
  const std::string& committedURI() const;
  std::uint64_t currentNavigation() const { return currentNavigation_; }

  void setCustomUserAgent(const std::optional<std::string>& userAgent);
  std::string userAgent() const;
  void setDeveloperExtrasEnabled(bool enabled);
  bool developerExtrasEnabled() const;

  // The inspector; each is harmless without developer extras.
  bool isInspectorShown() const;
  bool isInspectorAttached() const;
  void showInspector();
  void attachInspector();
  void detachInspector();
  void closeInspector();

  // Editing commands by WebKit's names ("Undo", "Copy", …).
  void executeEditingCommand(const std::string& command);
  void canExecuteEditingCommand(const std::string& command, std::function<void(bool)> completion);

  // Ends the web process, as a crash would (tests, and pages that hang).
  void terminateWebProcess();
  // Kept for readers: the GTK port has no rubber-band scrolling to switch.
  void setRubberBanding(bool enabled) { rubberBanding_ = enabled; }
  bool rubberBanding() const { return rubberBanding_; }
  // Expires when the view goes; callbacks that outlive a call check it.
  std::weak_ptr<bool> lifetime() const;
  void beep();
  bool isVisible() const;
  int width() const;
  int height() const;

  // Hooks. decidePolicy sees main-frame and sub-frame navigations; newWindowRequested sees
  // requests for a new window, which never get one.
  std::function<PolicyDecision(const NavigationAction&)> decidePolicy;
  std::function<void(const NavigationAction&)> newWindowRequested;
  std::function<void(std::uint64_t navigation)> loadFinished;
  // The main frame's own document has answered from `uri` (after redirects): a cancel turns it
  // away before it replaces the page on show, which goes on as it was. Loads from the cache of
  // pages gone back to, and blank pages, answer nothing: mainFrameCommitted sees them.
  std::function<PolicyDecision(const std::string& uri)> decideMainFrameResponse;
  // The main frame committed to showing `uri` (the address is certain only from here on).
  std::function<void(const std::string& uri)> mainFrameCommitted;
  std::function<void()> webProcessTerminated;
  std::function<void(const std::string& message, const std::string& defaultText, PromptAnswer answer)> runPrompt;
  // Whether the page on show may put a question or panel before the person (alert, confirm,
  // prompt, leave-page, print); without it every page may. An alert, confirm, prompt or print
  // comes only from the main frame's own scripts (see FrameRelay); another frame's is always declined. Where it may not, each is answered at
  // once as declined (leaving a page is let go), and runPrompt is not asked.
  std::function<bool()> mayAskThePerson;
  std::function<void()> focusIn;
  // Answers HTTP authentication (Basic, not a proxy's) with a credential kept for the browsing
  // session, or refuses it with none. With the hook set no challenge goes unanswered or reaches
  // the person; without it WebKit asks the person.
  std::function<std::optional<Credential>(const AuthenticationChallenge&)> authenticate;
  // What a script becomes as it is sent, given the committed address at that moment; none keeps
  // it from the page. Without it every script goes as it is.
  std::function<std::optional<std::string>(const std::string& script, const std::string& committedURI)> scriptGate;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::uint64_t nextNavigation_ = 0;
  std::uint64_t currentNavigation_ = 0;
  bool expectingStart_ = false;
  bool rubberBanding_ = true;

  friend struct WebViewSignals;
};
