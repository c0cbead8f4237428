#include "KorvelTracking.h"

#include <sys/utsname.h>

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "account/LoginController.h"
#include "canvas/ScriptLiteral.h"
#include "foundation/AppServices.h"
#include "foundation/SharedNames.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "platform/Uuid.h"
#include "telemetry/HardwareModel.h"
#include "telemetry/HiddenWebPage.h"
#include "telemetry/KorvelUsageTimer.h"
#include "telemetry/KorvelUsageTimerHR.h"

namespace {

std::string operatingSystemVersion() {
  utsname u{};
  long major = 0, minor = 0, patch = 0;
  if (uname(&u) == 0) std::sscanf(u.release, "%ld.%ld.%ld", &major, &minor, &patch);
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

bool allFinite(const nlohmann::json& value) {
  if (value.is_number_float()) return std::isfinite(value.get<double>());
  if (value.is_structured())
    for (const auto& item : value)
      if (!allFinite(item)) return false;
  return true;
}

nlohmann::json dictionaryOrEmpty(const nlohmann::json& data) {
  return data.is_object() ? data : nlohmann::json::object();
}

}  // namespace

KorvelTracking::Dependencies KorvelTracking::Dependencies::standard() {
  return Dependencies{
      Defaults::standard(),
      LoginController::shared(),
      [] { return AppServices::shared().currentEndpoints().trackingURL; },
      []() -> std::optional<std::string> {
        auto text = fs::readText(Resources::path("korvel-tracking-webclient", "js"));
        if (!text) return std::nullopt;
        return std::move(*text);
      },
      [](std::string_view line) { std::printf("%.*s\n", static_cast<int>(line.size()), line.data()); },
      HardwareModel::name(),
      // The serial number is readable only by root here.
      "",
      operatingSystemVersion(),
      [](std::function<void()> work) { MainQueue::async(std::move(work)); },
  };
}

KorvelTracking& KorvelTracking::shared() {
  static KorvelTracking* tracker = new KorvelTracking(std::make_unique<HiddenWebPage>(), Dependencies::standard());
  static const bool timersStarted = [] {
    if (tracker->state() == State::disabled) return false;
    KorvelUsageTimer::shared();
    KorvelUsageTimerHR::shared();
    return true;
  }();
  (void)timersStarted;
  return *tracker;
}

KorvelTracking::KorvelTracking(std::unique_ptr<Page> page, Dependencies dependencies)
    : page_(std::move(page)), deps_(std::move(dependencies)) {
  activityTrackingOnly_ = deps_.defaults.boolValue(UserDefaultsDataCollectionDisabledKey);
  if (deps_.defaults.boolValue(UserDefaultsTrackingDisabledKey)) {
    state_ = State::disabled;
    deps_.writeLine("Tracking disabled");
    return;
  }
  std::weak_ptr<bool> alive = alive_;
  page_->setEndedHandler([this, alive] {
    if (!alive.expired()) pageEnded();
  });
  loadPage();
}

void KorvelTracking::loadPage() {
  std::weak_ptr<bool> alive = alive_;
  auto generation = ++pageGeneration_;
  page_->loadEmptyPage(deps_.trackingURL().absoluteString(), [this, alive, generation] {
    if (!alive.expired() && generation == pageGeneration_) didFinishLoad();
  });
}

void KorvelTracking::pageEnded() {
  if (state_ == State::disabled) return;
  // The client went with the page: nothing counts as set up until the new page is, and
  // answers of the old page are stale.
  state_ = State::loading;
  ++pageGeneration_;
  if (!scriptStack_.empty()) evaluateTrackingScript();
  if (reloadScheduled_) return;
  if (pageReloads_ >= maximumPageReloads) {
    deps_.writeLine("The tracking page ended again; it is not loaded again");
    return;
  }
  ++pageReloads_;
  reloadScheduled_ = true;
  std::weak_ptr<bool> alive = alive_;
  auto reload = [this, alive] {
    if (alive.expired()) return;
    reloadScheduled_ = false;
    loadPage();
  };
  if (deps_.later)
    deps_.later(std::move(reload));
  else
    reload();
}

void KorvelTracking::queue(std::string line) {
  if (scriptStack_.size() >= maximumQueuedLines) scriptStack_.pop_front();
  scriptStack_.push_back(std::move(line));
}

void KorvelTracking::didFinishLoad() {
  if (state_ != State::loadingNeedsEvaluate) {
    if (state_ == State::loading) {
      state_ = State::loaded;
      pageReloads_ = 0;
    }
    return;
  }
  if (auto script = getTrackingScript()) {
    evaluateSetUp(*script);
  } else {
    state_ = State::loaded;
    deps_.writeLine("Error: Failed to load Korvel Tracking script");
  }
}

void KorvelTracking::evaluateTrackingScript() {
  if (state_ == State::loading) {
    state_ = State::loadingNeedsEvaluate;
  } else if (state_ == State::loaded) {
    if (auto script = getTrackingScript())
      evaluateSetUp(*script);
    else
      deps_.writeLine("Error: Failed to load Korvel Tracking script");
  }
}

void KorvelTracking::evaluateSetUp(const std::string& script) {
  state_ = State::evaluating;
  std::weak_ptr<bool> alive = alive_;
  page_->evaluate(script, [this, alive, generation = pageGeneration_](std::optional<Error> error) {
    if (alive.expired() || generation != pageGeneration_) return;
    if (error) {
      state_ = State::loaded;
      deps_.writeLine("Failed to set up Korvel Tracking: " + error->message);
      return;
    }
    state_ = State::ready;
    pageReloads_ = 0;
    evaluatePendingScripts();
  });
}

void KorvelTracking::evaluatePendingScripts() {
  if (scriptStack_.empty()) return;
  std::string batch;
  for (const auto& line : scriptStack_) batch += (batch.empty() ? "" : ";\n") + line;
  auto lines = std::make_shared<std::deque<std::string>>(std::move(scriptStack_));
  scriptStack_.clear();
  std::weak_ptr<bool> alive = alive_;
  page_->evaluate(batch, [this, alive, lines, generation = pageGeneration_](std::optional<Error> error) {
    if (alive.expired() || !error) return;
    afterFailure(generation, [this, lines, message = error->message](PageFate fate) {
      // The page ended under the batch: the next page runs it.
      if (fate != PageFate::alive) return requeue(std::move(*lines), fate == PageFate::replaced);
      deps_.writeLine("Failed to run pending scripts: " + message);
    });
  });
}

std::optional<std::string> KorvelTracking::getTrackingScript() const {
  auto client = deps_.clientScript();
  if (!client) return std::nullopt;
  return *client + "\nconst tracker = korvelTracking({ sourceName: 'korvel-x', trackingUrl: " +
         ScriptLiteral::string(deps_.trackingURL().absoluteString()) + "});";
}

bool KorvelTracking::isValidJSONObject(const nlohmann::json& value) {
  return value.is_structured() && allFinite(value);
}

void KorvelTracking::call(const std::string& method, const nlohmann::json& payload) {
  if (state_ == State::disabled) return;
  if (!isValidJSONObject(payload)) return;
  std::string line = "void tracker." + method + "(" + ScriptLiteral::json(addContextToPayload(payload)) + ");";
  send(std::move(line));
}

void KorvelTracking::send(std::string line) {
  if (state_ != State::ready) {
    queue(std::move(line));
    evaluateTrackingScript();
    return;
  }
  std::weak_ptr<bool> alive = alive_;
  page_->evaluate(line, [this, alive, line, generation = pageGeneration_](std::optional<Error> error) {
    if (alive.expired() || !error) return;
    afterFailure(generation, [this, line, message = error->message](PageFate fate) {
      // The page ended before it ran the line: the next page runs it.
      if (fate != PageFate::alive) return requeue({line}, fate == PageFate::replaced);
      deps_.writeLine("Error: Failed Korvel Tracking call: " + message + "\n" + line);
    });
  });
}

void KorvelTracking::afterFailure(std::uint64_t generation, std::function<void(PageFate)> decide) {
  if (generation != pageGeneration_) return decide(PageFate::replaced);
  // WebKit fails the scripts of a page whose process was killed before it tells that the process
  // ended, which may come many turns of the main loop later. A script of nothing tells them
  // apart: a live page runs it, an ending one fails it too.
  std::weak_ptr<bool> alive = alive_;
  page_->evaluate("void 0", [this, alive, generation, decide = std::move(decide)](std::optional<Error> error) {
    if (alive.expired()) return;
    if (generation != pageGeneration_) return decide(PageFate::replaced);
    decide(error ? PageFate::ending : PageFate::alive);
  });
}

void KorvelTracking::requeue(std::deque<std::string> lines, bool now) {
  // Older than what came since: they go first, as far as the bound lets them.
  for (auto line = lines.rbegin(); line != lines.rend() && scriptStack_.size() < maximumQueuedLines; ++line)
    scriptStack_.push_front(std::move(*line));
  // An ending page's lines wait for the next page, which its end starts.
  if (!now) return;
  if (state_ == State::ready)
    evaluatePendingScripts();
  else
    evaluateTrackingScript();
}

bool KorvelTracking::dropsEvent(const std::string& event) const {
  return state_ == State::disabled || (activityTrackingOnly_ && event.rfind("active", 0) != 0);
}

void KorvelTracking::track(const std::string& event, const nlohmann::json& data) {
  if (dropsEvent(event)) return;
  if (auto user = deps_.login.userInfo()) {
    track(user->id, event, data);
    return;
  }
  if (!anonymousId_) anonymousId_ = Uuid::random().string();
  nlohmann::json payload = dictionaryOrEmpty(data);
  payload["anonymousId"] = *anonymousId_;
  payload["event"] = event;
  call("track", payload);
}

void KorvelTracking::track(const std::string& userId, const std::string& event, const nlohmann::json& data) {
  if (dropsEvent(event)) return;
  nlohmann::json payload = dictionaryOrEmpty(data);
  payload["userId"] = userId;
  payload["event"] = event;
  call("track", payload);
}

void KorvelTracking::identify(const std::string& userId, const nlohmann::json& data) {
  // Who the user is counts as collected data: nothing of it goes out after the user said no.
  if (state_ == State::disabled || activityTrackingOnly_) return;
  nlohmann::json payload = dictionaryOrEmpty(data);
  payload["userId"] = userId;
  if (auto created = deps_.login.userCreatedDate())
    payload["created"] = std::chrono::duration<double>(created->time_since_epoch()).count();
  else
    payload.erase("created");
  if (anonymousId_) payload["anonymousId"] = *anonymousId_;
  call("identify", payload);
  call("flush", nlohmann::json::array());
}

nlohmann::json KorvelTracking::addContextToPayload(const nlohmann::json& payload) const {
  if (!payload.is_object()) return payload;
  nlohmann::json out = payload;
  auto existing = out.find("context");
  nlohmann::json context = existing != out.end() && existing->is_object() ? *existing : nlohmann::json::object();
  auto setIfMissing = [&](const char* key, nlohmann::json value) {
    if (!context.contains(key)) context[key] = std::move(value);
  };
  setIfMissing("machineId", deps_.machineId);
  setIfMissing("os", deps_.osVersion);
  setIfMissing("hardwareType", deps_.hardwareType);
  setIfMissing("activeMinutes", deps_.defaults.integer("PDIntervalMinutesActive") -
                                    deps_.defaults.integer("PDIntervalMinutesActiveIdle"));
  out["context"] = std::move(context);
  return out;
}
