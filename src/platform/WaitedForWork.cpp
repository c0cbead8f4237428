#include "platform/WaitedForWork.h"

#include <condition_variable>
#include <mutex>

namespace WaitedForWork {

namespace {

struct Record {
  std::mutex mutex;
  std::condition_variable ended;
  std::size_t underWay = 0;
  std::size_t waiting = 0;
};

Record& record() {
  static auto* r = new Record;  // lives as long as the process: pool threads may wait at exit
  return *r;
}

}  // namespace

std::shared_ptr<void> begin() {
  Record& r = record();
  {
    std::lock_guard lock(r.mutex);
    ++r.underWay;
  }
  return std::shared_ptr<void>(nullptr, [&r](void*) {
    {
      std::lock_guard lock(r.mutex);
      --r.underWay;
    }
    r.ended.notify_all();
  });
}

void giveWay() {
  Record& r = record();
  std::unique_lock lock(r.mutex);
  ++r.waiting;
  r.ended.wait(lock, [&] { return r.underWay == 0; });
  --r.waiting;
}

std::size_t givingWay() {
  Record& r = record();
  std::lock_guard lock(r.mutex);
  return r.waiting;
}

}  // namespace WaitedForWork
