// What a confined tool can't do however it is written: keep data its folder doesn't list, shut
// its folder to us, leave processes behind, reach the session's services, pass its bounds with
// many processes at once, or hand back anything but a plain file.

#include <gtest/gtest.h>
#include <glib.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ConfinedTool.h"
#include "platform/FileConfinement.h"
#include "platform/ImageData.h"
#include "platform/PrivateFileSystem.h"
#include "platform/SyscallFilter.h"
#include "platform/UniqueFd.h"
#include "support/TestEnvironment.h"

namespace {

namespace fs = std::filesystem;

const std::string python = "/usr/bin/python3";

// While alive, this thread overrides no file mode, as a user who is not the superuser: a
// folder shut to its owner is then shut to us too.
class WithoutOverridingModes {
 public:
  WithoutOverridingModes() {
    if (::syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH) | (1U << CAP_FOWNER));
    reduced_ = ::syscall(SYS_capset, &header_, reduced) == 0;
  }
  ~WithoutOverridingModes() {
    if (reduced_) ::syscall(SYS_capset, &header_, saved_);
  }
  WithoutOverridingModes(const WithoutOverridingModes&) = delete;
  WithoutOverridingModes& operator=(const WithoutOverridingModes&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};  // this thread
  __user_cap_data_struct saved_[2]{};
  bool reduced_ = false;
};

// The processes whose command line holds `token`.
std::vector<pid_t> processesWith(const std::string& token) {
  std::vector<pid_t> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::stringstream line;
    line << in.rdbuf();
    if (line.str().find(token) != std::string::npos) found.push_back(std::stoi(name));
  }
  return found;
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

TEST(ConfinedTool, ItHoldsNothingItsFolderDoesNotList) {
  if (!SyscallFilter::create()) GTEST_SKIP() << "no system call filter for this processor";
  auto tool = ConfinedTool::create();
  ASSERT_TRUE(tool);
  ConfinedTool::Limits limits;
  struct Case {
    std::string what;
    std::vector<std::string> argv;
    bool allowed;
  };
  auto py = [&](const std::string& code) { return std::vector<std::string>{python, "-c", "import os\n" + code}; };
  const std::vector<Case> cases = {
      {"write and truncate", {"/bin/sh", "-c", "echo a > kept && : > kept && mkdir inner"}, true},
      {"remove a file", {"/bin/sh", "-c", "echo a > gone && rm gone"}, false},
      {"remove a folder", {"/bin/sh", "-c", "mkdir empty && rmdir empty"}, false},
      {"rename", {"/bin/sh", "-c", "echo a > old && mv old new"}, false},
      {"remove while open", py("f = open('held', 'wb')\nos.unlink('held')"), false},
      {"unnamed file", py("os.open('.', os.O_TMPFILE | os.O_WRONLY)"), false},
      {"memory file", py("os.memfd_create('held')"), false},
      {"System V memory", py("import ctypes\nassert ctypes.CDLL(None).shmget(0, 1 << 20, 0o1600) >= 0"), false},
      // What the kernel would hold for it outside its address space.
      {"a small pipe", py("r, w = os.pipe()\nos.write(w, b'x' * 4096)"), true},
      {"a larger pipe", py("import fcntl\nr, w = os.pipe()\nfcntl.fcntl(w, 1031, 1 << 20)"), false},
      {"pages moved into a pipe", py("r, w = os.pipe()\nf = os.open('a', os.O_RDWR | os.O_CREAT)\nos.write(f, b'x')\n"
                                     "os.lseek(f, 0, 0)\nassert os.splice(f, w, 1) == 1"), false},
      {"a record lock", py("import fcntl\nf = open('locked', 'wb')\nfcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)"), false},
      {"semaphores", py("import ctypes\nassert ctypes.CDLL(None).semget(0, 1000, 0o1600) >= 0"), false},
      {"namespaces of its own", py("import ctypes\nassert ctypes.CDLL(None).unshare(0x10000000 | 0x40000000) == 0"), false},
  };
  for (const auto& c : cases) {
    auto run = tool->run(c.argv, limits);
    EXPECT_EQ(run.outcome, ConfinedTool::Outcome::exited) << c.what;
    EXPECT_EQ(run.exitCode == 0, c.allowed) << c.what;
  }
}

TEST(ConfinedTool, ItTracesNoOtherProcess) {
  if (!SyscallFilter::create()) GTEST_SKIP() << "no system call filter for this processor";
  // A process of the same user's, as the application is: traced, it would run anything.
  GPid other = 0;
  const gchar* sleeper[] = {"/bin/sleep", "600", nullptr};
  ASSERT_TRUE(g_spawn_async(nullptr, const_cast<gchar**>(sleeper), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr,
                            &other, nullptr));
  auto tool = ConfinedTool::create();
  ASSERT_TRUE(tool);
  std::string pid = std::to_string(other);
  // Each fails only when refused (EPERM); any other answer means the kernel took the call.
  const std::vector<std::pair<std::string, std::string>> attempts = {
      {"attach", "libc.ptrace(16, " + pid + ", 0, 0)"},
      {"read its memory", "libc.process_vm_readv(" + pid + ", (ctypes.c_void_p * 2)(0, 0), 1, (ctypes.c_void_p * 2)(0, 0), 1, 0)"},
  };
  for (const auto& [what, code] : attempts) {
    auto run = tool->run({python, "-c",
                          "import ctypes\nlibc = ctypes.CDLL(None, use_errno=True)\nassert " + code +
                              " == 0 or ctypes.get_errno() != 1"},
                         {});
    EXPECT_EQ(run.outcome, ConfinedTool::Outcome::exited) << what;
    EXPECT_NE(run.exitCode, 0) << what;
  }
  ::kill(other, SIGKILL);
  int status = 0;
  ::waitpid(other, &status, 0);
  g_spawn_close_pid(other);
}

TEST(ConfinedTool, AFolderTheToolShutToItsOwnerIsMeasuredAndRemoved) {
  // As the superuser, no mode shuts anything: the test drops that power for its thread.
  WithoutOverridingModes asAUser;
  fs::path folder;
  {
    auto tool = ConfinedTool::create();
    ASSERT_TRUE(tool);
    folder = tool->folder();
    ConfinedTool::Limits limits;
    limits.folderSpace = 1 << 20;
    auto run = tool->run({"/bin/sh", "-c", "mkdir -p hidden/deeper && head -c 3000000 /dev/zero > hidden/deeper/bytes"
                                           " && chmod 000 hidden/deeper hidden"},
                         limits);
    EXPECT_EQ(run.outcome, ConfinedTool::Outcome::wroteTooMuch);
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(folder)));

  // One a killed application left, shut the same way.
  std::string made;
  ASSERT_EQ(testenv::run("cd " + quoted(fs::temp_directory_path().string()) +
                             " && mkdir -p korvel-tool-$$-Sh00tX/hidden/deeper"
                             " && head -c 1000 /dev/zero > korvel-tool-$$-Sh00tX/hidden/deeper/bytes"
                             " && chmod 000 korvel-tool-$$-Sh00tX/hidden/deeper korvel-tool-$$-Sh00tX/hidden && echo $$",
                         &made),
            0);
  fs::path left = fs::temp_directory_path() / ("korvel-tool-" + std::to_string(std::stol(made)) + "-Sh00tX");
  EXPECT_GE(ConfinedTool::removeLeftovers(), 1u);
  EXPECT_FALSE(fs::exists(fs::symlink_status(left)));
}

TEST(ConfinedTool, EveryProcessTheToolStartsEndsWithIt) {
  // A grandchild in a session of its own, its parent gone: it waits for nothing the tool does.
  struct Case {
    std::string what;
    std::string after;  // what the tool does once its grandchild runs
    std::chrono::milliseconds time;
    ConfinedTool::Outcome outcome;
  };
  const std::vector<Case> cases = {
      {"tool exits", "exit 0", std::chrono::milliseconds(30000), ConfinedTool::Outcome::exited},
      {"tool runs past its time", "while :; do sleep 1; done", std::chrono::milliseconds(2000),
       ConfinedTool::Outcome::timedOut},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    std::string token = "korvel-lingering-" + std::to_string(::getpid()) + "-" + std::to_string(i);
    auto tool = ConfinedTool::create();
    ASSERT_TRUE(tool);
    ConfinedTool::Limits limits;
    limits.time = c.time;
    std::string script = "(setsid /bin/sh -c ': " + token +
                         "; echo > started; while :; do sleep 1; done' &); until [ -e started ]; do sleep 0.01; done; " +
                         c.after;
    auto run = tool->run({"/bin/sh", "-c", script}, limits);
    EXPECT_EQ(run.outcome, c.outcome) << c.what;
    auto left = processesWith(token);
    EXPECT_TRUE(left.empty()) << c.what << ": " << left.size() << " left running";
    for (pid_t pid : left) ::kill(pid, SIGKILL);
  }
}

TEST(ConfinedTool, TheToolGetsNoneOfTheSessionsSettings) {
  auto tool = ConfinedTool::create();
  ASSERT_TRUE(tool);
  auto run = tool->run({"/bin/sh", "-c", "/usr/bin/env > settings"}, {});
  ASSERT_EQ(run.exitCode, 0);
  auto settings = tool->take("settings", 1 << 20);
  ASSERT_TRUE(settings);
  std::set<std::string> names;
  std::istringstream lines(std::string(settings->begin(), settings->end()));
  for (std::string line; std::getline(lines, line);) names.insert(line.substr(0, line.find('=')));
  // What the shell adds of its own (PWD) aside, the path and the temporary folder only.
  names.erase("PWD");
  EXPECT_EQ(names, (std::set<std::string>{"PATH", "TMPDIR", "TEMP", "TMP"}));
}

namespace {

// A listener on 127.0.0.1 and one on an abstract Unix name, open while alive.
struct Listeners {
  UniqueFd tcp{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  UniqueFd unix{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  int port = 0;
  std::string abstractName = "korvel-test-" + std::to_string(::getpid());

  bool listen() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(tcp.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(tcp.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 || ::listen(tcp.get(), 8) != 0)
      return false;
    port = ntohs(address.sin_port);
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    abstractName.copy(name.sun_path + 1, abstractName.size());
    auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + abstractName.size());
    return ::bind(unix.get(), reinterpret_cast<sockaddr*>(&name), size) == 0 && ::listen(unix.get(), 8) == 0;
  }
};

struct Reach {
  std::string what;
  std::vector<std::string> argv;
};

std::vector<Reach> reachesOf(const Listeners& listeners) {
  std::vector<Reach> reaches = {
      {"a loopback listener", {"/bin/bash", "-c", "exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(listeners.port)}},
      {"an abstract socket",
       {python, "-c", "import socket\nsocket.socket(socket.AF_UNIX).connect('\\0" + listeners.abstractName + "')"}},
  };
  if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
    reaches.push_back({"the session bus",
                       {"/usr/bin/dbus-send", std::string("--bus=") + bus, "--print-reply", "--dest=org.freedesktop.DBus",
                        "/org/freedesktop/DBus", "org.freedesktop.DBus.GetId"}});
  return reaches;
}

std::string commandLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const auto& a : argv) line += quoted(a) + " ";
  return line;
}

}  // namespace

TEST(ConfinedTool, AConfinedShellReachesNeitherTheSessionBusNorALoopbackListener) {
  if (!SyscallFilter::create()) GTEST_SKIP() << "no system call filter for this processor";
  Listeners listeners;
  ASSERT_TRUE(listeners.listen());
  auto reaches = reachesOf(listeners);
  if (reaches.size() < 3) std::cerr << "no session bus: its case is left out\n";
  auto tool = ConfinedTool::create();
  ASSERT_TRUE(tool);
  for (const auto& r : reaches) {
    ASSERT_EQ(testenv::run(commandLine(r.argv) + ">/dev/null 2>&1"), 0) << r.what << " is reachable unconfined";
    auto run = tool->run(r.argv, {});
    EXPECT_EQ(run.outcome, ConfinedTool::Outcome::exited) << r.what;
    EXPECT_NE(run.exitCode, 0) << r.what << " reached";
  }
}

namespace {

// Runs `argv` under the file confinement alone; its exit status.
int underFileConfinement(const FileConfinement& confinement, const std::vector<std::string>& argv) {
  std::vector<gchar*> arguments;
  for (const auto& a : argv) arguments.push_back(const_cast<gchar*>(a.c_str()));
  arguments.push_back(nullptr);
  gint status = -1;
  auto apply = [](gpointer data) {
    if (!static_cast<const FileConfinement*>(data)->applyInChild()) _exit(127);
  };
  if (!g_spawn_sync(nullptr, arguments.data(), nullptr,
                    static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL), apply,
                    const_cast<FileConfinement*>(&confinement), nullptr, nullptr, &status, nullptr))
    return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(FileConfinement, DeniesTCPAndAbstractSocketsWhereTheKernelHasTheRules) {
  // Behind the system call filter, a second line of the kernel's own where it has one.
  int version = FileConfinement::version();
  if (version < 4) GTEST_SKIP() << "this kernel's Landlock (version " << version << ") has no network rules (version 4)";
  Listeners listeners;
  ASSERT_TRUE(listeners.listen());
  auto folder = testenv::freshFolder("confined");
  auto confinement = FileConfinement::create(folder, "/bin/bash");
  ASSERT_TRUE(confinement);
  auto reaches = reachesOf(listeners);
  EXPECT_NE(underFileConfinement(*confinement, reaches[0].argv), 0) << reaches[0].what;
  if (version < 6) GTEST_SKIP() << "this kernel's Landlock (version " << version << ") can't scope abstract sockets (version 6)";
  EXPECT_NE(underFileConfinement(*confinement, reaches[1].argv), 0) << reaches[1].what;
}

namespace {

// Watches the processes of one tool run, found by a token in the tool's command line: all that
// share its process namespace, and its folder as they see it.
class ToolWatch {
 public:
  struct Sample {
    std::size_t processes = 0;
    std::uintmax_t resident = 0;  // bytes, all together
    std::uintmax_t folder = 0;    // bytes its folder takes
  };

  ToolWatch(std::string token, fs::path folder) : token_(std::move(token)), folder_(std::move(folder)) {
    thread_ = std::thread([this] {
      // As often as a pass over the process table allows: a few milliseconds apart.
      while (!stop_) {
        Sample now = sample();
        std::lock_guard<std::mutex> lock(mutex_);
        peak_.processes = std::max(peak_.processes, now.processes);
        peak_.resident = std::max(peak_.resident, now.resident);
        peak_.folder = std::max(peak_.folder, now.folder);
      }
    });
  }
  ~ToolWatch() { finish(); }
  ToolWatch(const ToolWatch&) = delete;
  ToolWatch& operator=(const ToolWatch&) = delete;

  void finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  Sample peak() {
    std::lock_guard<std::mutex> lock(mutex_);
    return peak_;
  }
  // Whether the tool was found, in a process namespace of its own.
  bool apart() const { return apart_; }
  // Processes left in the tool's namespace now.
  std::size_t left() { return toolNamespace_ ? inNamespace(toolNamespace_).size() : 0; }

  static ino_t namespaceOf(const std::string& pid) {
    struct stat status {};
    return ::stat(("/proc/" + pid + "/ns/pid").c_str(), &status) == 0 ? status.st_ino : 0;
  }

 private:
  static std::vector<std::string> processIds() {
    std::vector<std::string> ids;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
      std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") == std::string::npos) ids.push_back(name);
    }
    return ids;
  }

  static std::vector<std::string> inNamespace(ino_t space) {
    std::vector<std::string> found;
    for (const auto& pid : processIds())
      if (namespaceOf(pid) == space) found.push_back(pid);
    return found;
  }

  static std::uintmax_t usage(const fs::path& folder) {
    std::uintmax_t bytes = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      struct stat status {};
      if (::lstat(it->path().c_str(), &status) == 0) bytes += std::uintmax_t(status.st_blocks) * 512;
    }
    return bytes;
  }

  Sample sample() {
    Sample now;
    if (!toolNamespace_) {
      for (const auto& pid : processIds()) {
        std::ifstream in("/proc/" + pid + "/cmdline", std::ios::binary);
        std::stringstream line;
        line << in.rdbuf();
        if (line.str().find(token_) == std::string::npos) continue;
        toolNamespace_ = namespaceOf(pid);
        apart_ = toolNamespace_ != namespaceOf(std::to_string(::getpid()));
        // The tool waits to be seen (untilWatched) before it starts anything.
        std::ofstream(fs::path("/proc") / pid / "root" / folder_.relative_path() / "watched");
        break;
      }
      if (!toolNamespace_) return now;
    }
    if (!apart_) return now;
    long page = ::sysconf(_SC_PAGESIZE);
    std::string any;
    for (const auto& pid : inNamespace(toolNamespace_)) {
      std::ifstream statm("/proc/" + pid + "/statm");
      std::uintmax_t size = 0, resident = 0;
      if (!(statm >> size >> resident)) continue;
      ++now.processes;
      now.resident += resident * std::uintmax_t(page);
      if (any.empty()) any = pid;
    }
    // The folder as the tool's processes see it, in their own mounts where they have them.
    if (!any.empty()) now.folder = usage(fs::path("/proc") / any / "root" / folder_.relative_path());
    now.folder = std::max(now.folder, usage(folder_));
    return now;
  }

  std::string token_;
  fs::path folder_;
  ino_t toolNamespace_ = 0;
  bool apart_ = false;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  Sample peak_;
  std::thread thread_;
};

// Begins a tool's script: it starts nothing until its watch has found it.
constexpr const char* untilWatched = "; until [ -e watched ]; do :; done; ";

std::string tokenFor(const std::string& what) { return "korvel-watched-" + std::to_string(::getpid()) + "-" + what; }

// A drawing tool's bounds, with room for as many processes as asked.
ConfinedTool::Limits drawingLimits(std::size_t processes) {
  ConfinedTool::Limits limits;
  limits.memory = std::size_t(2) << 30;
  limits.processes = processes;
  limits.fileSize = std::size_t(320) << 20;
  limits.folderSpace = std::size_t(384) << 20;
  return limits;
}

constexpr std::uintmax_t megabyte = 1 << 20;

}  // namespace

TEST(ConfinedTool, ThreeLargeProcessesTogetherStayWithinTheMemoryBound) {
  // Each would take three quarters of the bound, and holds it a while.
  for (std::size_t processes : {std::size_t(1), std::size_t(4)}) {
    std::string token = tokenFor("memory-" + std::to_string(processes));
    auto tool = ConfinedTool::create();
    ASSERT_TRUE(tool);
    auto limits = drawingLimits(processes);
    ToolWatch watch(token, tool->folder());
    auto run = tool->run({"/bin/sh", "-c",
                          ": " + token + untilWatched +
                              "for i in 1 2 3; do /usr/bin/python3 -c 'import time; held = b\"1\" * (1536 << 20); "
                              "time.sleep(3)' & done; wait"},
                         limits);
    watch.finish();
    if (!watch.apart()) GTEST_SKIP() << "this system gives the tool no namespaces of its own to watch it by";
    EXPECT_NE(run.outcome, ConfinedTool::Outcome::notStarted) << processes;
    EXPECT_LE(watch.peak().resident, limits.memory) << processes << " processes: " << watch.peak().resident / megabyte
                                                    << " MB resident at once";
    EXPECT_LE(watch.peak().processes, processes) << processes;
  }
}

TEST(ConfinedTool, TwoThousandForksStayWithinTheProcessBoundAndNoneOutlivesTheTool) {
  for (std::size_t processes : {std::size_t(1), std::size_t(8)}) {
    std::string token = tokenFor("forks-" + std::to_string(processes));
    auto tool = ConfinedTool::create();
    ASSERT_TRUE(tool);
    ToolWatch watch(token, tool->folder());
    auto run = tool->run({"/bin/sh", "-c",
                          ": " + token + untilWatched +
                              "i=0; while [ $i -lt 2000 ]; do sleep 3 & i=$((i + 1)); done; wait"},
                         drawingLimits(processes));
    watch.finish();
    if (!watch.apart()) GTEST_SKIP() << "this system gives the tool no namespaces of its own to watch it by";
    EXPECT_NE(run.outcome, ConfinedTool::Outcome::notStarted) << processes;
    EXPECT_LE(watch.peak().processes, processes) << processes << " allowed";
    EXPECT_EQ(watch.left(), 0u) << processes;
  }
}

TEST(ConfinedTool, WritersInABurstNeverHoldMoreThanTheFolderBound) {
  // Eight writers, three files of 300 MB each, allocated at once rather than written.
  std::string token = tokenFor("burst");
  auto tool = ConfinedTool::create();
  ASSERT_TRUE(tool);
  auto limits = drawingLimits(32);
  {
    ToolWatch watch(token, tool->folder());
    auto run = tool->run({"/bin/sh", "-c",
                          ": " + token + untilWatched +
                              "for i in 1 2 3 4 5 6 7 8; do (for j in 1 2 3; do fallocate -l 300M f$i-$j; done) & "
                              "done; wait"},
                         limits);
    watch.finish();
    if (!watch.apart()) GTEST_SKIP() << "this system gives the tool no namespaces of its own to watch it by";
    EXPECT_NE(run.outcome, ConfinedTool::Outcome::notStarted);
    // A little over: what the folder's items themselves take.
    EXPECT_LE(watch.peak().folder, limits.folderSpace + megabyte)
        << watch.peak().folder / megabyte << " MB held at once";
  }
  std::error_code ec;
  std::uintmax_t after = 0;
  for (const auto& entry : fs::recursive_directory_iterator(tool->folder(), ec)) {
    struct stat status {};
    if (::lstat(entry.path().c_str(), &status) == 0) after += std::uintmax_t(status.st_blocks) * 512;
  }
  EXPECT_LE(after, limits.folderSpace + megabyte) << after / megabyte << " MB left in the folder";
}

TEST(ConfinedTool, OnlyAPlainFileIsTakenAndNothingWaitsForAWriter) {
  auto outside = testenv::freshFolder("taken");
  std::ofstream(outside / "plain.png") << "not the tool's";
  struct Case {
    std::string what;
    std::function<bool(const fs::path& path)> make;  // false: this system can't make it
    bool taken;
  };
  UniqueFd socketHolder;
  const std::vector<Case> cases = {
      {"a plain file", [](const fs::path& p) { return bool(std::ofstream(p) << "png"); }, true},
      {"a pipe", [](const fs::path& p) { return ::mkfifo(p.c_str(), 0600) == 0; }, false},
      {"a device", [](const fs::path& p) { return ::mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0; }, false},
      {"a socket",
       [&](const fs::path& p) {
         socketHolder.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
         sockaddr_un name{};
         name.sun_family = AF_UNIX;
         p.string().copy(name.sun_path, sizeof name.sun_path - 1);
         return ::bind(socketHolder.get(), reinterpret_cast<sockaddr*>(&name), sizeof name) == 0;
       },
       false},
      {"a link to a plain file",
       [&](const fs::path& p) { return ::symlink((outside / "plain.png").c_str(), p.c_str()) == 0; }, false},
  };
  // What the tool left, and what a tool made itself: a pipe, as a taken-over program would.
  auto takenWithin = [](const ConfinedTool& tool, const std::string& what) -> std::optional<bool> {
    auto taking = std::async(std::launch::async, [&] { return tool.take("page.png", 1 << 20).has_value(); });
    if (taking.wait_for(std::chrono::seconds(1)) == std::future_status::ready) return taking.get();
    // Let it go: a writer opens the pipe it waits on.
    UniqueFd writer(::open((tool.folder() / "page.png").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    ADD_FAILURE() << what << ": still waiting after a second";
    taking.wait();
    return std::nullopt;
  };
  for (const auto& c : cases) {
    auto tool = ConfinedTool::create();
    ASSERT_TRUE(tool);
    if (!c.make(tool->folder() / "page.png")) {
      std::cerr << c.what << " can't be made here: its case is left out\n";
      continue;
    }
    EXPECT_EQ(takenWithin(*tool, c.what), std::optional<bool>(c.taken)) << c.what;
  }
  auto tool = ConfinedTool::create();
  ASSERT_TRUE(tool);
  auto run = tool->run({"/bin/sh", "-c", "mkfifo page.png"}, drawingLimits(4));
  ASSERT_EQ(run.outcome, ConfinedTool::Outcome::exited);
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_EQ(takenWithin(*tool, "a pipe the tool made"), std::optional<bool>(false));
}

TEST(PrivateFileSystem, ACoveredFolderListsNothingAndTakesNothing) {
  // Where the tool's file confinement is missing, this alone keeps named shared memory out.
  auto folder = testenv::freshFolder("covered");
  std::ofstream(folder / "theirs") << "theirs";
  std::string path = folder.string(), made = (folder / "made").string();
  // As a tool is: in user and mount namespaces of its own, whose mounts reach no one else.
  pid_t child = static_cast<pid_t>(::syscall(SYS_clone, CLONE_NEWUSER | CLONE_NEWNS | SIGCHLD, 0, 0, 0, 0));
  if (child == 0) {
    if (!PrivateFileSystem::coverInChild(path.c_str())) _exit(2);
    if (::access((path + "/theirs").c_str(), F_OK) == 0) _exit(3);
    int fd = ::open(made.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    _exit(fd < 0 ? 0 : 4);
  }
  if (child < 0) GTEST_SKIP() << "no namespaces of our own here";
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: not covered, 3: its file is seen, 4: a file was made";
  EXPECT_TRUE(fs::exists(folder / "theirs"));
  EXPECT_FALSE(fs::exists(folder / "made"));
  EXPECT_TRUE(PrivateFileSystem::coverInChild((folder / "missing").c_str())) << "nothing to cover";
}
