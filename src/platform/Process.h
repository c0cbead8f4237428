#pragma once
// A child process with its three standard streams on pipes. Output arrives line by line on the
// main loop; the exit report follows the last line. The child leads its own process group, so
// stopping it stops whatever it started too; it dies with the application (a parent-death
// signal when we crash, a sweep at exit otherwise).
//
// Threads: main thread only. Handlers run on the main loop, never inside launch().

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Error.h"

class Process {
 public:
  static constexpr const char* ErrorDomain = "com.korvel.process";
  enum ErrorCode : long { launchFailed = 1, notRunning = 2, writeFailed = 3 };

  enum class Stream { output, error };

  struct Options {
    std::filesystem::path executable;
    std::vector<std::string> arguments;  // after the program name, which is `executable`
    // The whole environment of the child; nothing gives it the application's own.
    std::optional<std::map<std::string, std::string>> environment;
    std::filesystem::path workingDirectory;  // empty: the application's own
    // How long a stopped child has between SIGTERM and SIGKILL.
    double terminationGrace = 2.0;
  };

  struct Exit {
    int code = 0;    // exit code when it exited
    int signal = 0;  // the signal that ended it, 0 when it exited
    // The exit code, or the number of the signal that ended it.
    int status() const { return signal ? signal : code; }
  };

  struct Handlers {
    // One line, without its line feed. A line cut across reads arrives whole; bytes that are not
    // UTF-8 come out as U+FFFD. A line longer than maxLineLength arrives in pieces.
    std::function<void(const std::string& line, Stream stream)> line;
    // After every line the child wrote before it ended.
    std::function<void(const Exit& exit)> exit;
  };

  static constexpr std::size_t maxLineLength = 1 << 20;

  static Result<std::unique_ptr<Process>> launch(Options options, Handlers handlers);

  // Stops the child and its group (SIGTERM, SIGKILL after the grace) unless it has ended;
  // no report follows. The child is reaped either way.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const;
  bool isRunning() const;

  // Writes to the child's standard input; fails once the child stopped reading.
  Result<void> write(std::string_view bytes);
  void closeInput();

  // The application's environment as a map, to extend for a child.
  static std::map<std::string, std::string> currentEnvironment();

  struct Impl;

 private:
  explicit Process(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};
