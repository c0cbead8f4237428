#pragma once
// The software updater: reads our update feed (JSON, see UpdateFeed.h), compares the newest item's
// build version with the running one, and offers the download page in the browser. Checks run
// when the person asks, on a timer while automatic checks are on, or silently to remember the
// newest version. Settings and the last check time live in the user defaults. Main thread only.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/UpdateFeed.h"
#include "platform/Url.h"

class AppBundleInfo;
class Defaults;
class TestableURLSessionDataTaskProtocol;
class TestableURLSessionProtocol;
class Timer;

class SUUpdater {
 public:
  using TimePoint = std::chrono::system_clock::time_point;

  static constexpr const char* ErrorDomain = "com.korvel.software-update";
  enum ErrorCode : long { noFeedURL = 1, feedDownloadFailed = 2, feedUnreadable = 3 };

  // Defaults keys.
  static constexpr const char* lastCheckTimeKey = "SULastCheckTime";  // seconds since 1970
  static constexpr const char* automaticChecksKey = "SUAutomaticUpdateChecks";
  static constexpr const char* checkIntervalKey = "SUUpdateCheckInterval";
  static constexpr const char* feedURLKey = "SUFeedURL";
  static constexpr double defaultCheckInterval = 86400;
  // Never check more often than this, whatever is stored.
  static constexpr double minimumCheckInterval = 60;

  // The application's updater: standard defaults, the shared session, the main bundle.
  static SUUpdater& sharedUpdater();
  SUUpdater(Defaults& defaults, TestableURLSessionProtocol& session, const AppBundleInfo& bundle);
  ~SUUpdater();
  SUUpdater(const SUUpdater&) = delete;
  SUUpdater& operator=(const SUUpdater&) = delete;

  // Asked for by the person: always answers with an alert (up to date, a newer version, an error).
  void checkForUpdates();
  // Says nothing unless a newer version is found, then offers it.
  void checkForUpdatesInBackground();
  // Fetches the feed and remembers its newest item; no alert.
  void checkForUpdateInformation();

  bool automaticallyChecksForUpdates() const;
  // On: a timer checks in the background once the interval has passed since the last check.
  void setAutomaticallyChecksForUpdates(bool on);
  double updateCheckInterval() const;
  void setUpdateCheckInterval(double seconds);
  std::optional<TimePoint> lastUpdateCheckDate() const;

  // The feed address: the one set here, else the defaults' "SUFeedURL", else the bundle's. A
  // value that is only a path is taken relative to the feed base.
  std::optional<Url> feedURL() const;
  void setFeedURL(std::optional<Url> url);
  void setFeedBaseURL(std::optional<Url> base);

  // What the last successful check found in the feed.
  const std::optional<AppcastItem>& latestItem() const { return latestItem_; }
  // The error of the last check, none when it succeeded.
  const std::optional<Error>& lastError() const { return lastError_; }
  bool isChecking() const { return task_ != nullptr; }
  // The running build's version ("CFBundleVersion").
  std::string hostVersion() const;

 private:
  enum class Mode { information, background, user };
  void check(Mode mode);
  void finish(Result<std::optional<AppcastItem>> result);
  void present(Mode mode);
  void reschedule();

  Defaults& defaults_;
  TestableURLSessionProtocol& session_;
  const AppBundleInfo& bundle_;
  std::optional<Url> feedURL_;
  std::optional<Url> feedBase_;
  std::optional<AppcastItem> latestItem_;
  std::optional<Error> lastError_;
  std::shared_ptr<TestableURLSessionDataTaskProtocol> task_;
  Mode mode_ = Mode::information;
  std::unique_ptr<Timer> timer_;
  std::shared_ptr<bool> alive_;
};
