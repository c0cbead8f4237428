#pragma once
// Editor actions as menus see them. The canvas host owns the machinery that performs and
// validates them through the editor page; menus only need the table and the shared names here.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class MenuDelegate;

class WebActions {
 public:
  // The web view of every hosted page, which validates and performs these actions through its
  // page; defined by the canvas host (canvas/WebActionsWebView.h).
  class WebView;

  // An editor action that also has a native selector and a fixed shortcut.
  struct HybridAction {
    std::string action;
    std::string nativeSelector;
    std::string accelerator;
  };

  static const std::vector<HybridAction>& hybridActions();
  static std::optional<HybridAction> hybridAction(std::string_view action);

  // The action of every menu item that carries an editor action other than a hybrid one; the
  // item's represented object names the action.
  static constexpr const char* selector = "performWebAction:";

  // The delegate of menus that carry editor actions; set by the canvas host, null before.
  static MenuDelegate* menuDelegate();
  static void setMenuDelegate(MenuDelegate* delegate);
};
