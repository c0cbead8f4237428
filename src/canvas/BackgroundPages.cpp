#include "BackgroundPages.h"

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "platform/RunLoop.h"

namespace {

int holds = 0;
std::uint64_t lastId = 0;
std::map<std::uint64_t, std::function<void()>>& queue() {
  static auto* waiting = new std::map<std::uint64_t, std::function<void()>>;
  return *waiting;
}

void run(std::uint64_t id) {
  auto it = queue().find(id);
  if (it == queue().end()) return;
  auto start = std::move(it->second);
  queue().erase(it);
  if (start) start();
}

void runAllIfFree() {
  if (holds > 0) return;
  // In order of asking; a start may ask for more, which wait for their own turn.
  std::vector<std::uint64_t> ids;
  for (const auto& entry : queue()) ids.push_back(entry.first);
  for (auto id : ids) run(id);
}

}  // namespace

namespace BackgroundPages {

Hold::Hold() { ++holds; }

Hold::~Hold() {
  if (--holds == 0) MainQueue::async(runAllIfFree);
}

void whenIdle(std::function<void()> start, double longest) {
  auto id = ++lastId;
  queue().emplace(id, std::move(start));
  MainQueue::async([id] {
    if (holds == 0) run(id);
  });
  MainQueue::asyncAfter(longest, [id] { run(id); });
}

int waiting() { return static_cast<int>(queue().size()); }

}  // namespace BackgroundPages
