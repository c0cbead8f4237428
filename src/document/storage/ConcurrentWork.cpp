#include "document/storage/ConcurrentWork.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

void performConcurrently(std::size_t count, std::size_t threads, const std::function<bool(std::size_t)>& body) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stopped{false};
  auto work = [&] {
    while (!stopped.load(std::memory_order_relaxed)) {
      std::size_t i = next.fetch_add(1);
      if (i >= count) return;
      if (!body(i)) stopped = true;
    }
  };
  std::vector<std::jthread> helpers;
  for (std::size_t t = 1; t < threads; ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
}

std::size_t threadsForJobs(std::size_t jobs, std::size_t limit) {
  std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return std::max<std::size_t>(1, std::min({cores, jobs, limit}));
}
