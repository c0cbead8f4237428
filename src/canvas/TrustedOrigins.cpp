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

// "/a/b" for "/a/b/", "/a/./b" and "/a/c/../b"; "/" stays.
std::string folderText(const std::filesystem::path& folder) {
  auto normal = folder.lexically_normal();
  if (!normal.has_filename() && normal != normal.root_path()) normal = normal.parent_path();
  return normal.string();
}

// As the page's inside(): the path starts with the folder and a "/".
bool isInside(const std::string& path, const std::string& folder) {
  std::string prefix = folder == "/" ? folder : folder + "/";
  return path.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::optional<std::string> TrustedOrigins::filePath(std::string_view url) {
  std::string text(url);
  GUri* uri = g_uri_parse(text.c_str(), G_URI_FLAGS_ENCODED, nullptr);
  if (!uri) return std::nullopt;
  std::string scheme = lower(g_uri_get_scheme(uri) ? g_uri_get_scheme(uri) : "");
  std::string host = g_uri_get_host(uri) ? g_uri_get_host(uri) : "";
  std::string raw = g_uri_get_path(uri) ? g_uri_get_path(uri) : "";
  g_uri_unref(uri);
  if (scheme != "file" || !host.empty() || raw.empty() || raw.front() != '/') return std::nullopt;
  // The engine reads an encoded "/" in a file's name as a separator; a NUL ends the name.
  for (std::size_t at = raw.find('%'); at != std::string::npos; at = raw.find('%', at + 1)) {
    std::string code = lower(raw.substr(at + 1, 2));
    if (code == "2f" || code == "00") return std::nullopt;
  }
  char* decoded = g_uri_unescape_string(raw.c_str(), nullptr);
  if (!decoded) return std::nullopt;
  std::string path = decoded;
  g_free(decoded);
  if (!g_utf8_validate(path.data(), static_cast<gssize>(path.size()), nullptr)) return std::nullopt;
  std::string segments = path + "/";
  if (segments.find("/./") != std::string::npos || segments.find("/../") != std::string::npos) return std::nullopt;
  return path;
}

void TrustedOrigins::add(Entries& entries, const Grant& grant) {
  for (const auto& url : grant.origins) {
    auto p = parse(url);
    if (!p || p->scheme.empty() || p->host.empty()) continue;
    Origin origin{p->scheme, p->host, p->port};
    if (std::find(entries.origins.begin(), entries.origins.end(), origin) == entries.origins.end())
      entries.origins.push_back(std::move(origin));
  }
  for (const auto& folder : grant.folders) {
    if (folder.empty()) continue;
    auto text = folderText(folder);
    if (std::find(entries.folders.begin(), entries.folders.end(), text) == entries.folders.end())
      entries.folders.push_back(std::move(text));
  }
  for (const auto& address : grant.addresses)
    if (std::find(entries.addresses.begin(), entries.addresses.end(), address) == entries.addresses.end())
      entries.addresses.push_back(address);
}

void TrustedOrigins::change(const std::string& holder, Entries entries) {
  auto it = grants_.find(holder);
  bool empty = entries.origins.empty() && entries.folders.empty() && entries.addresses.empty();
  if (it == grants_.end() ? empty : it->second == entries) return;
  if (empty)
    grants_.erase(it);
  else
    grants_[holder] = std::move(entries);
  ++generation_;
}

void TrustedOrigins::setGrant(const std::string& holder, const Grant& grant) {
  Entries entries;
  add(entries, grant);
  change(holder, std::move(entries));
}

void TrustedOrigins::extendLasting(const Grant& grant) {
  static const std::string lasting;
  Entries entries;
  if (auto it = grants_.find(lasting); it != grants_.end()) entries = it->second;
  add(entries, grant);
  change(lasting, std::move(entries));
}

void TrustedOrigins::addOrigin(std::string_view url) { extendLasting({{std::string(url)}, {}, {}}); }
void TrustedOrigins::addFolder(const std::filesystem::path& folder) { extendLasting({{}, {folder}, {}}); }
void TrustedOrigins::addAddress(std::string_view url) { extendLasting({{}, {}, {std::string(url)}}); }

std::string TrustedOrigins::scriptCondition() const {
  // Read once the document starts, before its own scripts: the page has changed nothing yet.
  std::vector<std::string> tests;
  auto either = [&](const std::string& test) {
    if (std::find(tests.begin(), tests.end(), test) == tests.end()) tests.push_back(test);
  };
  for (const auto& [holder, entries] : grants_) {
    for (const auto& o : entries.origins) {
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
    for (const auto& f : entries.folders) either("inside(" + ScriptLiteral::string(f == "/" ? f : f + "/") + ")");
    for (const auto& a : entries.addresses) either("l.href === " + ScriptLiteral::string(a));
  }
  either("window !== window.top && (l.href === \"about:blank\" || l.href === \"about:srcdoc\")");
  std::string any;
  for (const auto& test : tests) any += (any.empty() ? "(" : " || (") + test + ")";
  // inside() follows filePath(): no host, no encoded "/" or NUL, no dot segment once decoded.
  return "(function (l) {\n"
         "  function inside(folder) {\n"
         "    if (l.protocol !== \"file:\" || l.host !== \"\" || /%2f|%00/i.test(l.pathname)) return false;\n"
         "    var path;\n"
         "    try { path = decodeURIComponent(l.pathname); } catch (e) { return false; }\n"
         "    var segments = path + \"/\";\n"
         "    if (segments.indexOf(\"/./\") >= 0 || segments.indexOf(\"/../\") >= 0) return false;\n"
         "    return path.indexOf(folder) === 0;\n"
         "  }\n"
         "  return " + any + ";\n"
         "})(window.location)";
}

bool TrustedOrigins::contains(std::string_view url) const {
  auto p = parse(url);
  std::optional<std::string> path;
  if (p && p->scheme == "file") path = filePath(url);
  for (const auto& [holder, entries] : grants_) {
    if (std::find(entries.addresses.begin(), entries.addresses.end(), url) != entries.addresses.end()) return true;
    if (!p) continue;
    if (path && std::any_of(entries.folders.begin(), entries.folders.end(),
                            [&](const std::string& f) { return isInside(*path, f); }))
      return true;
    if (p->scheme != "file" && std::any_of(entries.origins.begin(), entries.origins.end(), [&](const Origin& o) {
          return o.scheme == p->scheme && o.port == p->port && sameHost(o.host, p->host);
        }))
      return true;
  }
  return false;
}
