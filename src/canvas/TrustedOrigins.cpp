#include "TrustedOrigins.h"

#include <glib.h>

#include <algorithm>
#include <optional>

#include "canvas/ScriptLiteral.h"

namespace {

struct Parts {
  std::string scheme, host;
  int port = -1;
};

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(g_ascii_tolower(c)); });
  return s;
}

std::optional<Parts> parse(std::string_view url) {
  std::string text(url);
  GUri* uri = g_uri_parse(text.c_str(), G_URI_FLAGS_ENCODED, nullptr);
  if (!uri) return std::nullopt;
  Parts p;
  p.scheme = lower(g_uri_get_scheme(uri) ? g_uri_get_scheme(uri) : "");
  p.host = lower(g_uri_get_host(uri) ? g_uri_get_host(uri) : "");
  p.port = g_uri_get_port(uri);
  g_uri_unref(uri);
  if (p.port < 0) p.port = p.scheme == "https" || p.scheme == "wss" ? 443 : (p.scheme == "http" || p.scheme == "ws" ? 80 : -1);
  if (p.host.size() > 2 && p.host.front() == '[' && p.host.back() == ']') p.host = p.host.substr(1, p.host.size() - 2);
  return p;
}

bool isLoopbackName(const std::string& host) { return host == "localhost" || host == "127.0.0.1" || host == "::1"; }

bool sameHost(const std::string& a, const std::string& b) {
  return a == b || (isLoopbackName(a) && isLoopbackName(b));
}

std::optional<std::filesystem::path> filePath(std::string_view url) {
  std::string text(url);
  if (auto hash = text.find('#'); hash != std::string::npos) text.erase(hash);
  if (auto query = text.find('?'); query != std::string::npos) text.erase(query);
  char* name = g_filename_from_uri(text.c_str(), nullptr, nullptr);
  if (!name) return std::nullopt;
  std::filesystem::path path = std::filesystem::path(name).lexically_normal();
  g_free(name);
  return path;
}

bool isInside(const std::filesystem::path& path, const std::filesystem::path& folder) {
  auto f = folder.begin();
  auto p = path.begin();
  for (; f != folder.end(); ++f, ++p) {
    if (f->empty()) continue;  // a trailing separator
    if (p == path.end() || *p != *f) return false;
  }
  return true;
}

}  // namespace

void TrustedOrigins::addOrigin(std::string_view url) {
  auto p = parse(url);
  if (!p || p->scheme.empty() || p->host.empty()) return;
  if (std::any_of(origins_.begin(), origins_.end(), [&](const Origin& o) {
        return o.scheme == p->scheme && o.host == p->host && o.port == p->port;
      }))
    return;
  origins_.push_back({p->scheme, p->host, p->port});
  ++generation_;
}

void TrustedOrigins::addFolder(const std::filesystem::path& folder) {
  if (folder.empty()) return;
  auto normal = folder.lexically_normal();
  if (!normal.has_filename() && normal != normal.root_path()) normal = normal.parent_path();  // "/a/b/" is "/a/b"
  if (std::find(folders_.begin(), folders_.end(), normal) != folders_.end()) return;
  folders_.push_back(std::move(normal));
  ++generation_;
}

void TrustedOrigins::addAddress(std::string_view url) {
  if (std::find(addresses_.begin(), addresses_.end(), url) != addresses_.end()) return;
  addresses_.emplace_back(url);
  ++generation_;
}

std::string TrustedOrigins::scriptCondition() const {
  // Read once the document starts, before its own scripts: the page has changed nothing yet.
  std::string any;
  auto either = [&](const std::string& test) { any += (any.empty() ? "" : " || ") + ("(" + test + ")"); };
  for (const auto& o : origins_) {
    auto name = [](const std::string& host) {
      return ScriptLiteral::string(host.find(':') != std::string::npos ? "[" + host + "]" : host);
    };
    std::string host = "l.hostname === " + name(o.host);
    if (isLoopbackName(o.host))
      host = "l.hostname === " + name("localhost") + " || l.hostname === " + name("127.0.0.1") +
             " || l.hostname === " + name("::1");
    bool standard = o.port < 0 || (o.port == 80 && (o.scheme == "http" || o.scheme == "ws")) ||
                    (o.port == 443 && (o.scheme == "https" || o.scheme == "wss"));
    either("l.protocol === " + ScriptLiteral::string(o.scheme + ":") + " && (" + host + ") && l.port === " +
           ScriptLiteral::string(standard ? "" : std::to_string(o.port)));
  }
  for (const auto& f : folders_) {
    std::string prefix = f.string();
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    either("l.protocol === \"file:\" && inside(" + ScriptLiteral::string(prefix) + ")");
  }
  for (const auto& a : addresses_) either("l.href === " + ScriptLiteral::string(a));
  either("window !== window.top && (l.href === \"about:blank\" || l.href === \"about:srcdoc\")");
  return "(function (l) {\n"
         "  function inside(folder) {\n"
         "    try { return decodeURIComponent(l.pathname).indexOf(folder) === 0; } catch (e) { return false; }\n"
         "  }\n"
         "  return " + any + ";\n"
         "})(window.location)";
}

bool TrustedOrigins::contains(std::string_view url) const {
  if (std::find(addresses_.begin(), addresses_.end(), url) != addresses_.end()) return true;
  auto p = parse(url);
  if (!p) return false;
  if (p->scheme == "file") {
    auto path = filePath(url);
    if (!path) return false;
    return std::any_of(folders_.begin(), folders_.end(), [&](const auto& f) { return isInside(*path, f); });
  }
  return std::any_of(origins_.begin(), origins_.end(), [&](const Origin& o) {
    return o.scheme == p->scheme && o.port == p->port && sameHost(o.host, p->host);
  });
}
