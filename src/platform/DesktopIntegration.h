#pragma once
// Makes the desktop know the application, per user: a desktop entry that opens our documents
// and "korvel-x:" links, the document type for the shared MIME database, the icon, and the
// scheme's default handler in mimeapps.list. Files are written atomically and only when their
// content changed; the desktop's database tools then run in the background when installed.
// Main thread only.

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/Error.h"

class AppBundleInfo;

namespace DesktopIntegration {

inline constexpr const char* ErrorDomain = "com.korvel.desktop-integration";
enum ErrorCode : long { unusableExecutable = 1 };
inline constexpr const char* documentMimeType = "application/x-korvelx";

// Writes the files under $XDG_DATA_HOME and $XDG_CONFIG_HOME for `executable` (made absolute).
Result<void> registerApplication(const std::filesystem::path& executable);
Result<void> registerApplication(const std::filesystem::path& executable, const AppBundleInfo& bundle);

// The pieces, for any input.
// One argument of an Exec line, quoted when it holds a reserved character, escaped for the
// desktop entry's string rules; an error for characters an Exec line cannot carry.
Result<std::string> execArgument(std::string_view argument);
Result<std::string> desktopEntry(const std::filesystem::path& executable, const AppBundleInfo& bundle);
std::string mimePackage();
// `existing` mimeapps.list text with `desktopFile` as the default handler of `mimeType`; other
// lines are kept as they are.
std::string mergeMimeApps(std::string_view existing, std::string_view mimeType, std::string_view desktopFile);

}  // namespace DesktopIntegration
