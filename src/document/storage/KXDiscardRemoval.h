#pragma once
// Removes the files a closed working copy no longer needs (pictures nothing names and their
// reduced copies), beside the main loop when they are many: a close of thousands is over at once
// while the disk takes its time. A folder is never read while files vanish from it: a container
// that takes it up again stops the removal, a sweep of idle working copies waits for its end.
// Main thread only.

#include <filesystem>
#include <string>
#include <vector>

namespace KXDiscardRemoval {
// Removes `relativePaths` (each a safe path inside `folder`).
void start(const std::filesystem::path& folder, std::vector<std::string> relativePaths);
// No file of `folder` is removed after this returns; what is left stays.
void stop(const std::filesystem::path& folder);
// Returns once no removal in `folder` runs.
void finish(const std::filesystem::path& folder);
}  // namespace KXDiscardRemoval
