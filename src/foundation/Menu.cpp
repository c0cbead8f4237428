#include "Menu.h"

#include <algorithm>

std::shared_ptr<MenuItem> MenuItem::separatorItem() {
  auto item = make({});
  item->isSeparator = true;
  return item;
}

long Menu::indexOfItemWithTitle(std::string_view t) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (!items_[i]->isSeparator && items_[i]->title == t) return static_cast<long>(i);
  return -1;
}

std::shared_ptr<MenuItem> Menu::itemAt(long index) const {
  if (index < 0 || static_cast<size_t>(index) >= items_.size()) return nullptr;
  return items_[static_cast<size_t>(index)];
}

void Menu::insertItem(std::shared_ptr<MenuItem> item, long index) {
  index = std::clamp<long>(index, 0, static_cast<long>(items_.size()));
  items_.insert(items_.begin() + index, std::move(item));
}

void Menu::removeItem(const std::shared_ptr<MenuItem>& item) {
  std::erase(items_, item);
}
