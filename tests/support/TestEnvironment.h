#pragma once
// Every test binary runs with HOME and the XDG folders in a fresh temporary folder, removed
// at exit, so tests never read or write the user's own settings.

#include <filesystem>

namespace testenv {
// The temporary home of this test process.
const std::filesystem::path& home();
// A new empty folder under the temporary home.
std::filesystem::path freshFolder(const std::string& hint = "t");
// Runs a shell command; answers its exit status and fills `output` with its standard output.
int run(const std::string& command, std::string* output = nullptr);
}  // namespace testenv
