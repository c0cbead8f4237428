#include "LoginPage.h"

#include <glib.h>

#include <map>

#include <nlohmann/json.hpp>

#include "platform/JsonCoder.h"
#include "platform/Url.h"

namespace {

std::string appendQueryItem(const std::string& url, const std::string& item) {
  auto hash = url.find('#');
  std::string head = url.substr(0, hash);
  std::string fragment = hash == std::string::npos ? "" : url.substr(hash);
  char separator = head.find('?') == std::string::npos ? '?' : (head.back() == '?' || head.back() == '&' ? '\0' : '&');
  if (separator) head += separator;
  return head + item + fragment;
}

bool isIdentifier(const std::string& name) {
  if (name.empty() || g_ascii_isdigit(name[0])) return false;
  for (char c : name)
    if (!g_ascii_isalnum(c) && c != '_' && c != '$') return false;
  return true;
}

}  // namespace

LoginPage::Method LoginPage::method(const std::string& name) {
  static const std::map<std::string, Method> methods = {
      {"DOMContentLoaded", Method::domContentLoaded},
      {"token", Method::token},
      {"expired", Method::expired},
      {"shake", Method::shake},
      {"retry", Method::retry},
      {"newsletter", Method::newsletter},
      {"create", Method::create},
      {"endpoint", Method::endpoint},
      {"offline", Method::offline},
      {"browser", Method::browser},
      {"finish", Method::finish},
  };
  auto it = methods.find(name);
  return it == methods.end() ? Method::unknown : it->second;
}

std::string LoginPage::loginURL(const Url& page, const std::string& machineID) {
  return appendQueryItem(page.absoluteString(), "mid=" + Url::encodeQueryValue(machineID));
}

std::optional<std::string> LoginPage::offlineURL(const std::filesystem::path& page, const nlohmann::json& arguments) {
  char* uri = g_filename_to_uri(std::filesystem::absolute(page).c_str(), nullptr, nullptr);
  if (!uri) return std::nullopt;
  std::string url = uri;
  g_free(uri);
  if (!arguments.is_object() || arguments.empty()) return url;
  auto status = arguments.find("status");
  auto statusText = arguments.find("statusText");
  if (status == arguments.end() || !status->is_number() || statusText == arguments.end() || !statusText->is_string())
    return url;
  return url + "?status=" + Url::encodeQueryValue(JsonCoder::dump(*status)) +
         "&statusText=" + Url::encodeQueryValue(statusText->get<std::string>());
}

std::optional<std::string> LoginPage::ipcScript(const std::string& name) {
  if (!isIdentifier(name)) return std::nullopt;
  return "window._" + name + " && window._" + name + "()";
}

std::string LoginPage::endpointScript(const std::string& endpoint) {
  std::string literal = JsonCoder::dump(nlohmann::json(endpoint));
  // Line and paragraph separators end a string literal in older engines.
  for (auto [from, to] : {std::pair{"\u2028", "\\u2028"}, std::pair{"\u2029", "\\u2029"}}) {
    for (auto pos = literal.find(from); pos != std::string::npos; pos = literal.find(from, pos))
      literal.replace(pos, std::string_view(from).size(), to);
  }
  return "window.korvel_cloud_endpoint=" + literal;
}

std::optional<std::string> LoginPage::token(const nlohmann::json& arguments) {
  if (!arguments.is_string()) return std::nullopt;
  auto parsed = JsonCoder::parse(arguments.get<std::string>());
  if (!parsed || !parsed->is_object()) return std::nullopt;
  auto it = parsed->find("token");
  if (it == parsed->end() || !it->is_string() || it->get<std::string>().empty()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<std::string> LoginPage::browserURL(const nlohmann::json& arguments) {
  if (!arguments.is_string()) return std::nullopt;
  auto url = Url::parse(arguments.get<std::string>());
  if (!url || url->host().empty()) return std::nullopt;
  std::string scheme = url->scheme();
  for (auto& c : scheme) c = static_cast<char>(g_ascii_tolower(c));
  if (scheme != "http" && scheme != "https") return std::nullopt;
  return url->absoluteString();
}

std::optional<LoginPage::NewsletterRequest> LoginPage::newsletterRequest(const nlohmann::json& arguments) {
  if (!arguments.is_object()) return std::nullopt;
  auto name = arguments.find("name");
  auto email = arguments.find("email");
  if (name == arguments.end() || !name->is_string() || email == arguments.end() || !email->is_string())
    return std::nullopt;
  return NewsletterRequest{name->get<std::string>(), email->get<std::string>()};
}
