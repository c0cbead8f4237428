#include "support/PrivateDesktop.h"

#include "platform/RunLoop.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "support/TestEnvironment.h"

extern char** environ;

namespace testenv {
namespace {
pid_t server = 0, manager = 0;

// A server that doesn't end on request within a few seconds is killed: the test's exit never
// waits on it.
void stop(pid_t pid) {
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) != 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

void stopAll() {
  for (pid_t* pid : {&manager, &server}) {
    if (*pid <= 0) continue;
    stop(*pid);
    *pid = 0;
  }
}

// Descriptors without close-on-exec pass to the child.
pid_t spawn(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

bool waitFor(const std::function<bool()>& condition, double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

// One server and its window manager; false, with both stopped and the reason in `why`, when the
// display takes no client or the manager doesn't come up on it.
bool startOnce(std::string* why, int width, int height) {
  auto fail = [&](const char* reason) {
    *why = reason;
    stopAll();
    return false;
  };
  // The server names its display on a pipe once it listens.
  int fds[2];
  if (pipe(fds) != 0) return fail("no pipe");
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  server = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                 std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp"});
  close(fds[1]);
  if (server <= 0) {
    close(fds[0]);
    return fail("Xvfb can't run");
  }
  std::string number;
  char c;
  while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (number.empty()) return fail("Xvfb named no display");
  std::string display = ":" + number;
  auto alive = [](pid_t& pid) {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) pid = 0;
    return pid > 0;
  };
  // The number may be one that a server of a test beside this one has only just given up: a
  // client can be refused for a moment then, so the display must answer one first.
  auto answers = [&] { return run("xdpyinfo -display " + display + " >/dev/null 2>&1") == 0; };
  // Both waits end as soon as the server or the manager has ended.
  waitFor([&] { return !alive(server) || answers(); }, 30);
  if (!alive(server) || !answers()) return fail("the display took no client");
  setenv("DISPLAY", display.c_str(), 1);
  manager = spawn({"openbox", "--sm-disable"});
  if (manager <= 0) return fail("openbox can't run");
  // The manager is ready once it names itself on the root window.
  auto named = [] {
    std::string out;
    return run("xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null", &out) == 0 && out.find("window id") != std::string::npos;
  };
  waitFor([&] { return !alive(manager) || named(); }, 30);
  return alive(manager) && named() ? true : fail("openbox did not start");
}
}  // namespace

bool PrivateDesktop::isRunning() { return server > 0 && manager > 0; }

bool PrivateDesktop::startOrTell(int width, int height) {
  std::string why;
  if (start(&why, width, height)) return true;
  fprintf(stderr, "no desktop of our own: %s\n", why.c_str());
  return false;
}

bool PrivateDesktop::start(std::string* why, int width, int height) {
  if (isRunning()) return true;
  // On failure the test goes on with the display it was given.
  const char* given = getenv("DISPLAY");
  const char* givenWayland = getenv("WAYLAND_DISPLAY");
  std::string display = given ? given : "", wayland = givenWayland ? givenWayland : "";
  unsetenv("WAYLAND_DISPLAY");
  static bool registered = false;
  if (!registered) atexit(stopAll);
  registered = true;
  // Servers of tests running beside this one start and end at the same moment: a display that
  // doesn't come up whole, or whose manager ends at once (refused as a client), is given up and
  // another started.
  std::string reason;
  for (int attempt = 0; attempt < 3; ++attempt)
    if (startOnce(&reason, width, height)) return true;
  if (why) *why = reason;
  if (given) setenv("DISPLAY", display.c_str(), 1);
  else unsetenv("DISPLAY");
  if (givenWayland) setenv("WAYLAND_DISPLAY", wayland.c_str(), 1);
  return false;
}

int xdotool(const std::string& arguments, std::string* output) { return run("xdotool " + arguments, output); }

bool dragPointer(int fromX, int fromY, int toX, int toY, const std::string& shot) {
  if (xdotool("mousemove --sync " + std::to_string(fromX) + " " + std::to_string(fromY) + " mousedown 1") != 0) return false;
  for (int step = 1; step <= 12; ++step) {
    int x = fromX + (toX - fromX) * step / 12, y = fromY + (toY - fromY) * step / 12;
    xdotool("mousemove --sync " + std::to_string(x) + " " + std::to_string(y));
    RunLoop::runUntil([] { return false; }, 0.05);
  }
  for (int wiggle = 0; wiggle < 4; ++wiggle) {
    xdotool(std::string("mousemove_relative --sync -- ") + (wiggle % 2 ? "-2" : "2") + " 0");
    RunLoop::runUntil([] { return false; }, 0.1);
  }
  if (const char* shots = getenv("KORVEL_TEST_SHOTS"))
    run("xwd -root -silent | convert xwd:- '" + std::string(shots) + "/" + shot + "'");
  return true;
}
}  // namespace testenv
