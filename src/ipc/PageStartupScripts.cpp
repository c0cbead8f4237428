#include "PageStartupScripts.h"

#include <array>
#include <utility>

#include "canvas/ScriptLiteral.h"

namespace PageStartupScripts {

std::string filledTemplate(std::string_view text, const std::string& proxy, const User& user) {
  const std::array<std::pair<std::string_view, std::string>, 4> values{{
      {"{{ proxy }}", ScriptLiteral::string(proxy)},
      {"{{ userId }}", ScriptLiteral::string(user.id)},
      {"{{ userName }}", ScriptLiteral::string(user.name)},
      {"{{ userEmail }}", ScriptLiteral::string(user.email)},
  }};
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    bool replaced = false;
    if (text[at] == '{') {
      for (const auto& [placeholder, literal] : values) {
        if (text.substr(at, placeholder.size()) == placeholder) {
          out += literal;
          at += placeholder.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out.push_back(text[at++]);
  }
  return out;
}

std::string analyticsScript(const std::string& userId, const std::string& version) {
  return "ga('set', 'userId', " + ScriptLiteral::string(userId) + "); ga('set', 'dimension0', " +
         ScriptLiteral::string(version) +
         "); ga('set', 'dimension1', 0); ga('send', 'pageview', {title: 'Design', location: 'design', page: "
         "'/design'});";
}

}  // namespace PageStartupScripts
