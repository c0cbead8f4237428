#pragma once
// Opens an address in the desktop's default application (the browser, the mail program).
// Tests put their own handler in place. Main thread only.

#include <functional>
#include <string>

namespace UrlOpener {
void open(const std::string& url);
// Replaces the desktop launcher; an empty handler restores it.
void setHandler(std::function<void(const std::string& url)> handler);
}  // namespace UrlOpener
