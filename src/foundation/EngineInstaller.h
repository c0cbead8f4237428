#pragma once
// Launch steps that copy bundled components into the user's folders. Main thread; they block
// launch until done and never stop it.

#include <filesystem>
#include <string>

namespace EngineInstaller {

// Copies the editor engine `source` to `target` unless `target`'s ".installer-version" already
// holds `buildVersion`. The copy is staged beside `target` and moved into place, so a failed
// copy leaves the previous engine as it was; failures are logged.
void installLatestOstrel(const std::filesystem::path& source, const std::filesystem::path& target,
                         const std::string& buildVersion);
// The same for the application: the resource "Ostrel" into AppInfo's engine folder.
void installLatestOstrel();

// Replaces the pasteboard plug-in in the design tool's plug-in folder when that folder exists.
void installSketchPasteboard(const std::filesystem::path& pluginSource, const std::filesystem::path& pluginFolder);
void installSketchPasteboard();

inline constexpr const char* versionMarkerName = ".installer-version";

}  // namespace EngineInstaller
