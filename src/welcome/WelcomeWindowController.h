#pragma once
// The welcome window's controller: made once by the application and kept for the run, with its
// window made on first load and kept too. Main thread only.

#include <memory>
#include <string>

class WelcomeWindow;

namespace WelcomeControllerConstants {
// Whether the welcome window comes back when the last document window closes.
inline constexpr const char* WelcomeWindowShowOnStartup = "WelcomeWindowShowOnStartup";
}  // namespace WelcomeControllerConstants

class WelcomeWindowController {
 public:
  static constexpr const char* nibName = "PDWelcomeWindowController";

  WelcomeWindowController();
  ~WelcomeWindowController();
  WelcomeWindowController(const WelcomeWindowController&) = delete;
  WelcomeWindowController& operator=(const WelcomeWindowController&) = delete;

  // The stored choice; a missing or non-Boolean value is replaced by true.
  static bool shouldShowOnStartup();

  void loadWindow();
  bool isWindowLoaded() const { return window_ != nullptr; }
  // Loads the window when needed, refreshes the recents and shows it.
  void showWindow();
  // Refreshes the recents without showing the window.
  void reloadWindow();
  // Closes the window when it is loaded.
  void close();
  WelcomeWindow* window() { return window_.get(); }

  // The window's own, for the application's menus; false while the window is not loaded.
  bool isKeyWindow() const;
  bool validateMenuItem(const std::string& action) const;
  bool perform(const std::string& action);

 private:
  std::unique_ptr<WelcomeWindow> window_;
};
