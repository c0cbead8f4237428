#pragma once
// What this process and every process it started (web and network processes, node, helpers)
// hold together: the proportional set size (Pss of /proc/<pid>/smaps_rollup) summed over the
// tree, so that pages they share are counted once. Linux only.

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <thread>

namespace testenv {

// Megabytes the tree rooted at `root` holds now.
std::size_t treeProportionalMegabytes(pid_t root);

// Samples the tree of this process every few tens of milliseconds on a thread of its own, so
// that a main loop held by the work under test is no blind spot, until dropped.
class TreeMemorySampler {
 public:
  TreeMemorySampler();
  ~TreeMemorySampler();
  TreeMemorySampler(const TreeMemorySampler&) = delete;
  TreeMemorySampler& operator=(const TreeMemorySampler&) = delete;
  std::size_t peakMegabytes() const { return peak_; }

 private:
  std::atomic<std::size_t> peak_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace testenv
