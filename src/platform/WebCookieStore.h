#pragma once
// The cookies every web view of the process shares (WebKit's default context). Kept in memory
// only: nothing here asks WebKit for a cookie file, so a session cookie never lands on disk.
// Main thread only; completions run on the main loop.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct WebCookie {
  std::string name;
  std::string value;
  std::string domain;
  std::string path = "/";
  std::optional<std::chrono::system_clock::time_point> expires;
  bool secure = false;
};

class WebCookieStore {
 public:
  static WebCookieStore& shared();

  // The cookies WebKit would send to `url`.
  void cookies(const std::string& url, std::function<void(std::vector<WebCookie>)> completion);
  void add(const WebCookie& cookie, std::function<void(bool added)> completion);
  void remove(const WebCookie& cookie, std::function<void()> completion);

 private:
  WebCookieStore() = default;
};
