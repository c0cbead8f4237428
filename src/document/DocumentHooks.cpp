#include "document/DocumentHooks.h"

#include "account/LoginController.h"

namespace DocumentHooks {

std::function<bool()> shouldOpenDocuments = [] { return LoginController::shared().isLoggedIn(); };
std::function<std::string()> userDisplayName = [] {
  return LoginController::shared().userDisplayName().value_or("");
};
std::function<void(const std::string&, const std::map<std::string, std::string>&)> track = [](auto&, auto&) {};
std::function<void(void*)> toggleIntercomPopover = [](void*) {};
std::function<bool()> isTerminating = [] { return false; };
std::function<bool()> welcomeShouldShowOnStartup = [] { return false; };
std::function<void()> showWelcomeWindow = [] {};
std::function<void()> closeWelcomeWindow = [] {};
std::function<void()> checkForUpdates = [] {};
std::function<bool()> optionKeyHeld = [] { return false; };

}  // namespace DocumentHooks
