#include "IntercomPopover.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "foundation/SharedNames.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

namespace {
constexpr const char* showScript = "window.Intercom('show')";
constexpr const char* hideScript = "window.Intercom('hide')";
}  // namespace

IntercomPopover::Dependencies IntercomPopover::Dependencies::standard() {
  return Dependencies{NotificationCenter::defaultCenter(), [](double seconds, std::function<void()> work) {
                        MainQueue::asyncAfter(seconds, std::move(work));
                      }};
}

IntercomPopover& IntercomPopover::shared() {
  static IntercomPopover* popover = new IntercomPopover(Dependencies::standard());
  return *popover;
}

IntercomPopover::IntercomPopover(Dependencies dependencies, PresenterFactory makePresenter)
    : deps_(std::move(dependencies)), intercomViewController_(std::make_unique<IntercomViewController>()) {
  intercomViewController_->delegate = this;
  presenter_ = makePresenter ? makePresenter(*this, *intercomViewController_)
                             : makeGtkPresenter(*this, *intercomViewController_);
}

IntercomPopover::~IntercomPopover() {
  intercomViewController_->delegate = nullptr;
  presenter_.reset();
}

void IntercomPopover::load() {
  intercomViewController_->loadView();
  if (!presenter_->isShown()) presenter_->park();
}

void IntercomPopover::toggle(GtkWidget* button) {
  if (!presenter_->isShown()) {
    currentButton_ = button;
  } else if (currentButton_ == button) {
    currentButton_ = nullptr;
    intercomViewController_->sendScript(hideScript);
    presenter_->close();
    return;
  } else {
    presenter_->close();
    currentButton_ = button;
  }
  if (currentButton_) {
    intercomViewController_->sendScript(showScript);
    show(currentButton_);
  }
}

void IntercomPopover::show(GtkWidget* button) {
  if (!button || !presenter_->isInWindow(button)) return;
  intercomViewController_->loadView();
  presenter_->show(button);
}

void IntercomPopover::hide() {
  currentButton_ = nullptr;
  intercomViewController_->sendScript(hideScript);
  presenter_->close();
}

void IntercomPopover::intercomDidHide() {
  hide();
}

void IntercomPopover::intercomDidLoad() {
  if (isLoaded_) return;
  isLoaded_ = true;
  for (auto& observer : std::vector(loadedObservers_)) (*observer)();
}

ObserverToken IntercomPopover::observeIsLoaded(std::function<void()> handler) {
  auto entry = std::make_shared<std::function<void()>>(std::move(handler));
  loadedObservers_.push_back(entry);
  std::weak_ptr<bool> alive = alive_;
  return ObserverToken([this, alive, entry] {
    if (!alive.expired()) std::erase(loadedObservers_, entry);
  });
}

void IntercomPopover::buttonDestroyed(GtkWidget* button) {
  if (currentButton_ == button) currentButton_ = nullptr;
}

void IntercomPopover::intercomUnreadCountDidChange(long count) {
  deps_.notifications.post(IntercomUnreadCountDidChangeNotification, this,
                           std::make_shared<const nlohmann::json>(nlohmann::json{{"count", count}}));
  if (count > unreadCount_ && frontmostDocumentIntercomButton) {
    if (GtkWidget* button = frontmostDocumentIntercomButton()) {
      std::weak_ptr<bool> alive = alive_;
      deps_.after(openDelayAfterNewMessages, [this, alive, button] {
        // The button is only trusted while the documents still name it.
        if (alive.expired() || !frontmostDocumentIntercomButton || frontmostDocumentIntercomButton() != button) return;
        if (!presenter_->isShown()) toggle(button);
      });
    }
  }
  unreadCount_ = count;
}
