#pragma once
// Runs the application: one instance per user session (files and "korvel-x://" links given to a
// second start go to the running one), the toolkit's windows, menus and desktop around
// PDApplication, and the end of the run once no window and no document is left.

#include "app/PDApplication.h"

// `hooks` brings what the toolkit layer doesn't know (welcome and About windows, the updater,
// the crash reporter, desktop registration); the rest is filled in here. Returns the exit status.
int PDApplicationMain(int argc, char** argv, PDApplication::Hooks hooks);
