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
