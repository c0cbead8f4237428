#pragma once
// Files of a document's project as the editor names them. Every path is resolved, made
// canonical (symbolic links followed) and must end up inside the project folder; what the
// desktop opens must be a folder or a plain file that cannot run. Any thread.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/Error.h"

namespace ProjectFiles {

inline constexpr const char* ErrorDomain = "com.korvel.project-files";
enum ErrorCode : long {
  invalidReference = 1,  // not a URL reference, or a scheme other than file
  outsideProject = 2,
  notPlainFile = 3,
  mayRun = 4,       // executable, or a desktop launcher
  tooLarge = 5,
};

// The editor's path: a URL reference against the project folder, percent escapes decoded.
Result<std::filesystem::path> resolveReference(const std::filesystem::path& projectDir, std::string_view reference);
// A path relative to the project folder, as the host names it ("README.md", "metadata").
Result<std::filesystem::path> resolvePath(const std::filesystem::path& projectDir,
                                          const std::filesystem::path& relative);

// Whether a resolved path may be handed to its default application.
Result<void> checkOpenable(const std::filesystem::path& path);

// A plain file's text: UTF-8 (a byte-order mark dropped), UTF-16 with its mark, else Latin-1.
inline constexpr std::uintmax_t maximumTextSize = 32 << 20;
Result<std::string> readText(const std::filesystem::path& path);

// Writes `contents` atomically; with `replace` false an existing item stays untouched and the
// write fails. The folder must exist already.
Result<void> createFile(const std::filesystem::path& path, std::string_view contents, bool replace);

}  // namespace ProjectFiles
