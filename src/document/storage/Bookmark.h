#pragma once
// A durable reference to a file: its canonical path with the device and inode it had, as JSON.

#include <filesystem>
#include <optional>

#include "platform/Data.h"

namespace Bookmark {
std::optional<Data> make(const std::filesystem::path& file);
// The file's canonical path, when the bookmark decodes and the path exists.
std::optional<std::filesystem::path> resolve(const Data& bookmark);
}  // namespace Bookmark
