#pragma once
// The store's "session" cookie, which carries the sign-in token into the editor's web views.
// It is refreshed before every editor page load and whenever the token changes, so signing
// out removes it. Its value is never written to a log. Main thread only.

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "platform/Url.h"
#include "platform/WebCookieStore.h"

namespace StoreCookie {

inline constexpr const char* name = "session";
inline constexpr auto lifetime = std::chrono::seconds(31'536'000);

std::optional<WebCookie> make(const Url& scope, const std::string& token, std::chrono::system_clock::time_point now);
// A log line for the cookie, without its value.
std::string describe(const WebCookie& cookie);

// Removes every cookie of the scope, then sets the session cookie when there is a token.
void refresh(const Url& scope, const std::optional<std::string>& token, std::function<void()> completion = nullptr);
// The current environment's scope and the signed-in token.
void refresh(std::function<void()> completion = nullptr);
// Once per process: refresh whenever the sign-in token changes.
void followTokenChanges();

}  // namespace StoreCookie
