#pragma once
// Where a hosted page may go. Links the user follows and forms the user sends to an origin the
// page does not trust open in the desktop's browser instead; WebKitGTK does not say which frame
// a navigation comes from, so the main frame is checked again when its load commits
// (mainFrameDecision). Only http, https and mailto addresses are ever handed to the desktop.

#include <optional>
#include <string>

#include "canvas/TrustedOrigins.h"
#include "platform/WebView.h"

namespace NavigationPolicy {

struct Decision {
  bool allow = true;
  std::optional<std::string> openExternally;
};

Decision decide(const WebView::NavigationAction& action, const TrustedOrigins& trusted, bool openLinksInSystemBrowser);
// A main-frame load that committed to `url`: undone when untrusted.
Decision mainFrameDecision(const std::string& url, const TrustedOrigins& trusted, bool openLinksInSystemBrowser);
// A request for a new window, which never gets one: the address to open, if any.
std::optional<std::string> newWindowDecision(const WebView::NavigationAction& action);

// http, https and mailto addresses, which the desktop may open for a page.
bool isOpenableExternally(const std::string& url);

}  // namespace NavigationPolicy
