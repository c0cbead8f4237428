#pragma once
// Memory as the person's machine pays it: the proportional set size (each shared page counted
// once) summed over this process and every process it started, their children included (web
// processes, the project server), and its peak over a stretch, sampled beside the caller.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testenv {

// The start of a file under /proc; empty once its process has gone (a read then fails, which a
// stream would throw for).
inline std::string procText(const std::string& path) {
  std::string text;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  ssize_t got;
  while (text.size() < (std::size_t(1) << 16) && (got = ::read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, std::size_t(got));
  ::close(fd);
  return text;
}

// This process and all its descendants.
inline std::vector<pid_t> processTree(pid_t root = ::getpid()) {
  std::multimap<pid_t, pid_t> children;
  if (DIR* proc = ::opendir("/proc")) {
    while (dirent* entry = ::readdir(proc)) {
      pid_t pid = std::atoi(entry->d_name);
      if (pid <= 0) continue;
      std::string text = procText("/proc/" + std::to_string(pid) + "/stat");
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

// Bytes: the proportional set size of one process, 0 once it has gone.
inline std::size_t processPss(pid_t pid) {
  std::string text = procText("/proc/" + std::to_string(pid) + "/smaps_rollup");
  auto at = text.find("\nPss:");
  return at == std::string::npos ? 0 : std::size_t(std::atoll(text.c_str() + at + 5)) << 10;
}

// A process's name as the system shows it ("WebKitWebProces", "node").
inline std::string processName(pid_t pid) {
  std::string name = procText("/proc/" + std::to_string(pid) + "/comm");
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

// Bytes, summed over the tree.
inline std::size_t treePss(pid_t root = ::getpid()) {
  std::size_t total = 0;
  for (pid_t pid : processTree(root)) total += processPss(pid);
  return total;
}

// The highest treePss seen from construction to stop(), the level at construction, and what each
// process of the tree held at that peak ("WebKitWebProces 412 MB, ...": which one to look at when
// the sum is too high).
class PeakPss {
 public:
  PeakPss() : start_(treePss()), peak_(start_), sampler_([this] {
      while (!stop_) {
        std::size_t total = 0;
        std::string parts;
        for (pid_t pid : processTree()) {
          std::size_t pss = processPss(pid);
          if (pss == 0) continue;
          total += pss;
          if (pss >= (std::size_t(8) << 20))
            parts += (parts.empty() ? "" : ", ") + processName(pid) + " " + std::to_string(pss >> 20) + " MB";
        }
        if (total > peak_) {
          std::lock_guard lock(mutex_);
          peak_ = total;
          atPeak_ = std::move(parts);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }) {}
  ~PeakPss() { stop(); }
  std::size_t stop() {
    if (!stop_.exchange(true)) sampler_.join();
    return peak_;
  }
  // Past the level at construction.
  std::size_t growth() const { return peak_ > start_ ? peak_ - start_ : 0; }
  std::size_t start() const { return start_; }
  std::string atPeak() const {
    std::lock_guard lock(mutex_);
    return atPeak_;
  }

 private:
  std::size_t start_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> peak_;
  mutable std::mutex mutex_;
  std::string atPeak_;
  std::thread sampler_;
};

// The resident size of this process (the one that hosts the views) at its highest since made,
// sampled beside the main loop (which a flood may stall). With a `ceiling`, growth past it over
// the start stops the process at once, lest a flood that is not bounded take the machine with it.
class ResidentPeak {
 public:
  explicit ResidentPeak(std::size_t ceiling = 0) : start_(resident()), peak_(start_) {
    thread_ = std::thread([this, ceiling] {
      while (!stop_) {
        std::size_t now = resident();
        if (now > peak_) peak_ = now;
        if (ceiling && now > start_ + ceiling) {
          fprintf(stderr, "the process grew by %zu MB, past %zu MB: stopped\n", (now - start_) >> 20, ceiling >> 20);
          _exit(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  ~ResidentPeak() {
    stop_ = true;
    thread_.join();
  }
  std::size_t growth() const { return peak_ - start_; }

  static std::size_t resident() {
    long pages = 0, resident = 0;
    if (FILE* f = fopen("/proc/self/statm", "r")) {
      if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
      fclose(f);
    }
    return std::size_t(resident) * std::size_t(sysconf(_SC_PAGESIZE));
  }

 private:
  std::size_t start_;
  std::atomic<std::size_t> peak_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace testenv
