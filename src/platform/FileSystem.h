#pragma once
// File helpers the system leans on: whole-file reads, atomic replacement, temporary folders
// made beside a target (same file system, so a rename commits), tree copies and the trash.

#include <filesystem>
#include <span>
#include <string_view>

#include "Data.h"
#include "Error.h"

namespace fs {

using Path = std::filesystem::path;

Result<Data> readFile(const Path& path);
Result<std::string> readText(const Path& path);

// Writes `bytes` to a temporary file beside `path`, syncs it, sets `mode` and renames it over
// `path`: readers see the old content or the new, never a part.
Result<void> writeAtomically(const Path& path, std::span<const std::uint8_t> bytes, unsigned mode = 0644);
Result<void> writeAtomically(const Path& path, std::string_view text, unsigned mode = 0644);

// A new, empty, private (0700) folder in the folder that holds `target`, named after it.
// The caller owns it; TemporaryFolder removes it when it goes out of scope.
Result<Path> makeSiblingTemporaryFolder(const Path& target);
// Removes the sibling temporary folders of `target` that a process which has ended left behind
// (a save killed half-way); returns how many.
std::size_t removeStaleSiblingTemporaries(const Path& target);

class TemporaryFolder {
 public:
  static Result<TemporaryFolder> besides(const Path& target);
  static Result<TemporaryFolder> inSystemTemp(std::string_view prefix = "korvel");
  TemporaryFolder(TemporaryFolder&& other) noexcept;
  TemporaryFolder& operator=(TemporaryFolder&& other) noexcept;
  ~TemporaryFolder();
  const Path& path() const { return path_; }
  // Keeps the folder on disk past this object's life.
  Path release();

 private:
  explicit TemporaryFolder(Path p) : path_(std::move(p)) {}
  Path path_;
};

// Copies a file or a folder tree (symbolic links copied as links); fails if `to` exists.
Result<void> copyItem(const Path& from, const Path& to);
// Removes a file or a folder tree; a missing item is not an error.
Result<void> removeItem(const Path& path);
// Makes `path` and its missing parents; `path` gets `mode`, and a private mode (no group or
// other bits) is set on a folder that already existed too.
Result<void> createDirectories(const Path& path, unsigned mode = 0755);
// Renames, replacing a file or an empty folder at `to`.
Result<void> moveItem(const Path& from, const Path& to);
bool exists(const Path& path);
// Moves an item to the user's trash.
Result<void> trashItem(const Path& path);

}  // namespace fs
