#include "platform/Process.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"

namespace {

struct Line {
  std::string text;
  Process::Stream stream;
};

// Runs `script` under sh and records what comes back.
struct ShellRun {
  std::vector<Line> lines;
  std::optional<Process::Exit> exit;
  size_t linesAtExit = 0;
  std::unique_ptr<Process> process;

  explicit ShellRun(const std::string& script, Process::Options options = {}) {
    options.executable = "/bin/sh";
    options.arguments = {"-c", script};
    Process::Handlers handlers;
    handlers.line = [this](const std::string& text, Process::Stream stream) { lines.push_back({text, stream}); };
    handlers.exit = [this](const Process::Exit& e) {
      exit = e;
      linesAtExit = lines.size();
    };
    auto launched = Process::launch(options, handlers);
    EXPECT_TRUE(launched) << (launched ? "" : launched.error().description());
    if (launched) process = std::move(*launched);
  }
  bool waitForExit() {
    return RunLoop::runUntil([this] { return exit.has_value(); }, 20.0);
  }
  bool waitForLines(size_t count) {
    return RunLoop::runUntil([this, count] { return lines.size() >= count; }, 20.0);
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (auto& l : lines) out.push_back(l.text);
    return out;
  }
};

// Alive and not a zombie.
bool isRunning(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content;
  if (!std::getline(stat, content)) return false;
  auto close = content.rfind(')');
  return close != std::string::npos && close + 2 < content.size() && content[close + 2] != 'Z';
}

bool hasProcessEntry(pid_t pid) { return access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0; }

}  // namespace

TEST(Process, JoinsLinesCutAcrossReadsAndKeepsMultiByteCharacters) {
  // "é" is \303\251; the reads are cut inside the line and inside the character.
  ShellRun run("printf 'ab'; sleep 0.2; printf 'c\\nd\\303'; sleep 0.2; printf '\\251\\n'; printf 'tail'");
  ASSERT_TRUE(run.waitForExit());
  EXPECT_EQ(run.texts(), (std::vector<std::string>{"abc", "d\u00e9", "tail"}));
  EXPECT_EQ(run.linesAtExit, 3u) << "the unterminated last line comes before the exit report";
}

TEST(Process, ReportsEachStreamAndReplacesInvalidBytes) {
  ShellRun run("echo out; echo '{\"on\":\"error\"}' >&2; printf 'bad\\377\\n'");
  ASSERT_TRUE(run.waitForExit());
  ASSERT_EQ(run.lines.size(), 3u);
  std::map<std::string, Process::Stream> streams;
  for (auto& l : run.lines) streams[l.text] = l.stream;
  EXPECT_EQ(streams["out"], Process::Stream::output);
  EXPECT_EQ(streams["{\"on\":\"error\"}"], Process::Stream::error);
  EXPECT_EQ(streams.count("bad\ufffd"), 1u);
}

TEST(Process, DeliversEverythingWrittenBeforeTheExitReport) {
  ShellRun run("seq 1 50000; seq 1 30000 >&2; exit 3");
  ASSERT_TRUE(run.waitForExit());
  EXPECT_EQ(run.linesAtExit, 80000u);
  EXPECT_EQ(run.lines.size(), 80000u);
  EXPECT_EQ(run.exit->code, 3);
  EXPECT_EQ(run.exit->signal, 0);
  EXPECT_EQ(run.exit->status(), 3);
}

TEST(Process, ReportsTheSignalThatEndedIt) {
  ShellRun run("kill -9 $$");
  ASSERT_TRUE(run.waitForExit());
  EXPECT_EQ(run.exit->signal, SIGKILL);
  EXPECT_EQ(run.exit->status(), SIGKILL);
}

TEST(Process, CutsOverlongLines) {
  ShellRun run("head -c 2500000 /dev/zero | tr '\\000' a");
  ASSERT_TRUE(run.waitForExit());
  ASSERT_EQ(run.lines.size(), 3u);
  EXPECT_EQ(run.lines[0].text.size(), Process::maxLineLength);
  EXPECT_EQ(run.lines[1].text.size(), Process::maxLineLength);
  EXPECT_EQ(run.lines[2].text.size(), 2500000u - 2 * Process::maxLineLength);
}

TEST(Process, TakesEnvironmentAndWorkingDirectory) {
  auto folder = testenv::freshFolder("cwd");
  Process::Options options;
  options.environment = std::map<std::string, std::string>{{"GREETING", "hello there"}};
  options.workingDirectory = folder;
  ShellRun run("echo \"$GREETING\"; pwd; echo \"${HOME:-no home}\"", options);
  ASSERT_TRUE(run.waitForExit());
  EXPECT_EQ(run.texts(), (std::vector<std::string>{"hello there", folder.string(), "no home"}));
}

TEST(Process, FailsToLaunchAMissingProgram) {
  Process::Options options;
  options.executable = "/nonexistent/program";
  auto launched = Process::launch(options, {});
  ASSERT_FALSE(launched);
  EXPECT_EQ(launched.error().domain, Process::ErrorDomain);
  EXPECT_EQ(launched.error().code, Process::launchFailed);
}

TEST(Process, WritesStandardInputAndSurvivesAReaderThatLeft) {
  Process::Options options;
  options.executable = "/bin/cat";
  std::vector<std::string> lines;
  bool exited = false;
  auto launched = Process::launch(options, {[&](const std::string& l, Process::Stream) { lines.push_back(l); },
                                            [&](const Process::Exit&) { exited = true; }});
  ASSERT_TRUE(launched);
  auto& cat = *launched;
  ASSERT_TRUE(cat->write("one\ntwo"));
  cat->closeInput();
  ASSERT_TRUE(RunLoop::runUntil([&] { return exited; }, 20.0));
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));
  EXPECT_FALSE(cat->write("late"));

  // A child that closed its input: the write fails instead of ending us with SIGPIPE.
  ShellRun closed("exec 0<&-; echo closed; sleep 5");
  ASSERT_TRUE(closed.waitForLines(1));
  auto written = closed.process->write("nobody reads this\n");
  EXPECT_FALSE(written);
}

TEST(Process, DroppingStopsTheWholeGroupAndReapsTheChild) {
  auto run = std::make_unique<ShellRun>("sleep 300 & echo $!; wait");
  ASSERT_TRUE(run->waitForLines(1));
  pid_t child = run->process->pid();
  pid_t grandchild = std::stoi(run->lines[0].text);
  ASSERT_TRUE(isRunning(grandchild));
  run->process.reset();
  EXPECT_TRUE(RunLoop::runUntil([&] { return !isRunning(grandchild) && !hasProcessEntry(child); }, 20.0))
      << "the child is reaped, nothing of its group runs";
  EXPECT_FALSE(run->exit) << "a dropped process reports nothing";
}

TEST(Process, KillsAGroupThatIgnoresTerminationAfterTheGrace) {
  Process::Options options;
  options.terminationGrace = 0.3;
  auto run = std::make_unique<ShellRun>("trap '' TERM; echo ready; while :; do sleep 0.05; done", options);
  ASSERT_TRUE(run->waitForLines(1));
  pid_t child = run->process->pid();
  run->process.reset();
  EXPECT_TRUE(RunLoop::runUntil([&] { return !hasProcessEntry(child); }, 20.0));
}

// Starts a child, writes its pid (or its grandchild's) to `pidFile`, then leaves the way an
// application leaves: crashing (only the parent-death signal acts) or exiting (the sweep acts).
[[noreturn]] void leaveWithAChildRunning(bool crash, const std::filesystem::path& pidFile) {
  Process::Options options;
  options.executable = "/bin/sh";
  options.arguments = {"-c", crash ? "echo $$; exec sleep 300" : "sleep 300 & echo $!; wait"};
  std::string pid;
  auto launched = Process::launch(options, {[&](const std::string& l, Process::Stream) { pid = l; }, {}});
  if (!launched || !RunLoop::runUntil([&] { return !pid.empty(); }, 20.0)) _exit(1);
  std::ofstream(pidFile) << pid << std::flush;
  if (crash) _exit(0);
  exit(0);
}

TEST(ProcessDeathTest, ChildrenEndWithTheApplication) {
  // The death-test child runs this body again in a fresh process: it finds the folder here.
  const char* inherited = getenv("KORVEL_DEATH_TEST_FOLDER");
  auto folder = inherited ? std::filesystem::path(inherited) : testenv::freshFolder("death");
  setenv("KORVEL_DEATH_TEST_FOLDER", folder.c_str(), 1);
  for (bool crash : {true, false}) {
    auto pidFile = folder / (crash ? "crash" : "exit");
    EXPECT_EXIT(leaveWithAChildRunning(crash, pidFile), ::testing::ExitedWithCode(0), "");
    std::ifstream in(pidFile);
    pid_t pid = 0;
    in >> pid;
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(RunLoop::runUntil([&] { return !isRunning(pid); }, 20.0)) << (crash ? "crash" : "exit");
  }
}
