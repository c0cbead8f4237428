#pragma once
// What documents need of the application, the sign-in, the tracker and the messaging popover,
// reached through replaceable functions: the sign-in, the tracker and the popover are wired by
// default; the application's welcome window, termination and updater are nothing until the
// start-up replaces them. Tests replace any of them. Main thread only.

#include <functional>
#include <map>
#include <string>

#include "platform/ObserverToken.h"

namespace DocumentHooks {

// The sign-in gate: whether documents may be made or opened.
extern std::function<bool()> shouldOpenDocuments;
// The signed-in user's display name for the account button; empty when unknown.
extern std::function<std::string()> userDisplayName;
// Usage events ("app_save_project", "ui_interaction").
extern std::function<void(const std::string& event, const std::map<std::string, std::string>& data)> track;
// The customer-messaging popover, toggled from a title-bar button.
extern std::function<void(void* button)> toggleIntercomPopover;
// The button the popover is shown from (none when hidden), and hiding it.
extern std::function<void*()> intercomCurrentButton;
extern std::function<void()> hideIntercomPopover;
// Calls `loaded` now and whenever the popover's page finishes loading or goes.
extern std::function<ObserverToken(std::function<void(bool loaded)> loaded)> observeIntercomLoaded;

// The application: the welcome window and termination.
extern std::function<bool()> isTerminating;
extern std::function<bool()> welcomeShouldShowOnStartup;
extern std::function<void()> showWelcomeWindow;
extern std::function<void()> closeWelcomeWindow;
// Asks the updater to look for a newer version.
extern std::function<void()> checkForUpdates;
// The main menu of a document window: puts its menu bar at the top of `box` (a vertical box)
// of `window`, and performs the key equivalent of a key press nobody else used.
extern std::function<void(void* window, void* box)> installMainMenu;
extern std::function<bool(const void* keyEvent)> performKeyEquivalent;
// Whether the modifier that opens tutorials for editing (and offers folders as native) is held.
extern std::function<bool()> optionKeyHeld;

}  // namespace DocumentHooks
