#include "BaseOstrelViewController.h"

#include "canvas/DroppedPictures.h"
#include "platform/RunLoop.h"

void BaseOstrelViewController::dropPictures(std::vector<std::filesystem::path> files, double x, double y) {
  std::weak_ptr<BaseOstrelViewController> weak = weak_from_this();
  // The files are read away from the main loop; the page gets them on it.
  GlobalQueue::async([weak, files = std::move(files), x, y] {
    auto pictures = DroppedPictures::read(files);
    if (pictures.empty()) return;
    auto script = std::make_shared<std::string>(DroppedPictures::dropScript(pictures, x, y));
    MainQueue::async([weak, script] {
      auto self = weak.lock();
      if (self && self->ipcReady_) self->webViewController_->evaluateJavaScript(*script);
    });
  });
}
