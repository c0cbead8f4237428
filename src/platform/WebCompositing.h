#pragma once
// Whether web views should composite on the graphics card. A display without direct rendering
// (a virtual frame buffer, a remote or virtual machine's desktop) leaves only a software
// renderer, whose composited layers go stale behind menus and moved windows: such a display
// gets pages drawn without compositing. Plain values; any thread.

namespace WebCompositing {

// What the running display offers.
struct DisplayFacts {
  bool x11 = false;                // an X display (not Wayland)
  bool directRendering = false;    // the X server offers DRI2 or DRI3
  bool renderNode = false;         // a graphics card's render node that this user may open
  bool softwareRequested = false;  // the person asked the GL library for software rendering
};

// True when compositing on the graphics card is expected to work.
bool acceleratedCompositingWorks(const DisplayFacts& facts);

}  // namespace WebCompositing
