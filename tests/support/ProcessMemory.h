#pragma once
// Memory as the person's machine pays it: the proportional set size (each shared page counted
// once) summed over this process and every process it started, their children included (web
// processes, the project server), and its peak over a stretch, sampled beside the caller.

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace testenv {

// This process and all its descendants.
inline std::vector<pid_t> processTree(pid_t root = ::getpid()) {
  std::multimap<pid_t, pid_t> children;
  if (DIR* proc = ::opendir("/proc")) {
    while (dirent* entry = ::readdir(proc)) {
      pid_t pid = std::atoi(entry->d_name);
      if (pid <= 0) continue;
      std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
      std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
      // The name in parentheses may hold spaces; the fields after its last ')' are plain.
      auto close = text.rfind(')');
      if (close == std::string::npos || close + 4 >= text.size()) continue;
      pid_t parent = std::atoi(text.c_str() + text.find(' ', close + 2) + 1);
      children.emplace(parent, pid);
    }
    ::closedir(proc);
  }
  std::vector<pid_t> tree{root};
  for (std::size_t i = 0; i < tree.size(); ++i) {
    auto [from, to] = children.equal_range(tree[i]);
    for (auto it = from; it != to; ++it) tree.push_back(it->second);
  }
  return tree;
}

// Bytes.
inline std::size_t treePss(pid_t root = ::getpid()) {
  std::size_t total = 0;
  for (pid_t pid : processTree(root)) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("Pss:", 0) == 0) {
        total += std::size_t(std::atoll(line.c_str() + 4)) << 10;
        break;
      }
  }
  return total;
}

// The highest treePss seen from construction to stop().
class PeakPss {
 public:
  PeakPss() : sampler_([this] {
      while (!stop_) {
        peak_ = std::max<std::size_t>(peak_, treePss());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }) {}
  ~PeakPss() { stop(); }
  std::size_t stop() {
    if (!stop_.exchange(true)) sampler_.join();
    return peak_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> peak_{0};
  std::thread sampler_;
};

}  // namespace testenv
