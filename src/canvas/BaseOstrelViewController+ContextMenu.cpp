#include <cmath>

#include <nlohmann/json.hpp>

#include "canvas/BaseOstrelViewController.h"

namespace {
// Far past any screen, well inside what a pixel coordinate holds.
constexpr double maximumMenuCoordinate = 1e6;
}  // namespace

std::shared_ptr<Menu> BaseOstrelViewController::createMenu(const nlohmann::json& menuItems, const IndexPath& indexPath) {
  return ContextMenu::build(menuItems, indexPath);
}

void BaseOstrelViewController::handleDocumentContextMenu(const nlohmann::json& arguments) {
  if (!arguments.is_object()) return;
  auto menu = arguments.find("menu");
  auto location = arguments.find("location");
  if (menu == arguments.end() || !ContextMenu::isItemArray(*menu)) return;
  if (location == arguments.end() || !location->is_object()) return;
  auto x = location->find("x"), y = location->find("y");
  if (x == location->end() || y == location->end() || !x->is_number() || !y->is_number()) return;
  // The menu opens at a window's pixel: a place no window holds is no request.
  auto onScreen = [](double v) { return std::isfinite(v) && std::abs(v) <= maximumMenuCoordinate; };
  if (!onScreen(x->get<double>()) || !onScreen(y->get<double>())) return;
  if (!contextMenuPresenter) return;

  auto built = createMenu(*menu, {});
  std::weak_ptr<BaseOstrelViewController> weak = weak_from_this();
  // The toolkit's coordinates already start at the top left, as the page's do.
  contextMenuPresenter(built, x->get<double>(), y->get<double>(), [weak, built](MenuItem* chosen) {
    auto self = weak.lock();
    if (!self) return;
    if (chosen)
      self->contextMenuItemSelected(chosen);
    else
      self->ipcCallWithArray("DocumentContextMenuResponse", {});
  });
}

void BaseOstrelViewController::contextMenuItemSelected(MenuItem* sender) {
  auto* item = dynamic_cast<ContextMenuItem*>(sender);
  if (!item || item->action.empty() || item->indexPath.empty()) return;
  ipcCallWithArray("DocumentContextMenuResponse", {IPCValue(nlohmann::json(item->indexPath))});
}
