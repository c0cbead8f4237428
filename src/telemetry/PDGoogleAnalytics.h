#pragma once
// Web analytics through a hidden page that provides the global command function `ga`: every hit
// becomes one script line `ga.apply(window, [...])`. Hits made before the page's main frame has
// loaded wait, oldest first and at most maximumQueuedCalls of them; each finished load of the
// main frame sends "create" and "set" first. When the page's web process ends, hits wait again
// and the page is loaded anew, which sends "create" and "set" again. Interval events remember when they were last sent
// under the defaults key "PDGoogleAnalytics|" + event. Main thread only.

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json_fwd.hpp>

class Defaults;

class PDGoogleAnalytics {
 public:
  class Page {
   public:
    virtual ~Page() = default;
    // Loads `url` into the main frame; `mainFrameFinished` runs once when that load finished.
    virtual void load(const std::string& url, std::function<void()> mainFrameFinished) = 0;
    virtual void evaluate(const std::string& script) = 0;
    // `ended` runs when the page's web process ended; the page stays blank until it is loaded
    // again, which is best done once the main loop has turned.
    virtual void setEndedHandler(std::function<void()> ended) = 0;
  };

  struct Dependencies {
    Defaults& defaults;
    // Seconds since 1 January 1970.
    std::function<double()> now;
    std::function<void(double seconds, std::function<void()> work)> after;
    std::function<bool()> isApplicationActive;
    // The analytics page: "/analytics.html" at the events host of the current environment.
    std::function<std::string()> pageURL;
    std::string appId, appName, appVersion;
    static Dependencies standard();
  };

  static constexpr std::size_t maximumQueuedCalls = 500;
  // Loads after the page's process ended, without one that finished in between.
  static constexpr int maximumPageReloads = 3;

  static PDGoogleAnalytics& sharedInstance();
  PDGoogleAnalytics(std::unique_ptr<Page> page, Dependencies dependencies);
  PDGoogleAnalytics(const PDGoogleAnalytics&) = delete;
  PDGoogleAnalytics& operator=(const PDGoogleAnalytics&) = delete;

  void configureWithSiteId(const std::string& siteId);
  // "category|action" or "category|action|label"; other names send nothing.
  void trackEvent(const std::string& name, const std::optional<nlohmann::json>& value = std::nullopt);
  void trackEventWithCategory(const std::optional<std::string>& category, const std::optional<std::string>& action,
                              const std::optional<std::string>& label, const std::optional<nlohmann::json>& value);
  void trackScreenWithName(const std::string& name);
  // Sends `event` when more than `interval` seconds passed since it was last sent and
  // `conditional` (when given) agrees; checks again every `checkInterval` seconds for the run.
  void trackEvent(const std::string& event, long interval, long checkInterval, std::function<bool()> conditional);
  bool currentApplicationIsActive() const { return deps_.isApplicationActive(); }

  bool enabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  bool debug() const { return debug_; }
  void setDebug(bool debug) { debug_ = debug; }

  void reload();
  bool isReady() const { return webViewReady_; }
  std::size_t queuedCalls() const { return queue_.size(); }

  static std::string intervalKey(const std::string& event) { return "PDGoogleAnalytics|" + event; }

 private:
  void callMethod(const std::string& function, const nlohmann::json& arguments);
  void sendAction(const std::string& action, nlohmann::json arguments);
  void sendAppInfo();
  void didFinishLoad();
  void pageEnded();

  std::unique_ptr<Page> page_;
  Dependencies deps_;
  std::optional<std::string> siteId_;
  std::deque<std::pair<std::string, std::shared_ptr<const nlohmann::json>>> queue_;
  bool webViewReady_ = false;
  int pageReloads_ = 0;
  bool reloadScheduled_ = false;
  bool debug_ = false;
  bool enabled_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
