#pragma once
// The web view of every hosted page: editing commands and page-only menu commands are asked of
// the page (window.Ostrel.validateAction) and performed by it (window.Ostrel.dispatchAction).
// While a menu of the view is open, one all-actions query fills a cache that validations read;
// every wait for the page is a bounded nested wait of the main loop. Main thread only.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "canvas/WebActionsAnswer.h"
#include "foundation/Menu.h"
#include "foundation/WebActions.h"
#include "platform/WebView.h"

class WebActions::WebView : public ::WebView {
 public:
  using ActionState = WebActionsAnswer::ActionState;
  using StateMap = WebActionsAnswer::StateMap;

  static constexpr double preparingTimeout = 1.0;
  static constexpr double singleActionTimeout = 0.5;

  explicit WebView(Configuration configuration);
  ~WebView() override;

  // The seven hybrid editing actions; `sender` is the menu item or none.
  void undo(MenuItem* sender = nullptr);
  void redo(MenuItem* sender = nullptr);
  void cut(MenuItem* sender = nullptr);
  void copy(MenuItem* sender = nullptr);
  void paste(MenuItem* sender = nullptr);
  void deleteAction(MenuItem* sender = nullptr);
  void selectAll(MenuItem* sender = nullptr);
  // The page action named by the item's represented object, dispatched without asking first.
  void performWebAction(MenuItem* sender);
  // Performs `item.action` (a native selector or "performWebAction:"); false for others.
  bool perform(MenuItem& item);
  bool validateUserInterfaceItem(const MenuItem& item);

  // Called by the shared menu delegate.
  void menuWillOpen(Menu& menu);
  void menuDidClose();

  const std::optional<StateMap>& validatedActionCache() const { return validatedActionCache_; }
  bool isPreparingValidatedActionCache() const { return isPreparingValidatedActionCache_; }
  int menuCount() const { return menuCount_; }

  // The page's answer, read by WebActionsAnswer.
  static std::optional<StateMap> decodeValidationAnswer(const std::optional<nlohmann::json>& answer) {
    return WebActionsAnswer::decode(answer);
  }
  static std::string validationScript(const std::string& action);
  static std::string dispatchScript(const std::string& action);

  // The hosted-page view that has the keyboard focus of the active window, if any.
  static WebView* focused();

 private:
  ActionState webActionState(const std::string& action);
  void validateAction(const std::string& action, std::function<void(std::optional<StateMap>)> completion);
  void dispatch(const std::string& action);
  void performHybrid(const std::string& nativeSelector, MenuItem* sender);
  bool canExecuteNatively(const std::string& nativeSelector);

  std::optional<StateMap> validatedActionCache_;
  bool isPreparingValidatedActionCache_ = false;
  int menuCount_ = 0;
};

// The delegate of every menu that carries page actions: maps an opening menu to the view that
// its actions go to, and drops that view's cache when its last menu closes.
class WebActionsMenuDelegate : public MenuDelegate {
 public:
  static WebActionsMenuDelegate& shared();
  // Makes the shared delegate the one WebActions::menuDelegate() hands to menus.
  static void install();

  void menuWillOpen(Menu& menu) override;
  void menuDidClose(Menu& menu) override;

  // Answers the view that "performWebAction:" would reach; the focused view unless replaced.
  std::function<WebActions::WebView*()> targetResolver;
  bool isTracking(const Menu& menu) const { return menuToWebViewMap_.count(&menu) > 0; }

 private:
  struct Entry {
    WebActions::WebView* view;
    std::weak_ptr<bool> alive;
  };
  std::map<const Menu*, Entry> menuToWebViewMap_;
};
