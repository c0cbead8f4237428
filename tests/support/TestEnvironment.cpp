#include "support/TestEnvironment.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace testenv {

namespace {
std::filesystem::path& homeStorage() {
  static std::filesystem::path p;
  return p;
}

constexpr const char* keeperVariable = "KORVEL_TEST_HOME_KEEPER";

void makeHome() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "korvel-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) abort();
  homeStorage() = tmpl;
  setenv("HOME", tmpl.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (tmpl + "/.config").c_str(), 1);
  setenv("XDG_DATA_HOME", (tmpl + "/.local/share").c_str(), 1);
  setenv("XDG_CACHE_HOME", (tmpl + "/.cache").c_str(), 1);
  // No accessibility bridge: a bus it can't reach (one of another session) leaks its connection.
  setenv("NO_AT_BRIDGE", "1", 1);
  std::filesystem::create_directories(tmpl + "/.config");
  std::filesystem::create_directories(tmpl + "/.local/share");
  std::filesystem::create_directories(tmpl + "/.cache");
  setenv(keeperVariable, std::to_string(::getpid()).c_str(), 1);
}

void removeHome() {
  if (getenv("KORVEL_KEEP_TEST_HOME")) {
    fprintf(stderr, "test home kept: %s\n", homeStorage().c_str());
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(homeStorage(), ec);
  if (ec) fprintf(stderr, "test home %s not removed: %s\n", homeStorage().c_str(), ec.message().c_str());
}

// The processes whose parent is this one: after the run, the ones it left (we are their reaper).
std::vector<pid_t> ownChildren() {
  std::vector<pid_t> found;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc", ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    std::string name = it->path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(it->path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    auto close = text.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long parent = 0;
    if (sscanf(text.c_str() + close + 1, " %c %ld", &state, &parent) == 2 && parent == ::getpid())
      found.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return found;
}

volatile sig_atomic_t runPid = 0;

void forwardToRun(int signal) {
  if (runPid > 0) ::kill(runPid, signal);
}

// Waits for the run, then for what it left: they end by themselves once the run's connections
// close; whatever is still there after a grace is ended, and named so a leak shows.
int keep(pid_t run) {
  // Orphans of the run are ours meanwhile: reap them as they end, as init would.
  int status = 0;
  for (;;) {
    int code = 0;
    pid_t reaped = ::waitpid(-1, &code, 0);
    if (reaped == run) {
      status = code;
      break;
    }
    if (reaped < 0 && errno != EINTR) break;
  }
  auto graceEnds = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::set<pid_t> ended;
  for (;;) {
    pid_t reaped;
    while ((reaped = ::waitpid(-1, nullptr, WNOHANG)) > 0) {
    }
    if (reaped < 0 && errno == ECHILD) break;
    if (std::chrono::steady_clock::now() >= graceEnds) {
      for (pid_t left : ownChildren()) {
        if (!ended.insert(left).second) continue;
        std::ifstream comm("/proc/" + std::to_string(left) + "/comm");
        std::string name;
        std::getline(comm, name);
        fprintf(stderr, "the test run left process %d (%s) running; ending it\n", left, name.c_str());
        ::kill(left, SIGKILL);
      }
    }
    ::usleep(20000);
  }
  removeHome();
  if (WIFSIGNALED(status)) {
    ::signal(WTERMSIG(status), SIG_DFL);
    ::raise(WTERMSIG(status));
    return 128 + WTERMSIG(status);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int runWithPrivateHome(const std::function<int()>& tests) {
  // A death test's child, re-executed, runs in the home its keeper made.
  if (getenv(keeperVariable)) {
    homeStorage() = getenv("HOME") ? getenv("HOME") : "";
    return tests();
  }
  makeHome();
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  pid_t run = ::fork();
  if (run < 0) abort();
  if (run == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    return tests();
  }
  runPid = run;
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(signal, forwardToRun);
  return keep(run);
}

const std::filesystem::path& home() { return homeStorage(); }

std::filesystem::path freshFolder(const std::string& hint) {
  static std::atomic<int> counter{0};
  auto p = home() / ("work-" + hint + "-" + std::to_string(++counter));
  std::filesystem::create_directories(p);
  return p;
}

int run(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  int status = pclose(pipe);
  if (output) *output = std::move(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int startWorker(const std::function<void(const std::function<void()>& started)>& body) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    ::close(ready[0]);
    try {
      body([&] {
        if (::write(ready[1], "s", 1) != 1) ::_exit(3);
      });
    } catch (...) {
      ::_exit(5);
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  char started = 0;
  bool ok = child > 0 && ::read(ready[0], &started, 1) == 1;
  ::close(ready[0]);
  if (child > 0 && !ok) ::waitpid(child, nullptr, 0);
  return ok ? child : -1;
}

int killWhen(int child, const std::function<bool()>& killNow) {
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (killNow()) {
      ::kill(child, SIGKILL);
      break;
    }
    ::usleep(200);
  }
  ::waitpid(child, &status, 0);
  return status;
}

long peakGrowthInChild(const std::function<void()>& body) {
  auto kilobytes = [](const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    return 0L;
  };
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    long before = kilobytes("VmRSS:");
    body();
    long growth = kilobytes("VmHWM:") - before;
    (void)!::write(fds[1], &growth, sizeof growth);
    ::_exit(0);
  }
  ::close(fds[1]);
  long growth = -1;
  if (::read(fds[0], &growth, sizeof growth) != sizeof growth) growth = -1;
  ::close(fds[0]);
  ::waitpid(child, nullptr, 0);
  return growth;
}

}  // namespace testenv
