#include "BaseOstrelViewController.h"

#include <gtk/gtk.h>

#include "canvas/DroppedPictures.h"
#include "platform/Alert.h"
#include "platform/RunLoop.h"

void BaseOstrelViewController::dropPictures(std::vector<std::filesystem::path> files, double x, double y) {
  std::weak_ptr<BaseOstrelViewController> weak = weak_from_this();
  // The files are read away from the main loop; the page gets them on it.
  GlobalQueue::async([weak, files = std::move(files), x, y] {
    auto drop = std::make_shared<DroppedPictures::Drop>(DroppedPictures::read(files));
    if (drop->pictures.empty() && drop->left.empty() && drop->notPictures.empty()) return;
    MainQueue::async([weak, drop, x, y] {
      auto self = weak.lock();
      if (!self) return;
      if (auto alert = DroppedPictures::notAddedAlert(*drop)) {
        GtkWidget* top = gtk_widget_get_toplevel(self->webViewController_->webView().widget());
        Alert::shared().beginSheet(*alert, GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr, [](int) {});
      }
      if (drop->pictures.empty() || !self->ipcReady_) return;
      self->deliverDrop(std::make_shared<DroppedPictures::Delivery>(std::move(drop->pictures), x, y));
    });
  });
}

void BaseOstrelViewController::deliverDrop(std::shared_ptr<DroppedPictures::Delivery> delivery) {
  if (!ipcReady_) return;
  auto script = delivery->next();
  if (!script) return;
  std::weak_ptr<BaseOstrelViewController> weak = weak_from_this();
  // One piece at a time, the next once the page has taken this one: the main loop runs between.
  webViewController_->evaluateJavaScript(*script, [weak, delivery](std::optional<nlohmann::json>, std::optional<Error> error) {
    auto self = weak.lock();
    if (!self) return;
    if (!error) self->deliverDrop(delivery);
    else self->webViewController_->evaluateJavaScript(delivery->abandoned());
  });
}
