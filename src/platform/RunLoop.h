#pragma once
// The main loop and the queues that feed it, all on GLib's default main context, the one loop
// that GTK, WebKit, libsoup and our own work share.
//
// Threads: MainQueue, GlobalQueue, DispatchGroup::enter/leave/notify may be called from any
// thread. Everything else here runs on the main thread only.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class RunLoop {
 public:
  static bool isMainThread();

  // Runs the main context once: dispatches what is ready, or waits at most `seconds` for
  // something to become ready.
  static void runOnce(double seconds);

  // Runs the main loop until quit(); calls nest.
  static void run();
  static void quit();

  // Spins the main loop until `done` answers true or `timeout` seconds pass; answers `done()`.
  static bool runUntil(const std::function<bool()>& done, double timeout);

  // Waits in 5 ms slices of a nested loop while `predicate` holds, at most `timeout` seconds,
  // then runs `completion` once. A wait started while another waits is served by that loop.
  static void waitUsingRecursiveRunloop(std::function<bool()> predicate, double timeout,
                                        std::function<void()> completion);
};

namespace MainQueue {
// Runs `work` on the main loop after what is already queued, never synchronously.
void async(std::function<void()> work);
void asyncAfter(double seconds, std::function<void()> work);
}  // namespace MainQueue

namespace GlobalQueue {
// Runs `work` on a shared pool of background threads.
void async(std::function<void()> work);
}  // namespace GlobalQueue

// Counts outstanding work; notifies on the main queue once the count is back to zero.
class DispatchGroup : public std::enable_shared_from_this<DispatchGroup> {
 public:
  static std::shared_ptr<DispatchGroup> create() { return std::shared_ptr<DispatchGroup>(new DispatchGroup()); }
  void enter();
  void leave();
  // `work` runs on the main queue when no work is outstanding (at once, queued, when none is).
  void notify(std::function<void()> work);
  // Blocks this thread until no work is outstanding or `timeout` passes; answers whether done.
  // Never call it on the main thread for work that needs the main loop.
  bool wait(double timeout);

 private:
  DispatchGroup() = default;
  std::mutex mutex_;
  std::condition_variable zero_;
  long count_ = 0;
  std::vector<std::function<void()>> notifications_;
};

// A one-shot or repeating timer on the main loop; destroying it invalidates it.
class Timer {
 public:
  static std::unique_ptr<Timer> scheduled(double interval, bool repeats, std::function<void()> fire);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  void invalidate();
  bool isValid() const { return sourceId_ != 0; }

 private:
  Timer() = default;
  static int onFire(void* self);
  unsigned sourceId_ = 0;
  bool repeats_ = false;
  std::shared_ptr<std::function<void()>> fire_;
};
