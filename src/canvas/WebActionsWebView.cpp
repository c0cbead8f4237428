#include "WebActionsWebView.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <vector>

#include <nlohmann/json.hpp>

#include "canvas/ScriptLiteral.h"
#include "platform/RunLoop.h"

namespace {

using ActionState = WebActions::WebView::ActionState;

std::vector<WebActions::WebView*>& liveViews() {
  static std::vector<WebActions::WebView*> views;
  return views;
}

std::optional<std::string> actionForSelector(const std::string& selector) {
  for (const auto& h : WebActions::hybridActions())
    if (h.nativeSelector == selector) return h.action;
  return std::nullopt;
}

// WebKit's name for the editing command behind a native selector.
const char* editingCommand(const std::string& selector) {
  if (selector == "undo:") return "Undo";
  if (selector == "redo:") return "Redo";
  if (selector == "cut:") return "Cut";
  if (selector == "copy:") return "Copy";
  if (selector == "paste:") return "Paste";
  if (selector == "delete:") return "Delete";
  if (selector == "selectAll:") return "SelectAll";
  return nullptr;
}

}  // namespace

WebActions::WebView::WebView(Configuration configuration) : ::WebView(configuration) { liveViews().push_back(this); }

WebActions::WebView::~WebView() { std::erase(liveViews(), this); }

std::string WebActions::WebView::validationScript(const std::string& action) {
  return "(window.Ostrel && window.Ostrel.validateAction) ? window.Ostrel.validateAction(" +
         ScriptLiteral::string(action) + ") : null;";
}

std::string WebActions::WebView::dispatchScript(const std::string& action) {
  return "(window.Ostrel && window.Ostrel.dispatchAction) ? window.Ostrel.dispatchAction(" +
         ScriptLiteral::string(action) + ") : null;";
}

void WebActions::WebView::validateAction(const std::string& action,
                                         std::function<void(std::optional<StateMap>)> completion) {
  evaluateJavaScript(validationScript(action),
                     [completion = std::move(completion)](std::optional<nlohmann::json> result, std::optional<Error> error) {
                       completion(error ? std::nullopt : decodeValidationAnswer(result));
                     });
}

ActionState WebActions::WebView::webActionState(const std::string& action) {
  std::weak_ptr<bool> alive = lifetime();
  RunLoop::waitUsingRecursiveRunloop([this, alive] { return !alive.expired() && isPreparingValidatedActionCache_; },
                                     preparingTimeout, [] {});
  if (alive.expired()) return ActionState::off;
  if (validatedActionCache_ && !validatedActionCache_->empty()) {
    auto it = validatedActionCache_->find(action);
    if (it != validatedActionCache_->end()) return it->second;
  }
  // Shared with the completion, which may run after this call has given up.
  auto answer = std::make_shared<std::optional<ActionState>>();
  validateAction(action, [this, alive, answer, action](std::optional<StateMap> states) {
    ActionState state = ActionState::off;
    if (states) {
      auto it = states->find(action);
      if (it != states->end()) state = it->second;
    }
    *answer = state;
    if (!alive.expired() && validatedActionCache_) (*validatedActionCache_)[action] = state;
  });
  RunLoop::waitUsingRecursiveRunloop([answer] { return !answer->has_value(); }, singleActionTimeout, [] {});
  return answer->value_or(ActionState::off);
}

void WebActions::WebView::dispatch(const std::string& action) {
  std::weak_ptr<bool> alive = lifetime();
  evaluateJavaScript(dispatchScript(action), [this, alive](std::optional<nlohmann::json> result, std::optional<Error>) {
    if (alive.expired()) return;
    if (result && result->is_boolean() && result->get<bool>()) return;
    beep();
  });
}

void WebActions::WebView::performHybrid(const std::string& nativeSelector, MenuItem*) {
  auto action = actionForSelector(nativeSelector);
  if (!action) return;
  switch (webActionState(*action)) {
    case ActionState::off: break;
    case ActionState::on: dispatch(*action); break;
    case ActionState::deferToNative: executeEditingCommand(editingCommand(nativeSelector)); break;
  }
}

void WebActions::WebView::undo(MenuItem* sender) { performHybrid("undo:", sender); }
void WebActions::WebView::redo(MenuItem* sender) { performHybrid("redo:", sender); }
void WebActions::WebView::cut(MenuItem* sender) { performHybrid("cut:", sender); }
void WebActions::WebView::copy(MenuItem* sender) { performHybrid("copy:", sender); }
void WebActions::WebView::paste(MenuItem* sender) { performHybrid("paste:", sender); }
void WebActions::WebView::deleteAction(MenuItem* sender) { performHybrid("delete:", sender); }
void WebActions::WebView::selectAll(MenuItem* sender) { performHybrid("selectAll:", sender); }

void WebActions::WebView::performWebAction(MenuItem* sender) {
  if (!sender || !sender->representedObject) return;
  dispatch(*sender->representedObject);
}

bool WebActions::WebView::perform(MenuItem& item) {
  if (item.action == WebActions::selector) {
    performWebAction(&item);
    return true;
  }
  if (!actionForSelector(item.action)) return false;
  performHybrid(item.action, &item);
  return true;
}

bool WebActions::WebView::canExecuteNatively(const std::string& nativeSelector) {
  auto can = std::make_shared<std::optional<bool>>();
  canExecuteEditingCommand(editingCommand(nativeSelector), [can](bool yes) { *can = yes; });
  RunLoop::waitUsingRecursiveRunloop([can] { return !can->has_value(); }, singleActionTimeout, [] {});
  return can->value_or(false);
}

bool WebActions::WebView::validateUserInterfaceItem(const MenuItem& item) {
  if (item.action.empty()) return false;
  std::optional<std::string> action = actionForSelector(item.action);
  if (!action) {
    if (item.action != WebActions::selector) return true;  // not a page action: nothing to ask
    if (!item.representedObject) return false;
    action = item.representedObject;
  }
  switch (webActionState(*action)) {
    case ActionState::on: return true;
    case ActionState::off: return false;
    case ActionState::deferToNative:
      if (item.action == "undo:" || item.action == "redo:") return canExecuteNatively(item.action);
      return true;
  }
  return false;
}

void WebActions::WebView::menuWillOpen(Menu&) {
  if (menuCount_ == 0) {
    isPreparingValidatedActionCache_ = true;
    validatedActionCache_ = StateMap{};
    std::weak_ptr<bool> alive = lifetime();
    validateAction("*", [this, alive](std::optional<StateMap> states) {
      if (alive.expired()) return;
      isPreparingValidatedActionCache_ = false;
      if (validatedActionCache_ && states)
        for (auto& [name, state] : *states) (*validatedActionCache_)[name] = state;
    });
  }
  ++menuCount_;
}

void WebActions::WebView::menuDidClose() {
  if (menuCount_ > 0) --menuCount_;
  if (menuCount_ == 0) {
    isPreparingValidatedActionCache_ = false;
    validatedActionCache_.reset();
  }
}

WebActions::WebView* WebActions::WebView::focused() {
  for (auto* view : liveViews()) {
    GtkWidget* widget = view->widget();
    GtkWidget* top = gtk_widget_get_toplevel(widget);
    if (gtk_widget_is_focus(widget) && GTK_IS_WINDOW(top) && gtk_window_is_active(GTK_WINDOW(top))) return view;
  }
  return nullptr;
}

WebActionsMenuDelegate& WebActionsMenuDelegate::shared() {
  static WebActionsMenuDelegate* delegate = new WebActionsMenuDelegate();  // lives for the process
  return *delegate;
}

void WebActionsMenuDelegate::install() { WebActions::setMenuDelegate(&shared()); }

void WebActionsMenuDelegate::menuWillOpen(Menu& menu) {
  WebActions::WebView* view = targetResolver ? targetResolver() : WebActions::WebView::focused();
  if (!view) return;
  menuToWebViewMap_[&menu] = {view, view->lifetime()};
  view->menuWillOpen(menu);
}

void WebActionsMenuDelegate::menuDidClose(Menu& menu) {
  auto it = menuToWebViewMap_.find(&menu);
  if (it == menuToWebViewMap_.end()) return;
  if (!it->second.alive.expired()) it->second.view->menuDidClose();
  menuToWebViewMap_.erase(it);
}
