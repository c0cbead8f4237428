#pragma once
// What documents need of the application, the sign-in, the tracker and the messaging popover,
// reached through replaceable functions so that the document layer stands before those parts
// do. Each has a safe default; the application replaces them at start-up. Main thread only.

#include <functional>
#include <map>
#include <string>

namespace DocumentHooks {

// The sign-in gate: whether documents may be made or opened. Default: a login token is held.
extern std::function<bool()> shouldOpenDocuments;
// The signed-in user's display name for the account button; empty when unknown.
extern std::function<std::string()> userDisplayName;
// Usage events ("app_save_project", "ui_interaction"). Default: nothing.
extern std::function<void(const std::string& event, const std::map<std::string, std::string>& data)> track;
// The customer-messaging popover, toggled from a title-bar button. Default: nothing.
extern std::function<void(void* button)> toggleIntercomPopover;

// The application: the welcome window and termination.
extern std::function<bool()> isTerminating;
extern std::function<bool()> welcomeShouldShowOnStartup;
extern std::function<void()> showWelcomeWindow;
extern std::function<void()> closeWelcomeWindow;
// Asks the updater to look for a newer version.
extern std::function<void()> checkForUpdates;
// Whether the modifier that opens tutorials for editing (and offers folders as native) is held.
extern std::function<bool()> optionKeyHeld;

}  // namespace DocumentHooks
