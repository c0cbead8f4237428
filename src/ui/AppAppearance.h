#pragma once
// The application's own Day and Night modes, kept in the defaults under "HasDarkAppearance"
// and chosen from the main menu, with the handlers run when the mode changes and the colours
// that follow it. Main thread only; handlers run on the main loop, never at once.

#include <functional>
#include <memory>
#include <vector>

#include "platform/ObserverToken.h"
#include "ui/Color.h"

class Defaults;
class MenuItem;

class AppAppearance {
 public:
  enum class UIElement { documentWindow, popover };
  // The toolkit's theme variant a themed window carries.
  enum class Appearance { light, dark };

  static AppAppearance& shared();
  explicit AppAppearance(Defaults& defaults);
  AppAppearance(const AppAppearance&) = delete;
  AppAppearance& operator=(const AppAppearance&) = delete;

  bool isDark() const { return isDark_; }
  // Append only; a handler holds its client weakly and does nothing once the client is gone.
  std::vector<std::function<void()>> observeHandlers;

  static Appearance appearance(UIElement element);
  Appearance appearanceFor(UIElement element) const;

  // Wires every first-level main-menu item whose action is "toggleDarkAppearance:".
  static void setUpMainMenuItem();
  static constexpr const char* toggleAction = "toggleDarkAppearance:";
  // Flips the stored choice; the mode follows on a later turn of the main loop.
  void toggleDarkAppearance();
  bool validateMenuItem(MenuItem& item) const;
  // Re-reads the stored choice and runs the handlers when the mode changed.
  void update();

  struct Colors {
    static Color toolbarTopLine();
    static Color toolbarGradientTop();
    static Color toolbarGradientBottom();
    static Color toolbarBottomLine();
    static Color welcomeRecentsSelectionBackground();
    static Color welcomeRecentsSelectionBorder();
    static Color welcomeRecentsSelectionTitle();
    static Color welcomeRecentsSelectionPath();
    static Color welcomeBackground();
    static Color welcomeRecentsBackground();
    static Color welcomeRecentsBorder();
    static Color welcomeRecentsTitle();
    static Color welcomeRecentsPath();
    static Color welcomeCloseButtonTint();
    static Color welcomeCloseButtonHighlightTint();
    static Color popoverLink();
  };

 private:
  Defaults& defaults_;
  bool isDark_;
  ObserverToken observation_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
