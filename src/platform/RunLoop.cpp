#include "RunLoop.h"

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

const std::thread::id mainThreadId = std::this_thread::get_id();

struct WaitRecord {
  std::function<bool()> predicate;
  std::chrono::steady_clock::time_point deadline;
  std::function<void()> completion;
  bool finished = false;
};

std::vector<std::shared_ptr<WaitRecord>> recursiveRunLoopConditions;
bool isRunningRecursiveRunloop = false;

std::vector<GMainLoop*> runningLoops;

gboolean runFunction(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}
void deleteFunction(gpointer data) { delete static_cast<std::function<void()>*>(data); }

void attach(GSource* source, std::function<void()> work) {
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, runFunction, new std::function<void()>(std::move(work)), deleteFunction);
  g_source_attach(source, g_main_context_default());
  g_source_unref(source);
}

gboolean wakeUp(gpointer) { return G_SOURCE_REMOVE; }

// Seconds as a main-loop interval: negative and NaN are now, anything past what GLib holds is
// the longest it holds (a peer may name any number).
guint intervalMilliseconds(double seconds) {
  if (!(seconds > 0)) return 0;
  double ms = seconds * 1000.0;
  return ms >= static_cast<double>(G_MAXUINT) ? G_MAXUINT : static_cast<guint>(ms);
}

}  // namespace

bool RunLoop::isMainThread() { return std::this_thread::get_id() == mainThreadId; }

void RunLoop::runOnce(double seconds) {
  GMainContext* ctx = g_main_context_default();
  GSource* timeout = g_timeout_source_new(intervalMilliseconds(seconds));
  g_source_set_callback(timeout, wakeUp, nullptr, nullptr);
  g_source_attach(timeout, ctx);
  g_main_context_iteration(ctx, TRUE);
  g_source_destroy(timeout);
  g_source_unref(timeout);
}

void RunLoop::run() {
  GMainLoop* loop = g_main_loop_new(g_main_context_default(), FALSE);
  runningLoops.push_back(loop);
  g_main_loop_run(loop);
  std::erase(runningLoops, loop);
  g_main_loop_unref(loop);
}

void RunLoop::quit() {
  if (!runningLoops.empty()) g_main_loop_quit(runningLoops.back());
}

bool RunLoop::runUntil(const std::function<bool()>& done, double timeout) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  while (!done()) {
    auto left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return done();
    runOnce(std::min(left, 0.05));
  }
  return true;
}

void RunLoop::waitUsingRecursiveRunloop(std::function<bool()> predicate, double timeout,
                                        std::function<void()> completion) {
  auto record = std::make_shared<WaitRecord>();
  record->predicate = std::move(predicate);
  record->deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                             std::chrono::duration<double>(timeout));
  record->completion = std::move(completion);
  recursiveRunLoopConditions.push_back(record);
  if (isRunningRecursiveRunloop) return;  // the waiting loop outside serves this record too

  while (!recursiveRunLoopConditions.empty()) {
    isRunningRecursiveRunloop = true;
    runOnce(0.005);
    isRunningRecursiveRunloop = false;

    // Walk the list as it stood. A record leaves the list before its completion runs, so a
    // wait nested in that completion can't run it again; records added meanwhile stay queued.
    auto walk = recursiveRunLoopConditions;
    for (auto& r : walk) {
      if (r->finished) continue;
      bool expired = std::chrono::steady_clock::now() > r->deadline;
      if (!expired && r->predicate()) continue;
      if (r->finished) continue;  // a nested wait inside the predicate finished it
      r->finished = true;
      std::erase(recursiveRunLoopConditions, r);
      auto done = std::move(r->completion);
      if (done) done();
    }
  }
}

namespace MainQueue {
void async(std::function<void()> work) { attach(g_idle_source_new(), std::move(work)); }
void asyncAfter(double seconds, std::function<void()> work) {
  attach(g_timeout_source_new(intervalMilliseconds(seconds)), std::move(work));
}
}  // namespace MainQueue

namespace GlobalQueue {
namespace {
void runWork(gpointer data, gpointer) {
  std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(data));
  (*work)();
}
GThreadPool* pool() {
  static GThreadPool* shared = [] {
    int threads = std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
    return g_thread_pool_new(runWork, nullptr, threads, FALSE, nullptr);
  }();
  return shared;
}
}  // namespace
void async(std::function<void()> work) {
  g_thread_pool_push(pool(), new std::function<void()>(std::move(work)), nullptr);
}
}  // namespace GlobalQueue

void DispatchGroup::enter() {
  std::lock_guard lock(mutex_);
  ++count_;
}

void DispatchGroup::leave() {
  std::vector<std::function<void()>> ready;
  {
    std::lock_guard lock(mutex_);
    if (count_ <= 0) g_error("DispatchGroup: leave() without a matching enter()");
    if (--count_ == 0) {
      ready.swap(notifications_);
      zero_.notify_all();
    }
  }
  for (auto& n : ready) MainQueue::async(std::move(n));
}

void DispatchGroup::notify(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    if (count_ > 0) {
      notifications_.push_back(std::move(work));
      return;
    }
  }
  MainQueue::async(std::move(work));
}

bool DispatchGroup::wait(double timeout) {
  std::unique_lock lock(mutex_);
  return zero_.wait_for(lock, std::chrono::duration<double>(timeout), [&] { return count_ == 0; });
}

std::unique_ptr<Timer> Timer::scheduled(double interval, bool repeats, std::function<void()> fire) {
  std::unique_ptr<Timer> timer(new Timer());
  timer->repeats_ = repeats;
  timer->fire_ = std::make_shared<std::function<void()>>(std::move(fire));
  timer->sourceId_ = g_timeout_add_full(G_PRIORITY_DEFAULT, intervalMilliseconds(interval),
                                        &Timer::onFire, timer.get(), nullptr);
  return timer;
}

int Timer::onFire(void* data) {
  auto* self = static_cast<Timer*>(data);
  auto fire = self->fire_;  // the callback may destroy the timer
  bool repeats = self->repeats_;
  if (!repeats) self->sourceId_ = 0;
  (*fire)();
  return repeats ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

Timer::~Timer() { invalidate(); }

void Timer::invalidate() {
  if (sourceId_) {
    g_source_remove(sourceId_);
    sourceId_ = 0;
  }
}
