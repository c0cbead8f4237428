#pragma once
// Runs one child process and reports what it writes, line by line: lines that hold a JSON
// object as objects, the others as output, to a delegate, to callbacks and as notifications.
// The end report comes after the last line. Dropping or aborting the runner stops the process
// and its process group. Only the latest lines and objects are kept.
//
// Threads: main thread only; every report arrives on the main loop.

#include <chrono>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/Process.h"

inline constexpr const char* CSTaskManagerDidReceiveObjectNotification = "CSTaskManagerDidReceiveObject";
inline constexpr const char* CSTaskManagerDidReceiveOutputNotification = "CSTaskManagerDidReceiveOutput";

class CSTaskManager;

// Every method is optional.
class CSTaskManagerDelegate {
 public:
  virtual ~CSTaskManagerDelegate() = default;
  virtual void taskManagerDidReceiveOutput(CSTaskManager&, const std::string& /*line*/, bool /*isError*/) {}
  virtual void taskManagerDidReceiveObject(CSTaskManager&, const nlohmann::json& /*object*/) {}
  virtual void taskManagerDidEndWithStatus(CSTaskManager&, int /*status*/) {}
};

class CSTaskManager : public std::enable_shared_from_this<CSTaskManager> {
 public:
  static constexpr std::size_t outputLimit = 1000;
  static constexpr std::size_t objectLimit = 100;

  static std::shared_ptr<CSTaskManager> create();
  ~CSTaskManager();
  CSTaskManager(const CSTaskManager&) = delete;
  CSTaskManager& operator=(const CSTaskManager&) = delete;

  // What to run; the owner fills it in before run().
  Process::Options task;
  bool debug = false;  // log every line and the end
  std::weak_ptr<CSTaskManagerDelegate> delegate;

  // A line with its line feed, and whether it came from standard error.
  std::function<void(const std::string& line, bool isError)> taskManagerDidReceiveOutput;
  std::function<void(const nlohmann::json& object)> taskManagerDidReceiveObject;
  // The bytes of an object's line, without the line feed.
  std::function<void(const Data& json)> taskManagerDidReceiveJSONData;
  // The exit code, or the number of the signal that ended the process.
  std::function<void(int status)> taskManagerDidEnd;

  // Launches `task` once. A launch that fails is answered, and nothing is reported.
  Result<void> run();
  // Stops a running process and its group without an end report.
  void abort();
  bool isRunning() const;

  // Standard input, after run(); nothing is written before it.
  void sendInput(std::string_view text);
  void sendJsonInput(const nlohmann::json& object);
  // Puts `directory` in front of the PATH of `task`'s own environment (an empty one when it has
  // none). Before run().
  void addPath(const std::filesystem::path& directory);

  std::chrono::system_clock::time_point startTime() const { return startTime_; }
  double elapsed() const;  // milliseconds since run()

  // The latest lines, each with its line feed, and objects, oldest first.
  const std::deque<std::string>& output() const { return output_; }
  const std::deque<std::shared_ptr<const nlohmann::json>>& objects() const { return objects_; }

 private:
  CSTaskManager() = default;
  void processLine(const std::string& piece, bool isError);
  void didEnd(int status);

  std::unique_ptr<Process> process_;
  std::chrono::system_clock::time_point startTime_{};
  std::deque<std::string> output_;
  std::deque<std::shared_ptr<const nlohmann::json>> objects_;
};
