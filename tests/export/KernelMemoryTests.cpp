// A drawing tool taken over can't have the kernel hold memory for it past its bound: each road
// is tried by a stand-in (one process, as a drawing tool is) aiming at 6 GB, while the machine's
// available memory is watched and the stand-in stopped before the machine is at risk.

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ConfinedTool.h"
#include "platform/SyscallFilter.h"

namespace {

namespace fs = std::filesystem;

constexpr long long megabyte = 1 << 20;
constexpr long long gigabyte = 1 << 30;

// What the kernel says the machine could still give without swapping.
long long availableBytes() {
  std::ifstream in("/proc/meminfo");
  std::string name;
  long long kilobytes = 0;
  std::string unit;
  while (in >> name >> kilobytes >> unit)
    if (name == "MemAvailable:") return kilobytes * 1024;
  return -1;
}

// Samples the available memory every 10 ms while alive: how far it fell below where it stood
// before, and whether it fell past `limit`, where `stop` was called once.
class AvailableMemoryWatch {
 public:
  AvailableMemoryWatch(long long limit, std::function<void()> stop) : limit_(limit), stop_(std::move(stop)) {
    // Where it stood: the highest of a few samples, as other processes move it too.
    for (int i = 0; i < 5; ++i) {
      before_ = std::max(before_, availableBytes());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    thread_ = std::thread([this] {
      while (!done_) {
        long long fall = before_ - availableBytes();
        greatestFall_ = std::max(greatestFall_.load(), fall);
        if (fall > limit_ && !stopped_.exchange(true)) stop_();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  ~AvailableMemoryWatch() { finish(); }
  AvailableMemoryWatch(const AvailableMemoryWatch&) = delete;
  AvailableMemoryWatch& operator=(const AvailableMemoryWatch&) = delete;

  void finish() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }
  long long greatestFall() const { return greatestFall_; }
  bool stopped() const { return stopped_; }

 private:
  long long limit_;
  std::function<void()> stop_;
  long long before_ = 0;
  std::atomic<long long> greatestFall_{0};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Kills the processes whose command line holds `token`.
void killProcessesWith(const std::string& token) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::stringstream line;
    line << in.rdbuf();
    if (line.str().find(token) != std::string::npos && std::stoi(name) != ::getpid()) ::kill(std::stoi(name), SIGKILL);
  }
}

// Removes what the stand-in named after `token` in /dev/shm, where the kernel would keep it.
void removeSharedFiles(const std::string& token) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/dev/shm", ec))
    if (entry.path().filename().string().rfind(token, 0) == 0) fs::remove(entry.path(), ec);
}

}  // namespace

TEST(ConfinedTool, ATakenOverToolHoldsNoKernelMemoryPastItsBound) {
  if (!SyscallFilter::create()) GTEST_SKIP() << "no system call filter for this processor";
  // As a drawing tool: 2 GB of address space, one process, 320 MB a file, 384 MB in its folder.
  ConfinedTool::Limits limits;
  limits.memory = std::size_t(2) << 30;
  limits.processes = 1;
  limits.fileSize = std::size_t(320) << 20;
  limits.folderSpace = std::size_t(384) << 20;
  const long long bound = static_cast<long long>(limits.memory + limits.folderSpace);
  const long long aim = 6 * gigabyte;
  struct Case {
    std::string what, road;
  };
  const std::vector<Case> cases = {
      {"pages given to pipes", "pipes"},
      {"memory files", "memfd"},
      {"System V shared memory", "sysv"},
      {"POSIX shared memory", "posix"},
  };
  for (const auto& c : cases) {
    std::string token = "korvel-held-" + std::to_string(::getpid()) + "-" + c.road;
    auto tool = ConfinedTool::create();
    ASSERT_TRUE(tool);
    ConfinedTool::Run run;
    {
      // Stopped a gigabyte past the bound: far enough above what others move it by, well short
      // of what the machine has.
      AvailableMemoryWatch watch(bound + gigabyte, [&] { killProcessesWith(token); });
      run = tool->run({KORVEL_MEMORY_HOLDER, c.road, std::to_string(aim / megabyte), token}, limits);
      watch.finish();
      removeSharedFiles(token);
      EXPECT_FALSE(watch.stopped()) << c.what << ": stopped when the machine's available memory fell by "
                                    << watch.greatestFall() / megabyte << " MB";
      EXPECT_LT(watch.greatestFall(), aim) << c.what;
      std::cerr << c.what << ": available memory fell by at most " << watch.greatestFall() / megabyte << " MB; ";
    }
    EXPECT_NE(run.outcome, ConfinedTool::Outcome::notStarted) << c.what;
    auto report = tool->take("held", 64);
    ASSERT_TRUE(report) << c.what << ": the stand-in did not start";
    long long held = std::stoll(std::string(report->begin(), report->end()));
    EXPECT_LT(held, bound) << c.what << ": " << held / megabyte << " MB held";
    std::cerr << c.what << ": " << held / megabyte << " MB held\n";
  }
}
