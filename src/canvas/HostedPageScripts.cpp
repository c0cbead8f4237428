#include "HostedPageScripts.h"

#include "platform/FileSystem.h"
#include "platform/Resources.h"

namespace {
std::optional<std::string> readScript(const char* name) {
  auto text = fs::readText(Resources::path(name, "js", "Scripts"));
  if (!text) return std::nullopt;
  return std::move(*text);
}
}  // namespace

std::string HostedPageScripts::replacingPlaceholder(std::string text, std::string_view placeholder,
                                                    std::string_view value) {
  if (placeholder.empty()) return text;
  for (std::size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size()))
    text.replace(at, placeholder.size(), value);
  return text;
}

std::optional<std::string> HostedPageScripts::dragDropBlocker() { return readScript("drag-drop-blocker"); }

std::string HostedPageScripts::bridgeScript(std::string_view servicesJSON) {
  return replacingPlaceholder(readScript("bridge-script").value_or(""), servicesPlaceholder, servicesJSON);
}

std::string HostedPageScripts::appearanceScript(bool isDark) {
  return replacingPlaceholder(readScript("appearance-script").value_or(""), darkPlaceholder, isDark ? "true" : "false");
}
