// Costs of a hostile program run as a drawing tool would be, printed as one line:
//   confined_tool_bench '<shell script>'
// The script runs in /bin/sh under a drawing tool's bounds; the line says how the run ended, how
// long it took and how many processes with "lingering" in their command line outlived it. Time
// it with /usr/bin/time -v for the peak memory of the whole process tree.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/ConfinedTool.h"

namespace {

const char* nameOf(ConfinedTool::Outcome outcome) {
  switch (outcome) {
    case ConfinedTool::Outcome::notStarted: return "not started";
    case ConfinedTool::Outcome::exited: return "exited";
    case ConfinedTool::Outcome::killed: return "killed";
    case ConfinedTool::Outcome::timedOut: return "timed out";
    case ConfinedTool::Outcome::wroteTooMuch: return "wrote too much";
  }
  return "?";
}

int lingering() {
  int count = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::stringstream line;
    line << in.rdbuf();
    if (line.str().find("lingering") != std::string::npos && line.str().find("confined_tool_bench") == std::string::npos)
      ++count;
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  auto tool = ConfinedTool::create();
  if (!tool) return 3;
  // As a drawing tool: 2 GB of address space, 320 MB a file, 384 MB in its folder, 30 s.
  ConfinedTool::Limits limits;
  limits.memory = std::size_t(2) << 30;
  limits.fileSize = std::size_t(320) << 20;
  limits.folderSpace = std::size_t(384) << 20;
  auto start = std::chrono::steady_clock::now();
  auto run = tool->run({"/bin/sh", "-c", argv[1]}, limits);
  auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("tool: %s (status %d) after %.0f ms; %d lingering processes\n", nameOf(run.outcome), run.exitCode, took,
              lingering());
  return 0;
}
