#pragma once
// The running display's facts, and web view settings that follow them. Main thread.

#include <gdk/gdk.h>
#include <webkit2/webkit2.h>

#include "platform/WebCompositing.h"

namespace WebCompositing {

DisplayFacts displayFacts(GdkDisplay* display);
// Turns compositing off in `settings` where the default display can't carry it; decided once
// for the process.
void applyTo(WebKitSettings* settings);

}  // namespace WebCompositing
