#include "support/TreeMemory.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace testenv {

namespace {

// Every process's parent, as /proc shows them now.
std::multimap<pid_t, pid_t> childrenByParent() {
  std::multimap<pid_t, pid_t> children;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const auto name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    std::getline(stat, text);
    // The command's name is in parentheses and may hold anything: the fields follow the last ')'.
    auto close = text.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long parent = 0;
    if (std::sscanf(text.c_str() + close + 1, " %c %ld", &state, &parent) != 2) continue;
    children.emplace(static_cast<pid_t>(parent), static_cast<pid_t>(std::stol(name)));
  }
  return children;
}

std::size_t proportionalKilobytes(pid_t pid) {
  std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string line;
  while (std::getline(rollup, line))
    if (line.rfind("Pss:", 0) == 0) return std::stoul(line.substr(4));
  return 0;
}

}  // namespace

std::size_t treeProportionalMegabytes(pid_t root) {
  auto children = childrenByParent();
  std::vector<pid_t> pending{root};
  std::size_t kilobytes = 0;
  while (!pending.empty()) {
    pid_t pid = pending.back();
    pending.pop_back();
    kilobytes += proportionalKilobytes(pid);
    auto [first, last] = children.equal_range(pid);
    for (auto it = first; it != last; ++it) pending.push_back(it->second);
  }
  return kilobytes / 1024;
}

TreeMemorySampler::TreeMemorySampler() {
  peak_ = treeProportionalMegabytes(::getpid());
  thread_ = std::thread([this] {
    while (!stop_) {
      auto now = treeProportionalMegabytes(::getpid());
      if (now > peak_) peak_ = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  });
}

TreeMemorySampler::~TreeMemorySampler() {
  stop_ = true;
  thread_.join();
}

}  // namespace testenv
