#include "ScriptGuard.h"

#include <glib.h>

#include "canvas/ScriptLiteral.h"
#include "canvas/ScriptPrologue.h"

std::optional<std::string> ScriptGuard::committedPage(const std::string& committedURI) {
  if (committedURI.empty()) return std::nullopt;
  GUri* uri = g_uri_parse(committedURI.c_str(), G_URI_FLAGS_ENCODED, nullptr);
  if (!uri) return std::nullopt;
  std::string scheme = g_uri_get_scheme(uri) ? g_uri_get_scheme(uri) : "";
  for (auto& c : scheme) c = static_cast<char>(g_ascii_tolower(c));
  std::string host = g_uri_get_host(uri) ? g_uri_get_host(uri) : "";
  int port = g_uri_get_port(uri);
  std::string path = g_uri_get_path(uri) ? g_uri_get_path(uri) : "";
  g_uri_unref(uri);
  if (scheme.empty()) return std::nullopt;
  std::string condition = "location.protocol === " + ScriptLiteral::string(scheme + ":");
  if (host.empty() || scheme == "file") return condition + " && location.pathname === " + ScriptLiteral::string(path);
  // As the page writes it: brackets round an IPv6 address, the port when the address has one
  // (the engine leaves a scheme's default port out of the addresses it reports).
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  if (port >= 0) host += ":" + std::to_string(port);
  return condition + " && location.host === " + ScriptLiteral::string(host);
}

std::string ScriptGuard::guarded(const std::string& script, const std::string& condition) {
  // A statement of the script's own, after its directives, so that "use strict" and its kind
  // still hold; a block round the script would make its top-level "const" and "let" its own,
  // where later scripts of the host read them. A declaration of nothing leaves the script's
  // value as it was, and throws where the condition fails: destructuring null.
  const std::string check = "var {} = !!(" + condition + ") || null;\n";
  // Text the engine can't read as UTF-8 is no script of its own: nothing to keep.
  if (!g_utf8_validate(script.data(), static_cast<gssize>(script.size()), nullptr)) return check + script;
  // A hashbang comment is read only as the script's very first bytes: it stays there.
  std::size_t head = script.rfind("#!", 0) == 0 ? ScriptPrologue::hashbangEnd(script) : 0;
  std::size_t end = head + ScriptPrologue::end(std::string_view(script).substr(head));
  if (end == 0) return check + script;
  return script.substr(0, end) + "\n" + check + script.substr(end);
}
