#pragma once
// The one customer-messaging popover, shown from the messaging button of any document window.
// Its page is loaded once and outlives every window: the toolkit's popover is made again at the
// button it is shown from, and the page moves into it. It follows the page's unread count, posts
// "IntercomUnreadCountDidChangeNotification" with {"count": n}, and opens itself at the
// frontmost document's button a second after the count rises. Main thread only.

#include <functional>
#include <memory>
#include <vector>

#include "platform/ObserverToken.h"
#include "telemetry/IntercomViewController.h"

class NotificationCenter;

class IntercomPopover : public IntercomViewControllerDelegate {
 public:
  // The toolkit's popover; buttons are only compared, never kept past their life.
  class Presenter {
   public:
    virtual ~Presenter() = default;
    virtual bool isShown() const = 0;
    virtual bool isInWindow(GtkWidget* button) const = 0;
    // Shows the page under `button` and gives it the keyboard focus.
    virtual void show(GtkWidget* button) = 0;
    virtual void close() = 0;
    // Keeps the page in a hidden window while it is in no popover.
    virtual void park() = 0;
  };

  struct Dependencies {
    NotificationCenter& notifications;
    std::function<void(double seconds, std::function<void()> work)> after;
    static Dependencies standard();
  };

  static constexpr double openDelayAfterNewMessages = 1.0;

  static IntercomPopover& shared();
  // `makePresenter` gets the popover and its view controller; none makes the toolkit's.
  using PresenterFactory = std::function<std::unique_ptr<Presenter>(IntercomPopover&, IntercomViewController&)>;
  IntercomPopover(Dependencies dependencies, PresenterFactory makePresenter = nullptr);
  ~IntercomPopover() override;
  IntercomPopover(const IntercomPopover&) = delete;
  IntercomPopover& operator=(const IntercomPopover&) = delete;

  void load();
  void toggle(GtkWidget* button);
  void hide();
  // Shows under `button` when it is in a window; nothing otherwise.
  void show(GtkWidget* button);

  bool isShown() const { return presenter_->isShown(); }
  bool isLoaded() const { return isLoaded_; }
  [[nodiscard]] ObserverToken observeIsLoaded(std::function<void()> handler);
  GtkWidget* currentButton() const { return currentButton_; }
  void setCurrentButton(GtkWidget* button) { currentButton_ = button; }
  long unreadCount() const { return unreadCount_; }
  IntercomViewController& intercomViewController() { return *intercomViewController_; }

  // Set by the documents: the frontmost document's messaging button, or none.
  std::function<GtkWidget*()> frontmostDocumentIntercomButton;

  // The presenter's report that a button is gone.
  void buttonDestroyed(GtkWidget* button);

  void intercomUnreadCountDidChange(long count) override;
  void intercomDidHide() override;
  void intercomDidLoad() override;

  static std::unique_ptr<Presenter> makeGtkPresenter(IntercomPopover& popover, IntercomViewController& content);

 private:
  Dependencies deps_;
  GtkWidget* currentButton_ = nullptr;
  bool isLoaded_ = false;
  std::unique_ptr<IntercomViewController> intercomViewController_;
  std::unique_ptr<Presenter> presenter_;
  long unreadCount_ = 0;
  std::vector<std::shared_ptr<std::function<void()>>> loadedObservers_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
