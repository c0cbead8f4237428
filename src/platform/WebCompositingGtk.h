#pragma once
// The running display's facts, and web view settings that follow them. Main thread.

#include <gdk/gdk.h>

#include "platform/WebCompositing.h"

namespace WebCompositing {

DisplayFacts displayFacts(GdkDisplay* display);
// Turns compositing off for every web view and web process of this program where the default
// display can't carry it. Call once the display is open and before the first web view: the
// engine reads the choice once, and its web processes inherit it. A choice the person made in
// the environment stands.
void chooseForDefaultDisplay();

}  // namespace WebCompositing
