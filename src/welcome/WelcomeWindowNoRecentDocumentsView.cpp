#include "welcome/WelcomeWindowNoRecentDocumentsView.h"

#include <gtk/gtk.h>

#include "ui/AppAppearance.h"

WelcomeWindowNoRecentDocumentsView::WelcomeWindowNoRecentDocumentsView(int width, int height)
    : label_(std::make_shared<AntiAliasedLabel>(
          text, AntiAliasedFont::systemFont(12), AppAppearance::Colors::welcomeRecentsPath(),
          AppAppearance::Colors::welcomeRecentsBackground(), TextAlignment::center, std::nullopt)) {
  gtk_widget_set_size_request(view_.widget(), width, height);
  view_.addSubview(label_->widget(), {0, 31, width, 20});
  std::weak_ptr<AntiAliasedLabel> weak = label_;
  AppAppearance::shared().observeHandlers.push_back([weak] {
    auto label = weak.lock();
    if (!label) return;
    label->setTextColor(AppAppearance::Colors::welcomeRecentsPath());
    label->setBackgroundColor(AppAppearance::Colors::welcomeRecentsBackground());
  });
}

WelcomeWindowNoRecentDocumentsView::~WelcomeWindowNoRecentDocumentsView() {
  view_.removeSubview(label_->widget());
}
