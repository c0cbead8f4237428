#pragma once
// A durable reference to a file: its canonical path with the device and inode it had, as JSON.

#include <filesystem>
#include <optional>

#include "platform/Data.h"

namespace Bookmark {
std::optional<Data> make(const std::filesystem::path& file);
// The file's canonical path, when the bookmark decodes and the path exists.
std::optional<std::filesystem::path> resolve(const Data& bookmark);
// Whether `file` is the file the bookmark was made of: the same device and inode (the file
// renamed or moved within its file system), or the same path.
bool refersTo(const Data& bookmark, const std::filesystem::path& file);
}  // namespace Bookmark
