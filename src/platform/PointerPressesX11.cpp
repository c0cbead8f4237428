#include "platform/PointerPresses.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <X11/extensions/XInput2.h>

#include <algorithm>
#include <vector>

namespace PointerPresses {

namespace {

// One selection of raw presses on the root window and one filter serve every watch.
struct Listeners {
  std::vector<std::function<void(int, int)>*> watches;
  int opcode = -1;
  bool selected = false;
};

Listeners& listeners() {
  static Listeners l;
  return l;
}

Display* xdisplay() {
  GdkDisplay* display = gdk_display_get_default();
  return display && GDK_IS_X11_DISPLAY(display) ? GDK_DISPLAY_XDISPLAY(display) : nullptr;
}

// The extension's opcode. The toolkit has asked for version 2.2 or later of it, under which
// raw events reach every client that selected them, whatever grab another program holds.
int rawPressOpcode() {
  Display* dpy = xdisplay();
  if (!dpy) return -1;
  int opcode = 0, event = 0, error = 0;
  return XQueryExtension(dpy, "XInputExtension", &opcode, &event, &error) ? opcode : -1;
}

void select(bool on) {
  Display* dpy = xdisplay();
  if (!dpy) return;
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  if (on) XISetMask(bits, XI_RawButtonPress);
  XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
  XISelectEvents(dpy, DefaultRootWindow(dpy), &mask, 1);
  XFlush(dpy);
}

GdkFilterReturn filter(GdkXEvent* native, GdkEvent*, gpointer) {
  auto* xevent = static_cast<XEvent*>(native);
  auto& l = listeners();
  if (xevent->type != GenericEvent || xevent->xcookie.extension != l.opcode || xevent->xcookie.evtype != XI_RawButtonPress)
    return GDK_FILTER_CONTINUE;
  // The wheel's turns come as presses of buttons 4 to 7: no hand pressed anything.
  auto* raw = static_cast<XIRawEvent*>(xevent->xcookie.data);
  if (!raw || (raw->detail >= 4 && raw->detail <= 7)) return GDK_FILTER_REMOVE;
  int x = 0, y = 0;
  GdkSeat* seat = gdk_display_get_default_seat(gdk_display_get_default());
  if (GdkDevice* pointer = seat ? gdk_seat_get_pointer(seat) : nullptr) gdk_device_get_position(pointer, nullptr, &x, &y);
  // Copies: a watch may end, or begin, in its call, or in another's.
  auto watches = l.watches;
  for (auto* w : watches)
    if (std::find(l.watches.begin(), l.watches.end(), w) != l.watches.end()) {
      auto pressed = *w;
      pressed(x, y);
    }
  return GDK_FILTER_REMOVE;
}

}  // namespace

struct Watch::Impl {
  std::function<void(int, int)> pressed;
};

Watch::Watch(std::function<void(int x, int y)> pressed) : impl_(std::make_unique<Impl>()) {
  impl_->pressed = std::move(pressed);
  auto& l = listeners();
  if (!l.selected) {
    l.opcode = rawPressOpcode();
    if (l.opcode < 0) return;
    select(true);
    gdk_window_add_filter(nullptr, filter, nullptr);
    l.selected = true;
  }
  l.watches.push_back(&impl_->pressed);
}

Watch::~Watch() {
  auto& l = listeners();
  l.watches.erase(std::remove(l.watches.begin(), l.watches.end(), &impl_->pressed), l.watches.end());
  if (!l.selected || !l.watches.empty()) return;
  gdk_window_remove_filter(nullptr, filter, nullptr);
  select(false);
  l.selected = false;
}

}  // namespace PointerPresses
