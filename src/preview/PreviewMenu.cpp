#include "preview/PreviewMenu.h"

std::shared_ptr<PreviewMenuItem> PreviewMenuItem::separator() {
  auto item = std::make_shared<PreviewMenuItem>("", "");
  item->isSeparator = true;
  return item;
}

void PreviewMenuItem::setSubmenu(std::shared_ptr<PreviewMenu> menu) {
  if (submenu_) submenu_->owner_ = nullptr;
  submenu_ = std::move(menu);
  if (submenu_) {
    submenu_->owner_ = this;
    for (auto& item : submenu_->items_) item->parent_ = this;
  }
}

void PreviewMenu::addItem(std::shared_ptr<PreviewMenuItem> item) {
  item->parent_ = owner_;
  items_.push_back(std::move(item));
}

PreviewMenuItem* PreviewMenu::itemForKeyEquivalent(const std::string& key, std::uint32_t modifierMask) const {
  if (key.empty()) return nullptr;
  for (const auto& item : items_) {
    if (item->isSeparator) continue;
    if (item->keyEquivalent == key && item->modifierMask == modifierMask) return item.get();
    if (item->submenu())
      if (auto* found = item->submenu()->itemForKeyEquivalent(key, modifierMask)) return found;
  }
  return nullptr;
}
