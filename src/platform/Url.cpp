#include "Url.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <glib.h>

std::optional<Url> Url::parse(std::string_view text) {
  std::string s(text);
  GError* err = nullptr;
  GUri* uri = g_uri_parse(s.c_str(), G_URI_FLAGS_ENCODED, &err);
  if (!uri) {
    g_clear_error(&err);
    return std::nullopt;
  }
  Url u;
  u.text_ = s;
  u.scheme_ = g_uri_get_scheme(uri) ? g_uri_get_scheme(uri) : "";
  u.host_ = g_uri_get_host(uri) ? g_uri_get_host(uri) : "";
  u.path_ = g_uri_get_path(uri) ? g_uri_get_path(uri) : "";
  u.query_ = g_uri_get_query(uri) ? g_uri_get_query(uri) : "";
  u.port_ = g_uri_get_port(uri);
  g_uri_unref(uri);
  return u;
}

std::optional<Url> Url::fileURL(const std::filesystem::path& path, bool directory) {
  if (!path.is_absolute()) return std::nullopt;
  char* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  if (!uri) return std::nullopt;
  std::string text = uri;
  g_free(uri);
  if (directory && text.back() != '/') text += '/';
  return parse(text);
}

std::optional<std::filesystem::path> Url::filePath(std::string_view fileURL) {
  std::string text(fileURL);
  char* host = nullptr;
  char* name = g_filename_from_uri(text.c_str(), &host, nullptr);
  bool local = !host || g_ascii_strcasecmp(host, "localhost") == 0;
  g_free(host);
  if (!name || !local) {
    g_free(name);
    return std::nullopt;
  }
  std::filesystem::path out(name);
  g_free(name);
  return out;
}

bool Url::isLoopback() const {
  if (host_ == "localhost") return true;
  std::string host = host_;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

namespace {

// A "%" that starts no escape ("%zz") would make the joined address unparsable: it stands for
// itself.
std::string escapingStrayPercents(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool escape = text[i] == '%' && i + 2 < text.size() && g_ascii_isxdigit(text[i + 1]) && g_ascii_isxdigit(text[i + 2]);
    out += text[i];
    if (text[i] == '%' && !escape) out += "25";
  }
  return out;
}

// The joined address, or `fallback` when even that does not parse.
Url parsedOr(char* joined, const Url& fallback) {
  auto out = joined ? Url::parse(joined) : std::nullopt;
  g_free(joined);
  return out ? *out : fallback;
}

}  // namespace

Url Url::withPath(std::string_view path) const {
  GUri* base = g_uri_parse(text_.c_str(), G_URI_FLAGS_ENCODED, nullptr);
  if (!base) return *this;
  std::string p = escapingStrayPercents(path);
  char* joined = g_uri_join(G_URI_FLAGS_ENCODED, g_uri_get_scheme(base), g_uri_get_userinfo(base), g_uri_get_host(base),
                            g_uri_get_port(base), p.c_str(), g_uri_get_query(base), g_uri_get_fragment(base));
  g_uri_unref(base);
  return parsedOr(joined, *this);
}

Url Url::appendingPathComponent(std::string_view component) const {
  std::string p = path_;
  if (p.empty() || p.back() != '/') p += '/';
  p += component;
  return withPath(p);
}

std::string Url::encodeQueryValue(std::string_view value) {
  std::string text(value);
  char* escaped = g_uri_escape_string(text.c_str(), "!$'()*,;:@/?", FALSE);
  std::string out = escaped ? escaped : "";
  g_free(escaped);
  return out;
}

Url Url::withQuery(std::string_view query) const {
  GUri* base = g_uri_parse(text_.c_str(), G_URI_FLAGS_ENCODED, nullptr);
  if (!base) return *this;
  std::string q = escapingStrayPercents(query);
  char* joined = g_uri_join(G_URI_FLAGS_ENCODED, g_uri_get_scheme(base), g_uri_get_userinfo(base), g_uri_get_host(base),
                            g_uri_get_port(base), g_uri_get_path(base), q.empty() ? nullptr : q.c_str(),
                            g_uri_get_fragment(base));
  g_uri_unref(base);
  return parsedOr(joined, *this);
}
