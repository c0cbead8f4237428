#pragma once
// Every test binary runs with HOME and the XDG folders in a fresh temporary folder, removed
// once the run and every process it started have ended, so tests never read or write the
// user's own settings and leave nothing behind.

#include <filesystem>
#include <functional>

namespace testenv {
// Runs `tests` in a child process with the temporary home; this process stays as the keeper of
// every process the run leaves behind (web engine helpers, servers), ends those that outlive it
// by long, and removes the home last. Answers the run's exit status.
int runWithPrivateHome(const std::function<int()>& tests);
// The temporary home of this test process.
const std::filesystem::path& home();
// A new empty folder under the temporary home.
std::filesystem::path freshFolder(const std::string& hint = "t");
// Runs a shell command; answers its exit status and fills `output` with its standard output.
int run(const std::string& command, std::string* output = nullptr);
// Forks a child running `body`, which calls `started()` once it is at work and then works until
// it is killed; answers its pid once it has started, -1 when it ended first.
int startWorker(const std::function<void(const std::function<void()>& started)>& body);
// Kills `child` the moment `killNow()` holds and answers its wait status (it may end by itself).
int killWhen(int child, const std::function<bool()>& killNow);
// Kilobytes by which resident memory peaked above where it stood while `body` ran, measured in a
// forked child so that earlier peaks of the test process don't hide it; -1 when it can't tell.
long peakGrowthInChild(const std::function<void()>& body);
}  // namespace testenv
