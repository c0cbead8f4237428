#include "PDGoogleAnalytics.h"

#include <chrono>

#include <nlohmann/json.hpp>

#include "canvas/ScriptLiteral.h"
#include "foundation/AppInfo.h"
#include "foundation/AppServices.h"
#include "platform/AppBundleInfo.h"
#include "platform/Defaults.h"
#include "platform/JsonCoder.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"
#include "telemetry/ApplicationActivity.h"
#include "telemetry/HiddenWebPage.h"

namespace {

nlohmann::json orNull(const std::optional<std::string>& text) {
  return text ? nlohmann::json(*text) : nlohmann::json();
}

std::string withoutAppSuffix(std::string name) {
  for (auto at = name.find(".app"); at != std::string::npos; at = name.find(".app")) name.erase(at, 4);
  return name;
}

}  // namespace

PDGoogleAnalytics::Dependencies PDGoogleAnalytics::Dependencies::standard() {
  return Dependencies{
      Defaults::standard(),
      [] { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); },
      [](double seconds, std::function<void()> work) { MainQueue::asyncAfter(seconds, std::move(work)); },
      [] { return ApplicationActivity::isActive(); },
      [] { return AppServices::shared().currentEndpoints().trackingURL.withPath("/analytics.html").absoluteString(); },
      AppBundleInfo::main().string("CFBundleIdentifier").value_or(""),
      withoutAppSuffix(AppInfo::displayName().value_or("")),
      AppInfo::shortVersion(),
  };
}

PDGoogleAnalytics& PDGoogleAnalytics::sharedInstance() {
  static PDGoogleAnalytics* instance =
      new PDGoogleAnalytics(std::make_unique<HiddenWebPage>(), Dependencies::standard());
  return *instance;
}

PDGoogleAnalytics::PDGoogleAnalytics(std::unique_ptr<Page> page, Dependencies dependencies)
    : page_(std::move(page)), deps_(std::move(dependencies)) {
  std::weak_ptr<bool> alive = alive_;
  page_->setEndedHandler([this, alive] {
    if (!alive.expired()) pageEnded();
  });
  reload();  // nothing yet: not enabled
  enabled_ = true;
}

void PDGoogleAnalytics::configureWithSiteId(const std::string& siteId) {
  siteId_ = siteId;
  reload();
}

void PDGoogleAnalytics::reload() {
  if (!enabled_ || !siteId_) return;
  webViewReady_ = false;
  std::weak_ptr<bool> alive = alive_;
  page_->load(deps_.pageURL(), [this, alive] {
    if (!alive.expired()) didFinishLoad();
  });
}

void PDGoogleAnalytics::pageEnded() {
  // `ga` and what it was told went with the page.
  webViewReady_ = false;
  if (!enabled_ || !siteId_ || reloadScheduled_) return;
  if (pageReloads_ >= maximumPageReloads) {
    RWLog("The analytics page ended again; it is not loaded again");
    return;
  }
  ++pageReloads_;
  reloadScheduled_ = true;
  std::weak_ptr<bool> alive = alive_;
  deps_.after(0, [this, alive] {
    if (alive.expired()) return;
    reloadScheduled_ = false;
    reload();
  });
}

void PDGoogleAnalytics::didFinishLoad() {
  pageReloads_ = 0;
  webViewReady_ = true;
  sendAction("create", nlohmann::json::array({*siteId_, "auto"}));
  sendAppInfo();
  auto queued = std::move(queue_);
  queue_.clear();
  for (auto& [function, arguments] : queued) callMethod(function, *arguments);
}

void PDGoogleAnalytics::callMethod(const std::string& function, const nlohmann::json& arguments) {
  if (!enabled_) return;
  if (!webViewReady_) {
    if (queue_.size() >= maximumQueuedCalls) queue_.pop_front();
    queue_.emplace_back(function, std::make_shared<const nlohmann::json>(arguments));
    return;
  }
  std::string script = function + ".apply(window, " + ScriptLiteral::json(arguments) + ")";
  if (debug_) RWLog(script);
  page_->evaluate(script);
}

void PDGoogleAnalytics::sendAction(const std::string& action, nlohmann::json arguments) {
  arguments.insert(arguments.begin(), action);
  callMethod("ga", arguments);
}

void PDGoogleAnalytics::sendAppInfo() {
  sendAction("set", nlohmann::json::array(
                        {{{"appId", deps_.appId}, {"appName", deps_.appName}, {"appVersion", deps_.appVersion}}}));
}

void PDGoogleAnalytics::trackEventWithCategory(const std::optional<std::string>& category,
                                               const std::optional<std::string>& action,
                                               const std::optional<std::string>& label,
                                               const std::optional<nlohmann::json>& value) {
  nlohmann::json hit = {{"hitType", "event"},
                        {"eventCategory", orNull(category)},
                        {"eventAction", orNull(action)},
                        {"eventLabel", orNull(label)},
                        {"eventValue", value ? *value : nlohmann::json()}};
  sendAction("send", nlohmann::json::array({hit}));
}

void PDGoogleAnalytics::trackEvent(const std::string& name, const std::optional<nlohmann::json>& value) {
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    auto bar = name.find('|', start);
    parts.push_back(name.substr(start, bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  if (parts.size() == 2) trackEventWithCategory(parts[0], parts[1], std::nullopt, value);
  if (parts.size() == 3) trackEventWithCategory(parts[0], parts[1], parts[2], value);
}

void PDGoogleAnalytics::trackScreenWithName(const std::string& name) {
  sendAction("send", nlohmann::json::array({"screenview", {{"screenName", name}}}));
}

void PDGoogleAnalytics::trackEvent(const std::string& event, long interval, long checkInterval,
                                   std::function<bool()> conditional) {
  double now = deps_.now();
  double last = deps_.defaults.doubleValue(intervalKey(event));
  if (now - last > double(interval) && (!conditional || conditional())) {
    trackEvent(event, std::nullopt);
    deps_.defaults.setDouble(intervalKey(event), now);
  }
  std::weak_ptr<bool> alive = alive_;
  deps_.after(double(checkInterval), [this, alive, event, interval, checkInterval, conditional] {
    if (!alive.expired()) trackEvent(event, interval, checkInterval, conditional);
  });
}
