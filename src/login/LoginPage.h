#pragma once
// What the login window makes of the login page: the bridge methods it answers, the addresses of
// the login and offline pages, the scripts it runs in the page, and the checks on what the page
// hands over. Plain functions; any thread.

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

class Url;

namespace LoginPage {

enum class Method {
  domContentLoaded,
  token,
  expired,
  shake,
  retry,
  newsletter,
  create,
  endpoint,
  offline,
  browser,
  finish,
  unknown,
};
Method method(const std::string& name);

// The login page with the query item "mid" after the page's own items.
std::string loginURL(const Url& page, const std::string& machineID);
// The offline page's file address, with "status" and "statusText" when the arguments are an
// object holding a number "status" and a text "statusText".
std::optional<std::string> offlineURL(const std::filesystem::path& page, const nlohmann::json& arguments);

// "window._<name> && window._<name>()"; none for a name that is not an identifier.
std::optional<std::string> ipcScript(const std::string& name);
// Sets window.korvel_cloud_endpoint to the endpoint as a JSON string literal.
std::string endpointScript(const std::string& endpoint);

// The token of a "token" message: text holding a JSON object whose "token" is non-empty text.
std::optional<std::string> token(const nlohmann::json& arguments);
// The address of a "browser" message when it is an http or https address with a host.
std::optional<std::string> browserURL(const nlohmann::json& arguments);
struct NewsletterRequest {
  std::string name;
  std::string email;
};
std::optional<NewsletterRequest> newsletterRequest(const nlohmann::json& arguments);

}  // namespace LoginPage
