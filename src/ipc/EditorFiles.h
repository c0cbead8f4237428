#pragma once
// Files the editor's image, panel and paste requests read and name. Reads are bounded and take
// plain files only; a name the page gives inside a folder is followed only while it stays in
// that folder, symbolic links included. Any thread.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/Data.h"

namespace EditorFiles {

// Larger than any picture a design holds; a larger file is not read at all.
inline constexpr std::uintmax_t maximumImageBytes = std::uintmax_t(256) << 20;

// The whole plain file; none when it is missing, something else or larger than `limit`.
std::optional<Data> readRegularFile(const std::filesystem::path& path, std::uintmax_t limit);
// `relative`, a path the page names inside `folder`, read only when it resolves inside it.
std::optional<Data> readInside(const std::filesystem::path& folder, const std::string& relative, std::uintmax_t limit);
// The target name of a chosen metadata image: what follows the last of / : ? % * | " < >; empty
// when the name ends in one of them.
std::string metadataFileName(const std::string& filename);
// What the page is told a pasted file is called: its last component without the extension.
std::string pastedFileName(const std::filesystem::path& file);

}  // namespace EditorFiles
