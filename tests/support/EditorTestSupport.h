#pragma once
// What tests of hosted pages share: the toolkit started once, the stand-in editor of the source
// tree in place of the installed one, waits on the main loop and page scripts answered in turn.

#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "foundation/AppInfo.h"
#include "platform/JsonCoder.h"
#include "platform/WebView.h"
#include "support/Wait.h"

namespace guitest {

inline void initGtk() {
  static bool done = [] { return gtk_init_check(nullptr, nullptr); }();
  (void)done;
}

// AppInfo with the editor folder pointed at the source tree's stand-in.
inline void useStandInEditor() {
  auto dir = std::filesystem::path(KORVEL_SOURCE_DIR) / "resources" / "Ostrel";
  AppInfo::setCurrent(std::make_shared<AppInfo>("Korvel", "Korvel", dir));
}

using testwait::waitFor;

// Runs `script` in whatever page `view` shows, past the gate of the view's host, as the page's
// own code would run it.
inline void runInPage(WebView& view, const std::string& script, WebView::ScriptCompletion done = nullptr) {
  auto gate = std::exchange(view.scriptGate, nullptr);
  view.evaluateJavaScript(script, std::move(done));
  view.scriptGate = std::move(gate);
}

// The page's answer to `script` (sent as the host sends its scripts, or with `inPage` as the
// page's own code would run it); none for undefined, an error, or no answer within `timeout`.
inline std::optional<nlohmann::json> evaluate(WebView& view, const std::string& script, double timeout = 30,
                                              bool inPage = false) {
  // Shared with the callback, which may come after a wait that gave up.
  auto answer = std::make_shared<std::optional<std::optional<nlohmann::json>>>();
  WebView::ScriptCompletion done = [answer](std::optional<nlohmann::json> result, std::optional<Error> error) {
    *answer = error ? std::nullopt : std::move(result);
  };
  if (inPage)
    runInPage(view, script, std::move(done));
  else
    view.evaluateJavaScript(script, std::move(done));
  waitFor([&] { return answer->has_value(); }, timeout);
  return answer->has_value() ? **answer : std::nullopt;
}

// The page's value of `expression` as JSON, through JSON.stringify; none when it has none.
inline std::optional<nlohmann::json> read(WebView& view, const std::string& expression) {
  auto text = evaluate(view, "JSON.stringify(" + expression + ")");
  if (!text || !text->is_string()) return std::nullopt;
  auto parsed = JsonCoder::parse(text->get<std::string>());
  return parsed ? std::optional(*parsed) : std::nullopt;
}

// The web processes WebKit runs for this process now.
inline std::set<int> webProcessIds() {
  std::set<int> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    auto name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    // A process may end between the listing and the read; getline turns that into an empty line, where
    // reading the buffer directly throws.
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    auto open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 > text.size()) continue;
    int parent = std::atoi(text.c_str() + text.find(' ', close + 2) + 1);
    if (parent == getpid() && text.compare(open + 1, close - open - 1, "WebKitWebProces") == 0)
      found.insert(std::atoi(text.c_str()));
  }
  return found;
}

// Whether a process not in `before` has come.
inline bool hasNewProcess(const std::set<int>& before, const std::set<int>& now) {
  for (int pid : now)
    if (!before.count(pid)) return true;
  return false;
}

}  // namespace guitest
