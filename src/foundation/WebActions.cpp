#include "WebActions.h"

namespace {
MenuDelegate* sharedMenuDelegate = nullptr;
}

const std::vector<WebActions::HybridAction>& WebActions::hybridActions() {
  static const std::vector<HybridAction> table = {
      {"undo", "undo:", "Command+Z"},
      {"redo", "redo:", "Command+Shift+Z"},
      {"cut", "cut:", "Command+X"},
      {"copy", "copy:", "Command+C"},
      {"paste", "paste:", "Command+V"},
      {"delete", "delete:", "Backspace"},
      {"selectAll", "selectAll:", "Command+A"},
  };
  return table;
}

std::optional<WebActions::HybridAction> WebActions::hybridAction(std::string_view action) {
  for (const auto& h : hybridActions())
    if (h.action == action) return h;
  return std::nullopt;
}

MenuDelegate* WebActions::menuDelegate() {
  return sharedMenuDelegate;
}
void WebActions::setMenuDelegate(MenuDelegate* delegate) {
  sharedMenuDelegate = delegate;
}
