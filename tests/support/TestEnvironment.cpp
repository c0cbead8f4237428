#include "support/TestEnvironment.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>

namespace testenv {

namespace {
std::filesystem::path& homeStorage() {
  static std::filesystem::path p;
  return p;
}
}  // namespace

void setUp() {
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
}

void tearDown() {
  if (getenv("KORVEL_KEEP_TEST_HOME")) {
    fprintf(stderr, "test home kept: %s\n", homeStorage().c_str());
    return;
  }
  std::error_code ec;
  if (!homeStorage().empty()) std::filesystem::remove_all(homeStorage(), ec);
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
