#pragma once
// The scripts the editor page runs once its content has loaded: the crash-report set-up filled
// from its template, and the analytics page view. Every value goes in as a JSON string literal,
// so a name with quotes or "</script>" stays a name. Any thread.

#include <string>
#include <string_view>

namespace PageStartupScripts {

// Empty texts for what is not known.
struct User {
  std::string id;
  std::string name;
  std::string email;
};

// Replaces every "{{ proxy }}", "{{ userId }}", "{{ userName }}" and "{{ userEmail }}" of the
// template text; text put in is never searched for placeholders again.
std::string filledTemplate(std::string_view templateText, const std::string& proxy, const User& user);

// The page view of the design, for the user with `userId` (empty when signed out).
std::string analyticsScript(const std::string& userId, const std::string& version);

}  // namespace PageStartupScripts
