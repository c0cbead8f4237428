#pragma once
// The content of the customer-messaging popover: the messenger page "Intercom/intercom.html"
// filled with the user's settings at "{{ intercomSettings }}", in a web view over a blue band,
// and the page's bridge messages. The page comes from the application's resources, whose folder
// is its base address; file URLs get no access to other files. Main thread only.

#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

typedef struct _GtkWidget GtkWidget;
class LoginController;
class PopoverBackgroundView;
class WebViewController;

class IntercomViewControllerDelegate {
 public:
  virtual ~IntercomViewControllerDelegate() = default;
  virtual void intercomUnreadCountDidChange(long count) = 0;
  virtual void intercomDidHide() = 0;
  virtual void intercomDidLoad() = 0;
};

class IntercomViewController {
 public:
  static constexpr const char* placeholder = "{{ intercomSettings }}";
  static constexpr const char* userAgent = "Safari but like Electron/123";
  static constexpr int width = 370;
  static constexpr int height = 590;
  static constexpr int bandHeight = 75;

  IntercomViewController();
  // Tells the page to shut the messenger down.
  ~IntercomViewController();
  IntercomViewController(const IntercomViewController&) = delete;
  IntercomViewController& operator=(const IntercomViewController&) = delete;

  // Held weakly: the delegate outlives the controller or clears itself.
  IntercomViewControllerDelegate* delegate = nullptr;

  // Builds the view and loads the page; later calls do nothing.
  void loadView();
  bool isViewLoaded() const { return view_ != nullptr; }
  // None before loadView.
  GtkWidget* view() const;
  WebViewController& webViewController() { return *webViewController_; }
  void sendScript(const std::string& script);

  void handleBridgeMessage(const std::string& method, const nlohmann::json& arguments);
  void handleIntercomUnreadChange(const nlohmann::json& arguments);

  // The page's HTML: the resource with the settings of `login`'s user; empty when the
  // resource is missing or unreadable.
  std::string pageTemplate(const LoginController& login) const;
  static nlohmann::json settings(const LoginController& login);
  // Every placeholder replaced by the settings as JSON that is safe inside HTML and scripts.
  static std::string fillTemplate(const std::string& templateText, const nlohmann::json& settings);

 private:
  // The web view outlives the view while scripts for it wait: it leaves the view unharmed.
  void releaseView();

  std::shared_ptr<WebViewController> webViewController_;
  std::unique_ptr<PopoverBackgroundView> view_;
};
