#pragma once
// The one event tracker. It hosts the tracking client ("korvel-tracking-webclient.js", whose set-up
// makes the page's global `tracker`) in a hidden page whose origin is the events endpoint, and
// turns every call into one line of script. Lines made before the client is set up wait, oldest
// first and at most maximumQueuedLines of them, and then run as one batch. When the page's web
// process ends, the page is loaded again and the tracker is set up anew before it counts as
// ready; lines raised meanwhile, and lines the ended process did not run, wait as above.
// Diagnostics are plain lines on standard output. Main thread only; shared() may be first asked from any thread.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "platform/Error.h"
#include "platform/Url.h"

class Defaults;
class LoginController;

class KorvelTracking {
 public:
  enum class State { disabled, loading, loadingNeedsEvaluate, loaded, evaluating, ready };

  // The hidden page, as the tracker needs it; KorvelTrackingPage is the web view's.
  class Page {
   public:
    virtual ~Page() = default;
    // Starts loading an empty page with `baseURL`; false when no load started. `finished`
    // runs once, later, when that load has finished.
    virtual bool loadEmptyPage(const std::string& baseURL, std::function<void()> finished) = 0;
    // Evaluates `script` later on the main loop; `done` gets the page's error, if any.
    virtual void evaluate(const std::string& script, std::function<void(std::optional<Error>)> done) = 0;
    // `ended` runs when the page's web process ended; the page stays blank until it is loaded
    // again, which is best done once the main loop has turned.
    virtual void setEndedHandler(std::function<void()> ended) = 0;
  };

  struct Dependencies {
    Defaults& defaults;
    LoginController& login;
    std::function<Url()> trackingURL;
    // The client's text; none when it cannot be read.
    std::function<std::optional<std::string>()> clientScript;
    std::function<void(std::string_view line)> writeLine;
    std::string hardwareType;
    std::string machineId;
    std::string osVersion;
    // Runs `work` once what the main loop holds now has run; none runs it at once. A page whose
    // process ended is loaded again only once WebKit has told every page of that process.
    std::function<void(std::function<void()> work)> later;
    // The application's own: the resource, the current environment, this machine, stdout.
    static Dependencies standard();
  };

  // A page that never loads must not hold memory without end; the oldest lines go first.
  static constexpr std::size_t maximumQueuedLines = 1000;
  // Loads after the page's process ended, without a set-up that succeeded in between.
  static constexpr int maximumPageReloads = 3;

  // Created on first use; also starts the usage timers unless tracking is switched off.
  static KorvelTracking& shared();
  KorvelTracking(std::unique_ptr<Page> page, Dependencies dependencies);
  KorvelTracking(const KorvelTracking&) = delete;
  KorvelTracking& operator=(const KorvelTracking&) = delete;

  // `data` should be an object; anything else counts as an empty one.
  void track(const std::string& event, const nlohmann::json& data);
  void track(const std::string& userId, const std::string& event, const nlohmann::json& data);
  void identify(const std::string& userId, const nlohmann::json& data);
  void call(const std::string& method, const nlohmann::json& payload);

  nlohmann::json addContextToPayload(const nlohmann::json& payload) const;
  std::optional<std::string> getTrackingScript() const;
  void evaluateTrackingScript();

  State state() const { return state_; }
  bool activityTrackingOnly() const { return activityTrackingOnly_; }
  const std::optional<std::string>& anonymousId() const { return anonymousId_; }
  std::size_t queuedLines() const { return scriptStack_.size(); }

  // Top-level objects and arrays whose numbers are all finite, as the serialiser takes them.
  static bool isValidJSONObject(const nlohmann::json& value);

 private:
  void loadPage();
  void didFinishLoad();
  void pageEnded();
  void queue(std::string line);
  // Runs the line now when the client is ready, else queues it.
  void send(std::string line);
  // Puts `lines` back ahead of what waits; `now` runs them at once where the client is ready.
  void requeue(std::deque<std::string> lines, bool now = true);
  // What became of a page after a script failed in it: it runs scripts still, another page took
  // its place, or its process is ending and WebKit has yet to tell.
  enum class PageFate { alive, replaced, ending };
  // `decide` learns the fate of the page of `generation` once the page has had its say.
  void afterFailure(std::uint64_t generation, std::function<void(PageFate)> decide);
  void evaluateSetUp(const std::string& script);
  void evaluatePendingScripts();
  bool dropsEvent(const std::string& event) const;

  std::unique_ptr<Page> page_;
  Dependencies deps_;
  bool activityTrackingOnly_ = false;
  std::optional<std::string> anonymousId_;
  std::deque<std::string> scriptStack_;
  State state_ = State::loading;
  // Counts the page's loads: answers of an earlier page are stale.
  std::uint64_t pageGeneration_ = 0;
  int pageReloads_ = 0;
  bool reloadScheduled_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
