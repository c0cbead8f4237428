#include "WebViewExtras.h"

#include <chrono>
#include <memory>

#include "platform/RunLoop.h"
#include "platform/WebView.h"

namespace {

bool keepVisibleFlag = false;

void waitWhileInspectorAttaches(WebView* view, std::chrono::steady_clock::time_point deadline,
                                std::function<void()> completion) {
  if (!view->isInspectorAttached() && std::chrono::steady_clock::now() <= deadline) {
    view->attachInspector();
    MainQueue::asyncAfter(0.01, [view, alive = view->lifetime(), deadline, completion = std::move(completion)]() mutable {
      if (alive.expired()) {
        if (completion) completion();
        return;
      }
      waitWhileInspectorAttaches(view, deadline, std::move(completion));
    });
    return;
  }
  if (completion) completion();
}

}  // namespace

bool WebViewExtras::canAttachInspector(bool hasInspector, bool isAttached, Size frame) {
  if (!hasInspector) return false;
  if (isAttached) return true;
  return frame.width >= minimumSizeToAttachInspector.width && static_cast<float>(frame.height * 0.75) >= 250.0f;
}

bool WebViewExtras::canAttachInspector(const WebView& view) {
  return canAttachInspector(view.developerExtrasEnabled(), view.isInspectorAttached(),
                            {static_cast<double>(view.width()), static_cast<double>(view.height())});
}

void WebViewExtras::showInspectorAttached(WebView& view, bool attached, std::function<void()> completion) {
  if (!view.developerExtrasEnabled()) {
    if (completion) completion();
    return;
  }
  if (attached && canAttachInspector(view)) {
    view.showInspector();
    waitWhileInspectorAttaches(&view, std::chrono::steady_clock::now() + std::chrono::milliseconds(100),
                               std::move(completion));
    return;
  }
  view.detachInspector();
  view.showInspector();
  if (completion) completion();
}

void WebViewExtras::setScrollElasticity(WebView& view, ScrollElasticity elasticity) {
  view.setRubberBanding(elasticity != ScrollElasticity::none);
}

WebViewExtras::ScrollElasticity WebViewExtras::scrollElasticity(const WebView& view) {
  return view.rubberBanding() ? ScrollElasticity::allowed : ScrollElasticity::none;
}

void CursorVisibility::setKeepVisible(bool keepVisible) { keepVisibleFlag = keepVisible; }
bool CursorVisibility::keepVisible() { return keepVisibleFlag; }
