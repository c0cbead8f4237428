#include "EditorPageURL.h"

#include <glib.h>

#include <algorithm>
#include <cstring>

std::string EditorPageURL::encodeFragment(std::string_view text) {
  static const char* allowed = "-._~!$&'()*+,;=:@/?";
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (g_ascii_isalnum(c) || (c != 0 && std::strchr(allowed, c))) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::optional<std::string> EditorPageURL::build(const std::string& indexURL, const std::optional<std::string>& url,
                                                const std::optional<std::string>& imageBaseURL,
                                                const std::optional<std::string>& projectURL,
                                                std::uint64_t load) {
  GUri* index = g_uri_parse(indexURL.c_str(), G_URI_FLAGS_ENCODED, nullptr);
  if (!index) return std::nullopt;
  g_uri_unref(index);
  std::string base = indexURL.substr(0, std::min(indexURL.find('#'), indexURL.find('?')));
  if (load) base += "?load=" + std::to_string(load);
  std::string fragment = url.value_or("") + separator + imageBaseURL.value_or("") + separator + projectURL.value_or("");
  return base + "#" + encodeFragment(fragment);
}
