#include "platform/SUUpdater.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

#include "platform/Alert.h"
#include "platform/AppBundleInfo.h"
#include "platform/Defaults.h"
#include "platform/HttpSession.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"
#include "platform/UrlOpener.h"

namespace {
constexpr double feedTimeout = 30.0;

double secondsSinceEpoch(SUUpdater::TimePoint t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}
}  // namespace

SUUpdater& SUUpdater::sharedUpdater() {
  static SUUpdater updater(Defaults::standard(), HttpSession::shared(), AppBundleInfo::main());
  return updater;
}

SUUpdater::SUUpdater(Defaults& defaults, TestableURLSessionProtocol& session, const AppBundleInfo& bundle)
    : defaults_(defaults), session_(session), bundle_(bundle), alive_(std::make_shared<bool>(true)) {
  reschedule();
}

SUUpdater::~SUUpdater() {
  *alive_ = false;
  if (task_) task_->cancel();
}

std::string SUUpdater::hostVersion() const { return bundle_.string("CFBundleVersion").value_or("0"); }

bool SUUpdater::automaticallyChecksForUpdates() const { return defaults_.boolValue(automaticChecksKey); }

void SUUpdater::setAutomaticallyChecksForUpdates(bool on) {
  defaults_.setBool(automaticChecksKey, on);
  reschedule();
}

double SUUpdater::updateCheckInterval() const {
  double stored = defaults_.has(checkIntervalKey) ? defaults_.doubleValue(checkIntervalKey) : defaultCheckInterval;
  if (!std::isfinite(stored) || stored <= 0) stored = defaultCheckInterval;
  return std::max(stored, minimumCheckInterval);
}

void SUUpdater::setUpdateCheckInterval(double seconds) {
  defaults_.setDouble(checkIntervalKey, seconds);
  reschedule();
}

std::optional<SUUpdater::TimePoint> SUUpdater::lastUpdateCheckDate() const {
  if (!defaults_.has(lastCheckTimeKey)) return std::nullopt;
  double seconds = defaults_.doubleValue(lastCheckTimeKey);
  if (!std::isfinite(seconds) || seconds <= 0) return std::nullopt;
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(std::chrono::duration<double>(seconds)));
}

std::optional<Url> SUUpdater::feedURL() const {
  if (feedURL_) return feedURL_;
  if (auto stored = defaults_.string(feedURLKey)) {
    if (auto url = UpdateFeed::resolve(*stored, feedBase_)) return url;
  }
  return UpdateFeed::resolve(bundle_.string(feedURLKey).value_or(""), feedBase_);
}

void SUUpdater::setFeedURL(std::optional<Url> url) { feedURL_ = std::move(url); }
void SUUpdater::setFeedBaseURL(std::optional<Url> base) { feedBase_ = std::move(base); }

void SUUpdater::checkForUpdates() { check(Mode::user); }
void SUUpdater::checkForUpdatesInBackground() { check(Mode::background); }
void SUUpdater::checkForUpdateInformation() { check(Mode::information); }

void SUUpdater::check(Mode mode) {
  if (task_) {
    // One request at a time; a person asking during a quiet check gets its answer.
    mode_ = std::max(mode_, mode);
    return;
  }
  mode_ = mode;
  auto url = feedURL();
  if (!url) {
    finish(fail(ErrorDomain, noFeedURL, "The update feed address is not set."));
    return;
  }
  HttpRequest request(*url);
  request.timeout = feedTimeout;
  request.headers["Accept"] = "application/json";
  std::weak_ptr<bool> alive = alive_;
  task_ = session_.testableDataTask(std::move(request), [this, alive](Result<HttpResponse> response) {
    if (alive.expired()) return;
    task_.reset();
    if (!response) {
      finish(fail(Error(ErrorDomain, feedDownloadFailed, "The update feed could not be downloaded.")
                      .withUnderlying(response.error())));
      return;
    }
    if (response->status != 200) {
      finish(fail(ErrorDomain, feedDownloadFailed,
                  "The update feed answered with status " + std::to_string(response->status) + "."));
      return;
    }
    finish(UpdateFeed::newestItem(std::string_view(reinterpret_cast<const char*>(response->body.data()),
                                                   response->body.size())));
  });
  task_->resume();
}

void SUUpdater::finish(Result<std::optional<AppcastItem>> result) {
  defaults_.setDouble(lastCheckTimeKey, secondsSinceEpoch(std::chrono::system_clock::now()));
  if (result) {
    latestItem_ = std::move(*result);
    lastError_.reset();
  } else {
    lastError_ = result.error();
    RWLog("Software update: " + result.error().description(), 3);
  }
  Mode mode = mode_;
  mode_ = Mode::information;
  reschedule();
  present(mode);
}

void SUUpdater::present(Mode mode) {
  if (mode == Mode::information) return;
  std::string name = bundle_.string("CFBundleName").value_or("Korvel");
  std::string running = bundle_.string("CFBundleShortVersionString").value_or(hostVersion());
  if (lastError_) {
    if (mode != Mode::user) return;
    Alert::shared().runModal({"Korvel could not check for updates.",
                              "The update information could not be read. Please try again later.\n\n" +
                                  lastError_->message,
                              {}},
                             nullptr);
    return;
  }
  if (auto newer = UpdateFeed::newerThan(latestItem_, hostVersion())) {
    AlertSpec offer{"A newer version of " + name + " is available.",
                    name + " " + newer->shortVersionString + " is out; you have " + running +
                        ". Open its download page?",
                    {"Download", "Not Now"}};
    if (Alert::shared().runModal(offer, nullptr) == Alert::firstButtonReturn)
      UrlOpener::open(newer->downloadURL.absoluteString());
    return;
  }
  if (mode == Mode::user)
    Alert::shared().runModal(
        {name + " is up to date.", name + " " + running + " is the newest version.", {}}, nullptr);
}

void SUUpdater::reschedule() {
  timer_.reset();
  if (!automaticallyChecksForUpdates()) return;
  double interval = updateCheckInterval();
  double delay = 0;
  if (auto last = lastUpdateCheckDate()) {
    double elapsed = std::chrono::duration<double>(std::chrono::system_clock::now() - *last).count();
    // A last check in the future (a clock set back) counts as just now.
    delay = elapsed < 0 ? interval : std::max(0.0, interval - elapsed);
  }
  timer_ = Timer::scheduled(delay, false, [this] { checkForUpdatesInBackground(); });
}
