#pragma once
// Watches a folder tree through inotify and reports changed paths on the main loop. New
// sub-folders are watched as they appear; "node_modules" and hidden folders are skipped so
// that a project stays within the user's watch limit. Reports of one turn of the loop are
// coalesced, each path once. Main thread only; destroying the monitor stops it.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/Error.h"
#include "platform/UniqueFd.h"

class FileMonitor {
 public:
  using Handler = std::function<void(const std::filesystem::path& changed)>;

  static Result<std::unique_ptr<FileMonitor>> create(const std::filesystem::path& root, Handler handler);
  ~FileMonitor();
  FileMonitor(const FileMonitor&) = delete;
  FileMonitor& operator=(const FileMonitor&) = delete;

  // Whether a folder below the root is left unwatched.
  static bool skipsFolder(const std::string& name);
  std::size_t watchCount() const { return folders_.size(); }

 private:
  FileMonitor(const std::filesystem::path& root, Handler handler, UniqueFd fd);
  void watchTree(const std::filesystem::path& folder);
  void watchFolder(const std::filesystem::path& folder);
  void readEvents();
  void deliver();
  static int onReadable(int fd, unsigned condition, void* self);

  std::filesystem::path root_;
  Handler handler_;
  UniqueFd fd_;
  unsigned sourceId_ = 0;
  std::map<int, std::filesystem::path> folders_;
  std::set<std::filesystem::path> pending_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  bool deliveryQueued_ = false;
};
