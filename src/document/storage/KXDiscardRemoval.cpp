#include "KXDiscardRemoval.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "platform/FileSystem.h"
#include "platform/RunLoop.h"

namespace KXDiscardRemoval {

namespace {

// So few go at once on the main loop, however slow the disk.
constexpr std::size_t removedAtOnce = 256;

struct Removal {
  std::mutex mutex;  // held for each file removed
  std::condition_variable endedChanged;
  bool stopped = false;
  bool ended = false;
};

// Main thread only.
std::map<std::filesystem::path, std::shared_ptr<Removal>>& running() {
  static auto* all = new std::map<std::filesystem::path, std::shared_ptr<Removal>>();
  return *all;
}

}  // namespace

void start(const std::filesystem::path& folder, std::vector<std::string> relativePaths) {
  finish(folder);
  if (relativePaths.size() <= removedAtOnce) {
    for (const auto& path : relativePaths) (void)fs::removeItem(folder / path);
    return;
  }
  auto removal = std::make_shared<Removal>();
  running()[folder] = removal;
  GlobalQueue::async([folder, removal, paths = std::move(relativePaths)] {
    for (const auto& path : paths) {
      std::lock_guard lock(removal->mutex);
      if (removal->stopped) break;
      (void)fs::removeItem(folder / path);
    }
    {
      std::lock_guard lock(removal->mutex);
      removal->ended = true;
    }
    removal->endedChanged.notify_all();
    MainQueue::async([folder, removal] {
      auto it = running().find(folder);
      if (it != running().end() && it->second == removal) running().erase(it);
    });
  });
}

void stop(const std::filesystem::path& folder) {
  auto it = running().find(folder);
  if (it == running().end()) return;
  {
    std::lock_guard lock(it->second->mutex);
    it->second->stopped = true;
  }
  running().erase(it);
}

void finish(const std::filesystem::path& folder) {
  auto it = running().find(folder);
  if (it == running().end()) return;
  auto removal = it->second;
  running().erase(it);
  std::unique_lock lock(removal->mutex);
  removal->endedChanged.wait(lock, [&] { return removal->ended; });
}

}  // namespace KXDiscardRemoval
