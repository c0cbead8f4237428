#include "document/DocumentHooks.h"

#include <gtk/gtk.h>

#include <nlohmann/json.hpp>

#include "account/LoginController.h"
#include "document/DocumentController.h"
#include "document/PDBaseDocument.h"
#include "document/PDDocumentWindow.h"
#include "telemetry/IntercomPopover.h"
#include "telemetry/KorvelTracking.h"

namespace DocumentHooks {

std::function<bool()> shouldOpenDocuments = [] { return LoginController::shared().shouldOpenDocuments(); };
std::function<std::string()> userDisplayName = [] {
  return LoginController::shared().userDisplayName().value_or("");
};
std::function<void(const std::string&, const std::map<std::string, std::string>&)> track =
    [](const std::string& event, const std::map<std::string, std::string>& data) {
      KorvelTracking::shared().track(event, nlohmann::json(data));
    };
std::function<void(void*)> toggleIntercomPopover = [](void* button) {
  IntercomPopover::shared().toggle(GTK_WIDGET(button));
};
std::function<void*()> intercomCurrentButton = [] { return static_cast<void*>(IntercomPopover::shared().currentButton()); };
std::function<void()> hideIntercomPopover = [] { IntercomPopover::shared().hide(); };
std::function<ObserverToken(std::function<void(bool)>)> observeIntercomLoaded = [](std::function<void(bool)> loaded) {
  auto& popover = IntercomPopover::shared();
  // New messages open the popover at the frontmost document window's button.
  if (!popover.frontmostDocumentIntercomButton)
    popover.frontmostDocumentIntercomButton = []() -> GtkWidget* {
      auto ordered = DocumentController::orderedDocuments();
      if (ordered.empty() || !ordered.front()->documentWindow()) return nullptr;
      return ordered.front()->documentWindow()->intercomButton();
    };
  loaded(popover.isLoaded());
  return popover.observeIsLoaded([&popover, loaded] { loaded(popover.isLoaded()); });
};
std::function<bool()> isTerminating = [] { return false; };
std::function<bool()> welcomeShouldShowOnStartup = [] { return false; };
std::function<void()> showWelcomeWindow = [] {};
std::function<void()> closeWelcomeWindow = [] {};
std::function<void()> checkForUpdates = [] {};
std::function<bool()> optionKeyHeld = [] { return false; };
std::function<void(void*, void*)> installMainMenu = [](void*, void*) {};
std::function<bool(const void*)> performKeyEquivalent = [](const void*) { return false; };

}  // namespace DocumentHooks
