#pragma once
// When a project server that failed is started again: soon after a failure that followed a good
// run, later and later after quick failures in a row, and not at all after too many of them.
// Plain decisions; no clock of its own. Any thread.

#include <optional>

class ServerRestartPolicy {
 public:
  struct Options {
    double quickFailure = 10.0;  // a server that ran less than this many seconds failed quickly
    int maxQuickFailures = 5;    // quick failures in a row that are still restarted
    double initialDelay = 0.5;
    double maxDelay = 8.0;
  };

  ServerRestartPolicy() = default;
  explicit ServerRestartPolicy(Options options) : options_(options) {}

  // A server that ran `uptime` seconds failed: the seconds to wait before starting it again,
  // or nothing when it should stay down.
  std::optional<double> delayAfterFailure(double uptime);

  int quickFailures() const { return quickFailures_; }
  // A person asked to try again: the count of quick failures starts over.
  void reset() { quickFailures_ = 0; }

 private:
  Options options_;
  int quickFailures_ = 0;
};
