#pragma once
// An outside program run on untrusted input: in a private empty folder (mode 0700, its working
// folder and its TMPDIR, removed with everything in it afterwards), with no setting of ours but
// a fixed PATH, with bounded memory and number of processes (all it started together), written
// file size, open files, space taken in its folder and time, killed when over together with
// every process it started. Where the user may make namespaces, its folder is a file system of
// its own of the bound's size, which no write passes, and /dev/shm an empty one it can't write.
// It opens no socket, holds no data its folder doesn't list and no memory of the kernel's past
// a few pages a pipe (SyscallFilter). The superuser's tools run as the user who owns nothing;
// where that user can't reach the temporary folder, their folders go to /tmp or /var/tmp. Where the kernel allows
// (FileConfinement), it reads nothing but the system's files and its folder's, and writes
// nothing outside its folder. Display-free. Any thread: run() blocks its caller until the child
// and all it started end, on a context of its own, so call it from a worker.

#include <fcntl.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/PrivateFileSystem.h"

class ConfinedTool {
 public:
  struct Limits {
    std::chrono::milliseconds time{30000};
    std::size_t memory = std::size_t(1) << 30;      // address space of all its processes together
    // Processes and threads at once, its own included; where the user may not make namespaces,
    // the kernel counts all of the user's, and the tool starts none.
    std::size_t processes = 8;
    std::size_t fileSize = std::size_t(256) << 20;  // any file it writes
    std::size_t folderSpace = std::size_t(512) << 20;  // what it adds to its folder in all
  };
  enum class Outcome { notStarted, exited, killed, timedOut, wroteTooMuch };
  struct Run {
    Outcome outcome = Outcome::notStarted;
    int exitCode = -1;  // when it exited
  };

  // A new private folder, in the temporary folder where the tool's user can reach it; an error
  // saying why when none can be made.
  static Result<ConfinedTool> create();
  // Removes the folders that tools of processes that have ended left in the temporary folder
  // (an application killed during a run); returns how many.
  static std::size_t removeLeftovers();
  ~ConfinedTool();
  ConfinedTool(ConfinedTool&& other) noexcept;
  ConfinedTool& operator=(ConfinedTool&&) = delete;
  ConfinedTool(const ConfinedTool&) = delete;

  const std::filesystem::path& folder() const { return folder_; }
  // A file of the folder, written before the run (0600). False when it could not be written.
  bool put(const std::string& name, const Data& bytes) const;
  // A file the tool left in the folder, when it is a plain file of at most `limit` bytes; never
  // waits for a writer, opens no device and follows no link.
  std::optional<Data> take(const std::string& name, std::size_t limit) const;

  // Runs `argv` (argv[0] an absolute path) with the folder as its working and temporary folder,
  // standard streams closed or silenced. Not started where the kernel confines file access
  // but the confinement could not be made.
  Run run(const std::vector<std::string>& argv, const Limits& limits) const;

 private:
  explicit ConfinedTool(std::filesystem::path folder) : folder_(std::move(folder)) {}
  // Where its files are, the folder or its own file system: a descriptor to open them at, and
  // the name of the folder there.
  int filesAt() const { return space_ ? space_->root() : AT_FDCWD; }
  std::string folderName() const { return space_ ? "." : folder_.string(); }
  std::filesystem::path folder_;
  // Made by each run, at the size its limits give; the plain files of the folder are moved into it.
  mutable std::optional<PrivateFileSystem> space_;
};
