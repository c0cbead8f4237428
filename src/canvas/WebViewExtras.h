#pragma once
// What hosted pages need of a web view beyond loading: the inspector (shown detached or
// attached to the view's window), rubber-band scrolling, and keeping the pointer visible while
// the user types. Main thread only.

#include <functional>

class WebView;

namespace WebViewExtras {

enum class ScrollElasticity { automatic = 0, none = 1, allowed = 2 };

struct Size {
  double width = 0;
  double height = 0;
};
// The web engine here refuses to attach an inspector to a view narrower than 750 pixels.
inline constexpr Size minimumSizeToAttachInspector{750, 334};

// A view of this size has room for an attached inspector (three quarters of its height must
// still be 250 points, in single precision).
bool canAttachInspector(bool hasInspector, bool isAttached, Size frame);
bool canAttachInspector(const WebView& view);

// Shows the inspector, attached when asked and there is room, then calls `completion`.
// Attaching is asked once the inspector is shown (it can't attach before), every 10 ms for at
// most 0.1 s.
void showInspectorAttached(WebView& view, bool attached, std::function<void()> completion);

// The GTK port has no rubber-banding; the setting is kept so that readers see what was asked.
void setScrollElasticity(WebView& view, ScrollElasticity elasticity);
ScrollElasticity scrollElasticity(const WebView& view);

}  // namespace WebViewExtras

// The pointer stays visible while typing when set; the toolkit never hides it on its own here,
// so the flag is what the editor's request leaves for others to read.
namespace CursorVisibility {
void setKeepVisible(bool keepVisible);
bool keepVisible();
}  // namespace CursorVisibility
