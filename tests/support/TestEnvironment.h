#pragma once
// Every test binary runs with HOME and the XDG folders in a fresh temporary folder, removed
// at exit, so tests never read or write the user's own settings.

#include <filesystem>
#include <functional>

namespace testenv {
// Makes the temporary home and points HOME and the XDG folders at it; removes it. The test
// main calls them around the tests, as must any other program built on this support.
void setUp();
void tearDown();
// The temporary home of this test process.
const std::filesystem::path& home();
// A new empty folder under the temporary home.
std::filesystem::path freshFolder(const std::string& hint = "t");
// Runs a shell command; answers its exit status and fills `output` with its standard output.
int run(const std::string& command, std::string* output = nullptr);
// Kilobytes by which resident memory peaked above where it stood while `body` ran, measured in a
// forked child so that earlier peaks of the test process don't hide it; -1 when it can't tell.
long peakGrowthInChild(const std::function<void()>& body);
}  // namespace testenv
