#pragma once
// The start-up scripts every hosted page gets, read from the resource folder "Scripts":
// "drag-drop-blocker", "bridge-script" (with the services configuration) and
// "appearance-script" (with the dark flag). Main thread only.

#include <optional>
#include <string>
#include <string_view>

namespace HostedPageScripts {

inline constexpr const char* servicesPlaceholder = "/*replace-with*/undefined/*appServicesConfig*/";
inline constexpr const char* darkPlaceholder = "/*replace-with*/undefined/*hasDarkAppearance*/";

// Every occurrence of `placeholder` replaced by `value`.
std::string replacingPlaceholder(std::string text, std::string_view placeholder, std::string_view value);

// None when the resource is missing or unreadable.
std::optional<std::string> dragDropBlocker();
// Empty text when the resource is missing; `servicesJSON` is an object with "store" and "tracking".
std::string bridgeScript(std::string_view servicesJSON);
std::string appearanceScript(bool isDark);

}  // namespace HostedPageScripts
