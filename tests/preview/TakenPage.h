#pragma once
// A page of another origin that a hosted view is taken to by its own page's code, and what
// reached it from the host there. Shared by the tests of the views' trust.

#include <gtest/gtest.h>
#include <glib.h>

#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "../document/DocumentTestSupport.h"
#include "canvas/WebViewController.h"
#include "platform/RunLoop.h"
#include "platform/WebView.h"
#include "support/BareListener.h"

namespace takenpage {

// A page that notes what reaches it from the host: what the host's start-up scripts leave, the
// host's events and calls, the project's built script. As it starts it runs `first`, which may
// note its own findings in `seen.answers`, then asks the host what an editor or preview page
// asks, and waits to be told to report to its server at `reportTo` (its own when empty).
inline std::string takenPage(const std::string& reportTo = "", const std::string& first = "") {
  return R"(<!doctype html><html><head><meta charset="utf-8"><title>taken</title><script>
(function () {
  'use strict';
  var seen = { globals: [], events: [], calls: [] };
  ['_ipc', '_bridge', 'AppServicesConfig', 'SystemTypefaceDescriptors', 'SystemTypefaceDefaultDescriptor',
   'isTutorial', 'hasDarkAppearance', 'RWColorPresets', 'RWDismissedPropertyPanelHints',
   'UserDefaultsTabContentWidth', 'builtScriptRan'].forEach(function (name) {
    if (name in window) seen.globals.push(name);
  });
  if (document.documentElement.hasAttribute('data-appearance')) seen.globals.push('data-appearance');
)" + first + R"(
  window._ipc = { send: function () {}, on: function () {}, off: function () {},
                  emit: function () { seen.events.push(Array.prototype.slice.call(arguments)); } };
  window._bridge = function (method) { seen.calls.push(method); };
  window.tellWhatCame = function () {
    if (window.builtScriptRan) seen.globals.push('builtScriptRan (later)');
    fetch(')" + reportTo + R"(/report?seen=' + encodeURIComponent(JSON.stringify(seen)));
  };
  var host = window.webkit.messageHandlers._webkit;
  ['DOMContentLoaded', 'DocumentReady', 'ServerStoreData', 'MarketplaceLoaded'].forEach(function (method) {
    host.postMessage(JSON.stringify({ method: method }));
  });
  host.postMessage(JSON.stringify({ method: 'addPackage', arguments: 'left-pad' }));
  host.postMessage(JSON.stringify({ method: 'ApplicationOpenURL', arguments: 'https://taken.example/opened' }));
  window.webkit.messageHandlers.takenAsked.postMessage('asked');
})();
</script></head><body><p>taken</p></body></html>)";
}

// Takes `page`'s view to `address` with a script of its own page, as a project's code may, and
// answers what reached the page there, as it told its server `other`; none if it never told. The
// host's way back, which stops the page at its commit, and any other load of the view from that
// page wait here until the page told, so that the page runs whole and has every chance to get
// what the host sends. The page asks first, then is told to report by a script sent after
// everything the host sent on its messages: the host's answers, if any, have arrived by then.
// `wayBack`, when given, gets the seconds from the host's part at the commit until the view
// showed a page of its own again.
inline std::optional<nlohmann::json> whatReachedATakenPage(WebViewController& page, BareListener& other,
                                                           const std::string& address, double* wayBack = nullptr) {
  auto& view = page.webView();
  auto told = [&] { return other.got("/report"); };
  EXPECT_TRUE(view.addScriptMessageHandler("takenAsked", [&view](const WebView::ScriptMessage&) {
    MainQueue::async([&view] { guitest::runInPage(view, "tellWhatCame()"); });
  }));
  bool taken = false;
  auto hostsPolicy = view.decidePolicy;
  view.decidePolicy = [&, hostsPolicy](const WebView::NavigationAction& action) {
    if (taken && action.url != address) RunLoop::runUntil(told, 60);
    return hostsPolicy ? hostsPolicy(action) : WebView::PolicyDecision::allow;
  };
  // The host turns such a load away at its answer, before it replaces the page; let through
  // here, it stands for a page the view shows anyway (one of its history, kept in memory).
  auto hostsAnswer = view.decideMainFrameResponse;
  view.decideMainFrameResponse = [&, hostsAnswer](const std::string& uri) {
    if (uri == address) return WebView::PolicyDecision::allow;
    return hostsAnswer ? hostsAnswer(uri) : WebView::PolicyDecision::allow;
  };
  auto hostsCommit = view.mainFrameCommitted;
  view.mainFrameCommitted = [&, hostsCommit](const std::string& uri) {
    if (uri == address)
      taken = true;
    else if (hostsCommit)
      hostsCommit(uri);
  };
  guitest::evaluate(view, "location.href = " + nlohmann::json(address).dump() + "; true");
  EXPECT_TRUE(testwait::waitFor([&] { return taken; })) << "the view never showed " << address;
  bool reported = testwait::waitFor(told, 60);
  // What the host does at the commit, now. A load that was held meanwhile may have left already.
  auto start = std::chrono::steady_clock::now();
  if (view.committedURI() == address && hostsCommit) hostsCommit(address);
  // Back on a page of its own.
  EXPECT_TRUE(testwait::waitFor([&] {
    return view.committedURI() != address && page.trustedOrigins().contains(view.committedURI());
  })) << view.committedURI();
  if (wayBack) *wayBack = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  view.decidePolicy = hostsPolicy;
  view.decideMainFrameResponse = hostsAnswer;
  view.mainFrameCommitted = hostsCommit;
  view.removeScriptMessageHandler("takenAsked");
  if (!reported) return std::nullopt;
  for (const auto& r : other.requests) {
    std::string url = r["url"];
    if (url.rfind("/report?seen=", 0) != 0) continue;
    char* text = g_uri_unescape_string(url.c_str() + std::string("/report?seen=").size(), nullptr);
    auto seen = nlohmann::json::parse(text ? text : "", nullptr, false);
    g_free(text);
    return seen;
  }
  return std::nullopt;
}

}  // namespace takenpage
