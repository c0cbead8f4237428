// The facts of the running display, for WebCompositing; main thread.
#include "platform/WebCompositingGtk.h"

#include <gdk/gdk.h>
#include <gdk/gdkx.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

bool hasXExtension(GdkDisplay* display, const char* name) {
  int opcode = 0, event = 0, error = 0;
  return XQueryExtension(gdk_x11_display_get_xdisplay(display), name, &opcode, &event, &error);
}

bool renderNodeUsable() {
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/dev/dri", ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.rfind("renderD", 0) == 0 && access(it->path().c_str(), R_OK | W_OK) == 0) return true;
  }
  return false;
}

bool softwareRequested() {
  const char* value = getenv("LIBGL_ALWAYS_SOFTWARE");
  return value && *value && strcmp(value, "0") != 0 && strcmp(value, "false") != 0;
}

}  // namespace

namespace WebCompositing {

DisplayFacts displayFacts(GdkDisplay* display) {
  DisplayFacts facts;
  facts.x11 = display && GDK_IS_X11_DISPLAY(display);
  facts.directRendering = facts.x11 && (hasXExtension(display, "DRI3") || hasXExtension(display, "DRI2"));
  facts.renderNode = renderNodeUsable();
  facts.softwareRequested = softwareRequested();
  return facts;
}

void chooseForDefaultDisplay() {
  // Where the card works, the engine's own choice stands. The switch is process-wide rather
  // than a policy in each view's settings: views the program does not make (the inspector's,
  // other web contexts') follow it too, and with the per-view policy the pages never loaded
  // under a virtual frame buffer.
  if (acceleratedCompositingWorks(displayFacts(gdk_display_get_default()))) return;
  g_setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", FALSE);
}

}  // namespace WebCompositing
