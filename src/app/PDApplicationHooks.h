#pragma once
// The outside services the application object uses on this desktop: the updater, the crash
// reporter, the desktop's registration of the application, the About and welcome windows.

#include "app/PDApplication.h"

PDApplication::Hooks makeApplicationHooks();
