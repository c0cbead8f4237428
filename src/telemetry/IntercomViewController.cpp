#include "IntercomViewController.h"

#include <chrono>

#include <nlohmann/json.hpp>

#include "account/LoginController.h"
#include "canvas/WebViewController.h"
#include "foundation/AppInfo.h"
#include "platform/FileSystem.h"
#include "platform/JsonCoder.h"
#include "platform/RWLog.h"
#include "platform/Resources.h"
#include "platform/Url.h"
#include "platform/UrlOpener.h"
#include "telemetry/HardwareModel.h"
#include "ui/PopoverBackgroundView.h"

namespace {

// "<", ">" and "&" would let a value end the script or start markup in the HTML around it;
// U+2028 and U+2029 end a script line in older engines.
std::string htmlSafe(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  for (std::size_t i = 0; i < json.size(); ++i) {
    char c = json[i];
    if (c == '<') {
      out += "\\u003c";
    } else if (c == '>') {
      out += "\\u003e";
    } else if (c == '&') {
      out += "\\u0026";
    } else if (static_cast<unsigned char>(c) == 0xE2 && i + 2 < json.size() &&
               static_cast<unsigned char>(json[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(json[i + 2]) == 0xA8 || static_cast<unsigned char>(json[i + 2]) == 0xA9)) {
      out += static_cast<unsigned char>(json[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

bool isWebAddress(const std::string& text) {
  auto url = Url::parse(text);
  if (!url || url->host().empty()) return false;
  std::string scheme = url->scheme();
  for (auto& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return scheme == "http" || scheme == "https";
}

}  // namespace

// The messaging service's own script runs here: it shares a web process with the other
// third-party pages only, never with the editor's bridge or the sign-in page.
IntercomViewController::IntercomViewController()
    : webViewController_(WebViewController::create(false, WebViewController::PageProcess::thirdParty)) {}

IntercomViewController::~IntercomViewController() {
  sendScript("window.Intercom('shutdown')");
  webViewController_->cleanup();
  releaseView();
}

GtkWidget* IntercomViewController::view() const {
  return view_ ? view_->widget() : nullptr;
}

void IntercomViewController::sendScript(const std::string& script) {
  webViewController_->evaluateJavaScript(script);
}

nlohmann::json IntercomViewController::settings(const LoginController& login) {
  const auto& user = login.userInfo();
  long long created = 0;
  if (auto date = login.userCreatedDate())
    created = std::chrono::duration_cast<std::chrono::seconds>(date->time_since_epoch()).count();
  return {
      {"app_id", "wrhplbzc"},
      {"hide_default_launcher", true},
      {"user_id", user ? user->email : ""},
      {"korvel_user_id", user ? user->id : ""},
      {"name", login.userFullName().value_or("")},
      {"email", user ? user->email : ""},
      {"created_at", created},
      {"app_version", AppInfo::shortVersion()},
      {"os_version", AppInfo::operatingSystemVersion()},
      {"webkit_version", AppInfo::webkitVersion()},
      {"device", HardwareModel::name()},
      {"korvel_x", true},
  };
}

std::string IntercomViewController::fillTemplate(const std::string& templateText, const nlohmann::json& settings) {
  std::string json = htmlSafe(JsonCoder::dump(settings, JsonCoder::Style::pretty));
  std::string out;
  std::size_t start = 0;
  for (auto at = templateText.find(placeholder); at != std::string::npos;
       start = at + std::string_view(placeholder).size(), at = templateText.find(placeholder, start)) {
    out.append(templateText, start, at - start);
    out += json;
  }
  out.append(templateText, start);
  return out;
}

std::string IntercomViewController::pageTemplate(const LoginController& login) const {
  auto text = fs::readText(Resources::path("intercom", "html", "Intercom"));
  if (!text) return "";
  return fillTemplate(*text, settings(login));
}

void IntercomViewController::handleIntercomUnreadChange(const nlohmann::json& arguments) {
  if (!arguments.is_object()) return;
  auto count = arguments.find("count");
  if (count == arguments.end() || !count->is_number()) return;
  double value = count->get<double>();
  // A count beyond what a long holds is no count.
  if (!(value >= -9.2e18 && value <= 9.2e18)) return;
  if (delegate) delegate->intercomUnreadCountDidChange(count->is_number_float() ? long(value) : count->get<long>());
}

void IntercomViewController::handleBridgeMessage(const std::string& method, const nlohmann::json& arguments) {
  if (method == "IntercomUnreadChange") {
    handleIntercomUnreadChange(arguments);
  } else if (method == "IntercomDidHide") {
    if (delegate) delegate->intercomDidHide();
  } else if (method == "IntercomDidLoad") {
    if (delegate) delegate->intercomDidLoad();
  } else if (method == "openUrl") {
    if (arguments.is_string() && isWebAddress(arguments.get<std::string>()))
      UrlOpener::open(arguments.get<std::string>());
  } else if (method != "DOMContentLoaded") {
    RWLog("Bridge called " + method + ", " + JsonCoder::dump(arguments));
  }
}
