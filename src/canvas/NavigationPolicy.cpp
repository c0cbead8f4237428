#include "NavigationPolicy.h"

#include <glib.h>

namespace {

std::string schemeOf(const std::string& url) {
  char* scheme = g_uri_parse_scheme(url.c_str());
  if (!scheme) return "";
  std::string out = scheme;
  g_free(scheme);
  for (auto& c : out) c = static_cast<char>(g_ascii_tolower(c));
  return out;
}

// Blank pages carry nothing of their own; frames use them as placeholders.
bool isInert(const std::string& url) { return url == "about:blank" || url == "about:srcdoc"; }

NavigationPolicy::Decision refuse(const std::string& url) {
  NavigationPolicy::Decision d;
  d.allow = false;
  if (NavigationPolicy::isOpenableExternally(url)) d.openExternally = url;
  return d;
}

}  // namespace

bool NavigationPolicy::isOpenableExternally(const std::string& url) {
  std::string scheme = schemeOf(url);
  if (scheme != "http" && scheme != "https" && scheme != "mailto") return false;
  GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED, nullptr);
  if (!uri) return false;
  bool ok = scheme == "mailto" || (g_uri_get_host(uri) && *g_uri_get_host(uri));
  g_uri_unref(uri);
  return ok;
}

NavigationPolicy::Decision NavigationPolicy::decide(const WebView::NavigationAction& action,
                                                    const TrustedOrigins& trusted, bool openLinksInSystemBrowser) {
  if (action.url.empty() || !openLinksInSystemBrowser) return {};
  if (isInert(action.url) || trusted.contains(action.url)) return {};
  bool byUser = action.type == WebView::NavigationType::linkActivated ||
                action.type == WebView::NavigationType::formSubmitted;
  if (byUser) return refuse(action.url);
  // Loads of embedded frames, scripts and redirects go on; a main frame is checked when it commits.
  return {};
}

NavigationPolicy::Decision NavigationPolicy::mainFrameDecision(const std::string& url, const TrustedOrigins& trusted,
                                                               bool openLinksInSystemBrowser) {
  if (url.empty() || !openLinksInSystemBrowser) return {};
  if (isInert(url) || trusted.contains(url)) return {};
  return refuse(url);
}

std::optional<std::string> NavigationPolicy::newWindowDecision(const WebView::NavigationAction& action) {
  if (isOpenableExternally(action.url)) return action.url;
  return std::nullopt;
}
