#include "WebView.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/FrameRelay.h"
#include "platform/GObjectPtr.h"
#include "platform/JsonCoder.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"
#include "platform/WebContexts.h"

namespace {

std::string takeString(char* s) {
  std::string out = s ? s : "";
  g_free(s);
  return out;
}

// What a finished evaluation hands back; the view may be gone by then.
struct PendingEvaluation {
  WebView::ScriptCompletion completion;
  std::weak_ptr<bool> alive;
  bool keptFromPage = false;  // the gate held the script back; an inert one went in its turn
};

void finishEvaluation(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<PendingEvaluation> pending(static_cast<PendingEvaluation*>(data));
  GError* error = nullptr;
  JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
  GObjectPtr<JSCValue> owned(value);
  if (pending->alive.expired() || !pending->completion) {
    g_clear_error(&error);
    return;
  }
  if (pending->keptFromPage) {
    g_clear_error(&error);
    pending->completion(std::nullopt, Error(WebView::ErrorDomain, WebView::scriptKept,
                                            "The page on show is not one the host sends scripts to."));
    return;
  }
  if (!value) {
    Error e(WebView::ErrorDomain, WebView::scriptFailed, error ? error->message : "script failed");
    g_clear_error(&error);
    pending->completion(std::nullopt, e);
    return;
  }
  std::optional<nlohmann::json> out;
  if (!jsc_value_is_undefined(value)) {
    char* json = jsc_value_to_json(value, 0);
    if (json) {
      std::string_view text(json);
      if (text.size() <= WebView::maximumScriptMessageLength)
        if (auto parsed = JsonCoder::parse(text)) out = std::move(*parsed);
      g_free(json);
    }
  }
  pending->completion(std::move(out), std::nullopt);
}

void loadAddress(WebKitWebView* view, const std::string& url, const WebView::Headers& headers) {
  if (headers.empty()) return webkit_web_view_load_uri(view, url.c_str());
  GObjectPtr<WebKitURIRequest> request(webkit_uri_request_new(url.c_str()));
  if (SoupMessageHeaders* sent = webkit_uri_request_get_http_headers(request.get()))
    for (const auto& [name, value] : headers) soup_message_headers_replace(sent, name.c_str(), value.c_str());
  webkit_web_view_load_request(view, request.get());
}

WebView::NavigationAction describe(WebKitNavigationAction* action) {
  WebView::NavigationAction out;
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  if (request && webkit_uri_request_get_uri(request)) out.url = webkit_uri_request_get_uri(request);
  switch (webkit_navigation_action_get_navigation_type(action)) {
    case WEBKIT_NAVIGATION_TYPE_LINK_CLICKED: out.type = WebView::NavigationType::linkActivated; break;
    case WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED: out.type = WebView::NavigationType::formSubmitted; break;
    case WEBKIT_NAVIGATION_TYPE_BACK_FORWARD: out.type = WebView::NavigationType::backForward; break;
    case WEBKIT_NAVIGATION_TYPE_RELOAD: out.type = WebView::NavigationType::reload; break;
    case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED: out.type = WebView::NavigationType::formResubmitted; break;
    default: out.type = WebView::NavigationType::other; break;
  }
  out.userGesture = webkit_navigation_action_is_user_gesture(action);
  out.redirect = webkit_navigation_action_is_redirect(action);
  if (const char* frame = webkit_navigation_action_get_frame_name(action)) out.targetFrameName = frame;
  return out;
}

// One prompt of the page. Answered within the signal, WebKit finishes it itself; answered
// later, it is held and closed here, and closed unanswered if the answer is dropped.
struct PromptDialog {
  explicit PromptDialog(WebKitScriptDialog* d) : dialog(d) {}
  ~PromptDialog() {
    if (held && !answered) webkit_script_dialog_close(dialog);
    if (held) webkit_script_dialog_unref(dialog);
  }
  void answer(const std::optional<std::string>& text) {
    if (answered) return;
    answered = true;
    if (text) webkit_script_dialog_prompt_set_text(dialog, text->c_str());
    if (held) webkit_script_dialog_close(dialog);
  }
  void hold() {
    if (answered || held) return;
    webkit_script_dialog_ref(dialog);
    held = true;
  }
  WebKitScriptDialog* dialog;
  bool held = false;
  bool answered = false;
};

// The live views of each process group; a new member is made related to one of them, which
// is what makes WebKit put it in the same process. Two related views that start the group's
// process at once can lose a load for good, one that never starts or never finishes: until a
// load of the group has committed in the current process, one view's load goes at a time.
struct ProcessGroup {
  std::vector<WebKitWebView*> views;
  bool processUp = false;
  WebView* starter = nullptr;  // whose load is starting the process
  std::deque<std::pair<WebView*, std::weak_ptr<bool>>> waiting;
  std::uint64_t guardTurn = 0;  // of all groups: a group gone and made again is not fooled
};

std::uint64_t nextGuardTurn() {
  static std::uint64_t turn = 0;
  return ++turn;
}

std::map<std::string, ProcessGroup>& processGroups() {
  static std::map<std::string, ProcessGroup> groups;
  return groups;
}

// A start that neither commits nor fails within this is given again, and then lets the
// group's next load go; twice this stays within the hosts' load timeout.
constexpr double groupStartTimeout = 4.0;

}  // namespace

struct WebView::Impl {
  GtkWidget* widget = nullptr;  // a reference of ours
  WebKitWebView* view = nullptr;
  GObjectPtr<WebKitUserContentManager> contentManager;
  GObjectPtr<GCancellable> cancellable{g_cancellable_new()};
  std::vector<gulong> viewHandlers;
  // The password last given for each "host:port realm" asked, to tell the hook of a refusal.
  std::map<std::string, std::string> answeredPasswords;
  std::map<std::string, std::pair<gulong, std::function<void(const ScriptMessage&)>>> messageHandlers;
  // The main frame's road to the handlers (see FrameRelay), made again as they change.
  WebKitUserScript* pageRelay = nullptr;
  WebKitUserScript* hostRelay = nullptr;
  // The owner's scripts, in order, which follow the relay's.
  std::vector<WebKitUserScript*> userScripts;
  gulong dialogAnnouncements = 0;
  DialogTickets dialogTickets;
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);
  std::uint64_t finishedNavigation = 0;
  // A load that failed or was stopped for taking too long still "finishes"; it never completes.
  std::uint64_t failedNavigation = 0;
  // A view that has never started a load drops an address given before the one it was given
  // last has started, and then loads neither: the later address waits for that start.
  bool everStarted = false;
  bool addressPending = false;  // the last request is an address that has not started yet
  struct DeferredLoad {
    std::string address;
    WebView::Headers headers;
  };
  std::optional<DeferredLoad> deferred;
  bool deferredIssued = false;  // it may commit without a start of its own
  std::string processGroup;
  // The address of the document the main frame shows, from its commit on.
  std::string committedURI;
  // A load waiting for the group's process, and the one starting it, given again if it stalls.
  std::function<void()> waitingLoad;
  std::function<void()> startingLoad;
  bool startGivenAgain = false;
  // The history's entries as they were when remembered (see rememberHistory).
  std::vector<GObjectPtr<WebKitBackForwardListItem>> rememberedEntries;
};

struct WebViewSignals {
  static void dialogAnnounced(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data);
  static void installRelay(WebView* self);
  static void scriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data);
  static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                               gpointer data);
  static void loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data);
  static gboolean loadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data);
  static void processTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data);
  static void loadDeferredAddress(WebView* self);
  // Group starts: see ProcessGroup.
  static void startLoad(WebView* self, std::function<void()> load);
  static void passStart(const std::string& groupName, bool processUp);
  static void watchStart(const std::string& groupName);
  static gboolean scriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data);
  static gboolean print(WebKitWebView*, WebKitPrintOperation*, gpointer data);
  static gboolean focusIn(GtkWidget*, GdkEvent*, gpointer data);
  static gboolean authenticate(WebKitWebView*, WebKitAuthenticationRequest* request, gpointer data);
};

// The length of a string value in UTF-16 code units, asked of the value's own context.
static std::size_t stringLength(JSCValue* value) {
  GObjectPtr<JSCValue> measure(jsc_context_evaluate(jsc_value_get_context(value), "(s) => s.length", -1));
  if (!measure || !jsc_value_is_function(measure.get())) return SIZE_MAX;
  GObjectPtr<JSCValue> length(jsc_value_function_call(measure.get(), JSC_TYPE_VALUE, value, G_TYPE_NONE));
  if (!length || !jsc_value_is_number(length.get())) return SIZE_MAX;
  double n = jsc_value_to_double(length.get());
  return n >= 0 && n < 9007199254740992.0 ? static_cast<std::size_t>(n) : SIZE_MAX;
}

// The first characters of a string value, without copying the rest.
static std::string stringHead(JSCValue* value) {
  GObjectPtr<JSCValue> slice(jsc_context_evaluate(jsc_value_get_context(value), "(s) => s.slice(0, 128)", -1));
  if (!slice || !jsc_value_is_function(slice.get())) return {};
  GObjectPtr<JSCValue> head(jsc_value_function_call(slice.get(), JSC_TYPE_VALUE, value, G_TYPE_NONE));
  if (!head || !jsc_value_is_string(head.get())) return {};
  return takeString(jsc_value_to_string(head.get()));
}

// One handler entry per name; the signal carries the name as its detail.
struct MessageChannel {
  WebView* owner;
  std::string name;
};

void WebViewSignals::dialogAnnounced(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
  auto* self = static_cast<WebView*>(data);
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  // As long as the message it announces, which a dialog's message is bounded by no more.
  if (!jsc_value_is_string(value) || stringLength(value) > WebView::maximumScriptMessageLength) return;
  self->impl_->dialogTickets.announced(takeString(jsc_value_to_string(value)));
}

// The relay's scripts for the handlers registered now, ahead of the owner's scripts, which the
// page's own world may find the handlers from as they start.
void WebViewSignals::installRelay(WebView* self) {
  auto* manager = self->impl_->contentManager.get();
  webkit_user_content_manager_remove_all_scripts(manager);
  for (auto** script : {&self->impl_->pageRelay, &self->impl_->hostRelay})
    if (*script) webkit_user_script_unref(std::exchange(*script, nullptr));
  std::vector<std::string> names;
  for (const auto& [name, entry] : self->impl_->messageHandlers) names.push_back(name);
  self->impl_->pageRelay =
      webkit_user_script_new(FrameRelay::pageScript(names).c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  self->impl_->hostRelay = webkit_user_script_new_for_world(
      FrameRelay::relayScript(names).c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, FrameRelay::worldName, nullptr, nullptr);
  webkit_user_content_manager_add_script(manager, self->impl_->pageRelay);
  webkit_user_content_manager_add_script(manager, self->impl_->hostRelay);
  for (auto* script : self->impl_->userScripts) webkit_user_content_manager_add_script(manager, script);
}

void WebViewSignals::scriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
  auto* channel = static_cast<MessageChannel*>(data);
  auto it = channel->owner->impl_->messageHandlers.find(channel->name);
  if (it == channel->owner->impl_->messageHandlers.end() || !it->second.second) return;
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  WebView::ScriptMessage message;
  message.isString = jsc_value_is_string(value);
  // Only strings are messages; their length is read before any copy is made.
  if (message.isString) {
    message.length = stringLength(value);
    if (!message.tooLong())
      message.text = takeString(jsc_value_to_string(value));
    else
      message.head = stringHead(value);
  }
  auto handler = it->second.second;  // the handler may replace itself
  handler(message);
}

gboolean WebViewSignals::decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                      gpointer data) {
  auto* self = static_cast<WebView*>(data);
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
    auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    if (!self->decideMainFrameResponse || !webkit_response_policy_decision_is_main_frame_main_resource(response))
      return FALSE;
    WebKitURIResponse* answer = webkit_response_policy_decision_get_response(response);
    const char* uri = answer ? webkit_uri_response_get_uri(answer) : nullptr;
    if (self->decideMainFrameResponse(uri ? uri : "") == WebView::PolicyDecision::allow) return FALSE;
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }
  auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
  auto action = describe(webkit_navigation_policy_decision_get_navigation_action(navigation));
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    // No second web view is ever made.
    webkit_policy_decision_ignore(decision);
    if (self->newWindowRequested) self->newWindowRequested(action);
    return TRUE;
  }
  if (!self->decidePolicy) return FALSE;
  if (self->decidePolicy(action) == WebView::PolicyDecision::allow) {
    webkit_policy_decision_use(decision);
  } else {
    webkit_policy_decision_ignore(decision);
    // A refused load never starts: a deferred address must not wait for it.
    if (self->impl_->deferred && !self->impl_->everStarted) {
      std::weak_ptr<bool> alive = self->impl_->alive;
      MainQueue::async([self, alive] {
        if (!alive.expired()) loadDeferredAddress(self);
      });
    }
  }
  return TRUE;
}

namespace {
ProcessGroup* groupNamed(const std::string& name) {
  if (name.empty()) return nullptr;
  auto& groups = processGroups();
  auto group = groups.find(name);
  return group == groups.end() ? nullptr : &group->second;
}
}  // namespace

void WebViewSignals::startLoad(WebView* self, std::function<void()> load) {
  auto* group = groupNamed(self->impl_->processGroup);
  if (!group || group->processUp) {
    self->impl_->waitingLoad = nullptr;
    load();
    return;
  }
  if (group->starter && group->starter != self) {
    bool queued = static_cast<bool>(self->impl_->waitingLoad);
    self->impl_->waitingLoad = std::move(load);
    if (!queued) group->waiting.emplace_back(self, self->impl_->alive);
    return;
  }
  self->impl_->waitingLoad = nullptr;
  self->impl_->startingLoad = load;
  self->impl_->startGivenAgain = false;
  bool watched = group->starter == self;
  group->starter = self;
  load();
  if (!watched) watchStart(self->impl_->processGroup);
}

// Ends the current start: with the process up every waiting load goes; without, the next
// waiting one starts the process.
void WebViewSignals::passStart(const std::string& groupName, bool processUp) {
  auto* group = groupNamed(groupName);
  if (!group) return;
  if (group->starter) group->starter->impl_->startingLoad = nullptr;
  group->starter = nullptr;
  group->guardTurn = nextGuardTurn();
  group->processUp = processUp;
  while (!group->waiting.empty() && (processUp || !group->starter)) {
    auto [view, alive] = group->waiting.front();
    group->waiting.pop_front();
    if (alive.expired() || !view->impl_->waitingLoad) continue;
    startLoad(view, std::exchange(view->impl_->waitingLoad, nullptr));
    group = groupNamed(groupName);
    if (!group) return;
  }
}

void WebViewSignals::watchStart(const std::string& groupName) {
  auto* group = groupNamed(groupName);
  if (!group) return;
  MainQueue::asyncAfter(groupStartTimeout, [groupName, turn = group->guardTurn = nextGuardTurn()] {
    auto* group = groupNamed(groupName);
    if (!group || group->guardTurn != turn || !group->starter) return;
    auto* starter = group->starter;
    // A start lost between the two views is given once more before the others go.
    if (!std::exchange(starter->impl_->startGivenAgain, true) && starter->impl_->startingLoad) {
      RWLog("A web page's load did not start its process in time; it is given again");
      auto load = starter->impl_->startingLoad;
      load();
      watchStart(groupName);
      return;
    }
    passStart(groupName, false);
  });
}

void WebViewSignals::loadDeferredAddress(WebView* self) {
  auto load = std::exchange(self->impl_->deferred, std::nullopt);
  if (!load) return;
  self->expectingStart_ = true;
  self->impl_->addressPending = true;
  self->impl_->deferredIssued = true;
  loadAddress(self->impl_->view, load->address, load->headers);
}

void WebViewSignals::loadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  auto* self = static_cast<WebView*>(data);
  if (event == WEBKIT_LOAD_STARTED) {
    self->impl_->everStarted = true;
    self->impl_->deferredIssued = false;
    if (self->expectingStart_) {
      self->expectingStart_ = false;
      self->impl_->addressPending = false;
      loadDeferredAddress(self);
    } else {
      self->currentNavigation_ = ++self->nextNavigation_;  // started by the page itself
    }
  } else if (event == WEBKIT_LOAD_COMMITTED) {
    if (auto* group = groupNamed(self->impl_->processGroup); group && !group->processUp)
      passStart(self->impl_->processGroup, true);
    // A deferred address that took over the load just started commits without a start.
    if (std::exchange(self->impl_->deferredIssued, false)) {
      self->expectingStart_ = false;
      self->impl_->addressPending = false;
    }
    // Before anyone hears of it: from now on the page that runs scripts and posts messages is this one.
    self->impl_->committedURI = self->uri();
    self->impl_->dialogTickets.forget();
    if (self->mainFrameCommitted) self->mainFrameCommitted(self->impl_->committedURI);
  } else if (event == WEBKIT_LOAD_FINISHED) {
    if (self->impl_->deferredIssued) return;  // the end of the load the deferred address took over
    self->impl_->finishedNavigation = self->currentNavigation_;
    if (self->impl_->failedNavigation == self->currentNavigation_) return;
    if (self->loadFinished) self->loadFinished(self->currentNavigation_);
  }
}

gboolean WebViewSignals::loadFailed(WebKitWebView*, WebKitLoadEvent, gchar*, GError* error, gpointer data) {
  auto* self = static_cast<WebView*>(data);
  if (self->impl_->deferredIssued) return FALSE;  // the load the deferred address took over
  if (auto* group = groupNamed(self->impl_->processGroup); group && group->starter == self &&
      !g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED))
    passStart(self->impl_->processGroup, false);
  // A load replaced by the next one is cancelled; that is not the next one failing.
  if (!g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED))
    self->impl_->failedNavigation = self->currentNavigation_;
  // An address that failed before it started: the deferred one goes now.
  if (self->expectingStart_ && self->impl_->deferred) loadDeferredAddress(self);
  return FALSE;
}

void WebViewSignals::processTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data) {
  auto* self = static_cast<WebView*>(data);
  self->impl_->committedURI.clear();  // the document went with its process
  // The group's next load starts a process again.
  if (groupNamed(self->impl_->processGroup)) passStart(self->impl_->processGroup, false);
  if (self->webProcessTerminated) self->webProcessTerminated();
}

gboolean WebViewSignals::scriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
  auto* self = static_cast<WebView*>(data);
  auto type = webkit_script_dialog_get_dialog_type(dialog);
  const char* message = webkit_script_dialog_get_message(dialog);
  // Another frame's alert, confirm or prompt was announced by none (a page leaving asks in the
  // engine's words, not its own).
  const char* kind = type == WEBKIT_SCRIPT_DIALOG_ALERT     ? "alert"
                     : type == WEBKIT_SCRIPT_DIALOG_CONFIRM ? "confirm"
                     : type == WEBKIT_SCRIPT_DIALOG_PROMPT  ? "prompt"
                                                            : nullptr;
  bool announced = !kind || self->impl_->dialogTickets.take(kind, message ? message : "");
  if (!announced || (self->mayAskThePerson && !self->mayAskThePerson())) {
    // Answered at once, as a person who declines: the page's script waits for nothing.
    if (type == WEBKIT_SCRIPT_DIALOG_CONFIRM) webkit_script_dialog_confirm_set_confirmed(dialog, FALSE);
    if (type == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM) webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
    return TRUE;
  }
  if (type != WEBKIT_SCRIPT_DIALOG_PROMPT || !self->runPrompt) return FALSE;
  auto prompt = std::make_shared<PromptDialog>(dialog);
  const char* defaultText = webkit_script_dialog_prompt_get_default_text(dialog);
  self->runPrompt(message ? message : "", defaultText ? defaultText : "",
                  [prompt](std::optional<std::string> text) { prompt->answer(text); });
  prompt->hold();  // not answered yet: the page waits until it is
  return TRUE;
}

gboolean WebViewSignals::print(WebKitWebView*, WebKitPrintOperation*, gpointer data) {
  auto* self = static_cast<WebView*>(data);
  // Handled, with no print panel, for another frame's and where the page may not ask.
  if (!self->impl_->dialogTickets.take("print", "")) return TRUE;
  return self->mayAskThePerson && !self->mayAskThePerson();
}

gboolean WebViewSignals::focusIn(GtkWidget*, GdkEvent*, gpointer data) {
  auto* self = static_cast<WebView*>(data);
  if (self->focusIn) self->focusIn();
  return FALSE;
}

gboolean WebViewSignals::authenticate(WebKitWebView*, WebKitAuthenticationRequest* request, gpointer data) {
  auto* self = static_cast<WebView*>(data);
  if (!self->authenticate) return FALSE;
  std::optional<WebView::Credential> answer;
  if (!webkit_authentication_request_is_for_proxy(request) &&
      webkit_authentication_request_get_scheme(request) == WEBKIT_AUTHENTICATION_SCHEME_HTTP_BASIC) {
    WebView::AuthenticationChallenge challenge;
    const char* host = webkit_authentication_request_get_host(request);
    const char* realm = webkit_authentication_request_get_realm(request);
    challenge.host = host ? host : "";
    challenge.port = webkit_authentication_request_get_port(request);
    challenge.realm = realm ? realm : "";
    // WebKit names no credential it turned down: the view remembers what it answered.
    const std::string space = challenge.host + ":" + std::to_string(challenge.port) + " " + challenge.realm;
    auto& answered = self->impl_->answeredPasswords;
    if (auto last = answered.find(space); last != answered.end() && webkit_authentication_request_is_retry(request))
      challenge.refusedPassword = last->second;
    answer = self->authenticate(challenge);
    if (answer) answered[space] = answer->password;
    else answered.erase(space);
  }
  if (!answer) {
    webkit_authentication_request_cancel(request);
    return TRUE;
  }
  WebKitCredential* credential = webkit_credential_new(answer->user.c_str(), answer->password.c_str(),
                                                        WEBKIT_CREDENTIAL_PERSISTENCE_FOR_SESSION);
  webkit_authentication_request_authenticate(request, credential);
  webkit_credential_free(credential);
  return TRUE;
}

WebView::WebView() : WebView(Configuration()) {}

WebView::WebView(Configuration configuration) : impl_(std::make_unique<Impl>()) {
  impl_->contentManager = GObjectPtr<WebKitUserContentManager>(webkit_user_content_manager_new());
  impl_->processGroup = configuration.processGroup;
  std::vector<WebKitWebView*>* shared = nullptr;
  if (!impl_->processGroup.empty()) shared = &processGroups()[impl_->processGroup].views;
  if (shared && !shared->empty()) {
    // Settings of its own: the related view's would otherwise be shared with it.
    GObjectPtr<WebKitSettings> settings(webkit_settings_new());
    impl_->widget = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", impl_->contentManager.get(),
                                            "settings", settings.get(), "related-view", shared->back(), nullptr));
  } else {
    impl_->widget = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", impl_->contentManager.get(),
                                            "web-context", WebContexts::pages(), nullptr));
  }
  g_object_ref_sink(impl_->widget);
  impl_->view = WEBKIT_WEB_VIEW(impl_->widget);
  if (shared) shared->push_back(impl_->view);
  setDeveloperExtrasEnabled(configuration.developerExtrasEnabled);

  auto connect = [&](const char* signal, GCallback callback) {
    impl_->viewHandlers.push_back(g_signal_connect(impl_->widget, signal, callback, this));
  };
  connect("decide-policy", G_CALLBACK(WebViewSignals::decidePolicy));
  connect("load-changed", G_CALLBACK(WebViewSignals::loadChanged));
  connect("load-failed", G_CALLBACK(WebViewSignals::loadFailed));
  connect("web-process-terminated", G_CALLBACK(WebViewSignals::processTerminated));
  connect("script-dialog", G_CALLBACK(WebViewSignals::scriptDialog));
  connect("print", G_CALLBACK(WebViewSignals::print));
  connect("focus-in-event", G_CALLBACK(WebViewSignals::focusIn));
  connect("authenticate", G_CALLBACK(WebViewSignals::authenticate));

  impl_->dialogAnnouncements =
      g_signal_connect(impl_->contentManager.get(), (std::string("script-message-received::") + FrameRelay::dialogHandler).c_str(),
                       G_CALLBACK(WebViewSignals::dialogAnnounced), this);
  webkit_user_content_manager_register_script_message_handler_in_world(impl_->contentManager.get(),
                                                                       FrameRelay::dialogHandler, FrameRelay::worldName);
  WebViewSignals::installRelay(this);
}

WebView::~WebView() {
  if (!impl_->processGroup.empty()) {
    auto& groups = processGroups();
    auto group = groups.find(impl_->processGroup);
    if (group != groups.end() && std::erase(group->second.views, impl_->view)) {
      if (group->second.views.empty()) {
        groups.erase(group);
      } else if (group->second.starter == this) {
        WebViewSignals::passStart(impl_->processGroup, false);
      }
    }
  }
  *impl_->alive = false;
  impl_->alive.reset();
  g_cancellable_cancel(impl_->cancellable.get());
  for (auto id : impl_->viewHandlers) g_signal_handler_disconnect(impl_->widget, id);
  for (auto& [name, entry] : impl_->messageHandlers) {
    g_signal_handler_disconnect(impl_->contentManager.get(), entry.first);
    webkit_user_content_manager_unregister_script_message_handler_in_world(impl_->contentManager.get(), name.c_str(),
                                                                           FrameRelay::worldName);
  }
  g_signal_handler_disconnect(impl_->contentManager.get(), impl_->dialogAnnouncements);
  webkit_user_content_manager_unregister_script_message_handler_in_world(impl_->contentManager.get(),
                                                                         FrameRelay::dialogHandler, FrameRelay::worldName);
  for (auto* script : {impl_->pageRelay, impl_->hostRelay})
    if (script) webkit_user_script_unref(script);
  for (auto* script : impl_->userScripts) webkit_user_script_unref(script);
  if (auto* inspector = webkit_web_view_get_inspector(impl_->view)) webkit_web_inspector_close(inspector);
  gtk_widget_destroy(impl_->widget);
  g_object_unref(impl_->widget);
}

GtkWidget* WebView::widget() const { return impl_->widget; }
WebKitWebView* WebView::webKitView() const { return impl_->view; }

void WebView::addUserScript(const UserScript& script) {
  auto frames = script.frames == InjectedFrames::allFrames ? WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES
                                                            : WEBKIT_USER_CONTENT_INJECT_TOP_FRAME;
  auto time = script.time == InjectionTime::documentStart ? WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START
                                                          : WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END;
  WebKitUserScript* s = webkit_user_script_new(script.source.c_str(), frames, time, nullptr, nullptr);
  webkit_user_content_manager_add_script(impl_->contentManager.get(), s);
  impl_->userScripts.push_back(s);
}

void WebView::removeAllUserScripts() {
  for (auto* script : std::exchange(impl_->userScripts, {})) webkit_user_script_unref(script);
  WebViewSignals::installRelay(this);  // the road to the handlers stays
}

bool WebView::addScriptMessageHandler(const std::string& name, std::function<void(const ScriptMessage&)> handler) {
  if (impl_->messageHandlers.count(name)) return false;
  std::string signal = "script-message-received::" + name;
  auto* channel = new MessageChannel{this, name};
  gulong id = g_signal_connect_data(
      impl_->contentManager.get(), signal.c_str(), G_CALLBACK(WebViewSignals::scriptMessage), channel,
      [](gpointer data, GClosure*) { delete static_cast<MessageChannel*>(data); }, GConnectFlags(0));
  if (name == FrameRelay::dialogHandler ||
      !webkit_user_content_manager_register_script_message_handler_in_world(impl_->contentManager.get(), name.c_str(),
                                                                            FrameRelay::worldName)) {
    g_signal_handler_disconnect(impl_->contentManager.get(), id);
    return false;
  }
  impl_->messageHandlers[name] = {id, std::move(handler)};
  WebViewSignals::installRelay(this);
  return true;
}

void WebView::removeScriptMessageHandler(const std::string& name) {
  auto it = impl_->messageHandlers.find(name);
  if (it == impl_->messageHandlers.end()) return;
  webkit_user_content_manager_unregister_script_message_handler_in_world(impl_->contentManager.get(), name.c_str(),
                                                                         FrameRelay::worldName);
  g_signal_handler_disconnect(impl_->contentManager.get(), it->second.first);
  impl_->messageHandlers.erase(it);
  WebViewSignals::installRelay(this);
}

void WebView::evaluateJavaScript(const std::string& script, ScriptCompletion completion) {
  auto* pending = new PendingEvaluation{std::move(completion), impl_->alive};
  std::optional<std::string> sent = scriptGate ? scriptGate(script, impl_->committedURI) : std::optional(script);
  if (!sent) {
    // Something empty goes in its place, so that completions keep the order of the calls.
    pending->keptFromPage = true;
    sent = "void 0";
  }
  webkit_web_view_evaluate_javascript(impl_->view, sent->data(), static_cast<gssize>(sent->size()), nullptr, nullptr,
                                      impl_->cancellable.get(), finishEvaluation, pending);
}

std::uint64_t WebView::loadURL(const std::string& url, double timeout, const Headers& headers) {
  std::uint64_t navigation = ++nextNavigation_;
  currentNavigation_ = navigation;
  if (expectingStart_ && impl_->addressPending && !impl_->everStarted && !impl_->waitingLoad) {
    impl_->deferred = Impl::DeferredLoad{url, headers};
  } else {
    impl_->deferred.reset();
    expectingStart_ = true;
    impl_->addressPending = true;
    WebViewSignals::startLoad(this, [this, url, headers] {
      expectingStart_ = true;
      loadAddress(impl_->view, url, headers);
    });
  }
  if (timeout > 0) {
    std::weak_ptr<bool> alive = impl_->alive;
    MainQueue::asyncAfter(timeout, [this, alive, navigation] {
      if (alive.expired()) return;
      if (currentNavigation_ != navigation || impl_->finishedNavigation == navigation) return;
      impl_->failedNavigation = navigation;
      stopLoading();
    });
  }
  return navigation;
}

std::uint64_t WebView::loadHTMLString(const std::string& html, const std::string& baseURL) {
  std::uint64_t navigation = ++nextNavigation_;
  currentNavigation_ = navigation;
  expectingStart_ = true;
  impl_->deferred.reset();
  impl_->addressPending = false;
  WebViewSignals::startLoad(this, [this, html, baseURL] {
    expectingStart_ = true;
    webkit_web_view_load_html(impl_->view, html.c_str(), baseURL.empty() ? nullptr : baseURL.c_str());
  });
  return navigation;
}

void WebView::stopLoading() {
  // A load still waiting for the group never starts: nothing is to wait for its start.
  if (std::exchange(impl_->waitingLoad, nullptr)) {
    expectingStart_ = false;
    impl_->addressPending = false;
  }
  if (auto* group = groupNamed(impl_->processGroup); group && group->starter == this)
    WebViewSignals::passStart(impl_->processGroup, false);
  webkit_web_view_stop_loading(impl_->view);
}

bool WebView::goBack() {
  if (!webkit_web_view_can_go_back(impl_->view)) return false;
  webkit_web_view_go_back(impl_->view);
  return true;
}
bool WebView::goBackTo(const std::string& uri) {
  auto* list = webkit_web_view_get_back_forward_list(impl_->view);
  for (auto* item : {webkit_back_forward_list_get_back_item(list), webkit_back_forward_list_get_forward_item(list)}) {
    const char* at = item ? webkit_back_forward_list_item_get_uri(item) : nullptr;
    if (!at || uri != at) continue;
    webkit_web_view_go_to_back_forward_list_item(impl_->view, item);
    return true;
  }
  return false;
}

void WebView::rememberHistory() {
  auto* list = webkit_web_view_get_back_forward_list(impl_->view);
  impl_->rememberedEntries.clear();
  GList* back = webkit_back_forward_list_get_back_list(list);
  for (GList* l = back; l; l = l->next)
    impl_->rememberedEntries.push_back(GObjectPtr<WebKitBackForwardListItem>::retain(WEBKIT_BACK_FORWARD_LIST_ITEM(l->data)));
  g_list_free(back);
  if (auto* current = webkit_back_forward_list_get_current_item(list))
    impl_->rememberedEntries.push_back(GObjectPtr<WebKitBackForwardListItem>::retain(current));
}

bool WebView::showsRememberedEntry() const {
  auto* current = webkit_back_forward_list_get_current_item(webkit_web_view_get_back_forward_list(impl_->view));
  // The list may still name the entry the commit leaves: then it is not the page committed.
  const char* at = current ? webkit_back_forward_list_item_get_uri(current) : nullptr;
  if (!at || impl_->committedURI != at) return false;
  return std::any_of(impl_->rememberedEntries.begin(), impl_->rememberedEntries.end(),
                     [current](const auto& entry) { return entry.get() == current; });
}

bool WebView::goToEntryAfterRemembered(const std::string& uri) {
  auto* list = webkit_web_view_get_back_forward_list(impl_->view);
  auto remembered = [this](gpointer item) {
    return std::any_of(impl_->rememberedEntries.begin(), impl_->rememberedEntries.end(),
                       [item](const auto& entry) { return entry.get() == item; });
  };
  WebKitBackForwardListItem* found = nullptr;
  // Forward only: the history went back from it.
  GList* forward = webkit_back_forward_list_get_forward_list(list);
  for (GList* l = forward; l && !found; l = l->next) {
    auto* item = WEBKIT_BACK_FORWARD_LIST_ITEM(l->data);
    const char* at = webkit_back_forward_list_item_get_uri(item);
    if (at && uri == at && !remembered(item)) found = item;
  }
  g_list_free(forward);
  if (!found) return false;
  webkit_web_view_go_to_back_forward_list_item(impl_->view, found);
  return true;
}

void WebView::reload() { WebViewSignals::startLoad(this, [this] { webkit_web_view_reload(impl_->view); }); }

std::string WebView::uri() const {
  const char* u = webkit_web_view_get_uri(impl_->view);
  return u ? u : "";
}

const std::string& WebView::committedURI() const { return impl_->committedURI; }

void WebView::setCustomUserAgent(const std::optional<std::string>& userAgent) {
  webkit_settings_set_user_agent(webkit_web_view_get_settings(impl_->view), userAgent ? userAgent->c_str() : nullptr);
}

std::string WebView::userAgent() const {
  const char* ua = webkit_settings_get_user_agent(webkit_web_view_get_settings(impl_->view));
  return ua ? ua : "";
}

void WebView::setDeveloperExtrasEnabled(bool enabled) {
  webkit_settings_set_enable_developer_extras(webkit_web_view_get_settings(impl_->view), enabled);
}

bool WebView::developerExtrasEnabled() const {
  return webkit_settings_get_enable_developer_extras(webkit_web_view_get_settings(impl_->view));
}

bool WebView::isInspectorShown() const {
  auto* inspector = webkit_web_view_get_inspector(impl_->view);
  return inspector && webkit_web_inspector_get_web_view(inspector) != nullptr;
}

bool WebView::isInspectorAttached() const {
  auto* inspector = webkit_web_view_get_inspector(impl_->view);
  return isInspectorShown() && webkit_web_inspector_is_attached(inspector);
}

void WebView::showInspector() {
  if (!developerExtrasEnabled()) return;
  webkit_web_inspector_show(webkit_web_view_get_inspector(impl_->view));
}

void WebView::attachInspector() {
  if (!developerExtrasEnabled()) return;
  webkit_web_inspector_attach(webkit_web_view_get_inspector(impl_->view));
}

void WebView::detachInspector() {
  if (!developerExtrasEnabled()) return;
  webkit_web_inspector_detach(webkit_web_view_get_inspector(impl_->view));
}

void WebView::closeInspector() {
  if (auto* inspector = webkit_web_view_get_inspector(impl_->view)) webkit_web_inspector_close(inspector);
}

void WebView::executeEditingCommand(const std::string& command) {
  webkit_web_view_execute_editing_command(impl_->view, command.c_str());
}

namespace {
struct PendingCanExecute {
  std::function<void(bool)> completion;
  std::weak_ptr<bool> alive;
};
}  // namespace

void WebView::canExecuteEditingCommand(const std::string& command, std::function<void(bool)> completion) {
  auto* pending = new PendingCanExecute{std::move(completion), impl_->alive};
  webkit_web_view_can_execute_editing_command(
      impl_->view, command.c_str(), impl_->cancellable.get(),
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<PendingCanExecute> p(static_cast<PendingCanExecute*>(data));
        gboolean can = webkit_web_view_can_execute_editing_command_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
        if (!p->alive.expired() && p->completion) p->completion(can);
      },
      pending);
}

std::weak_ptr<bool> WebView::lifetime() const { return impl_->alive; }

void WebView::terminateWebProcess() { webkit_web_view_terminate_web_process(impl_->view); }

void WebView::beep() { gdk_display_beep(gtk_widget_get_display(impl_->widget)); }

bool WebView::isVisible() const { return gtk_widget_is_visible(impl_->widget); }
int WebView::width() const { return gtk_widget_get_allocated_width(impl_->widget); }
int WebView::height() const { return gtk_widget_get_allocated_height(impl_->widget); }
