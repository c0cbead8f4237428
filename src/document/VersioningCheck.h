#pragma once
// Where a project folder sits in version control and whether its ignore file keeps the
// project's private files out: the decisions of the versioning notice, on plain paths.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace VersioningCheck {

// ".cache", ".backups", ".npmrc", "node_modules", "*.korvelxproj".
const std::vector<std::string>& requiredEntries();

struct Repository {
  std::filesystem::path root;
  // The ".gitignore" nearest to the project folder, on the way up to the root.
  std::optional<std::filesystem::path> nearestIgnoreFile;
};
// Walks up from `projectFolder` to "/"; none when no folder on the way holds ".git".
std::optional<Repository> findRepository(const std::filesystem::path& projectFolder);

// Whether every required entry occurs in `contents`.
bool containsRequiredEntries(const std::string& contents);

// What goes before each entry so that it names the project folder's files from the ignore
// file's folder: the relative path with a trailing "/", empty when they are the same folder.
std::string entryPrefix(const std::filesystem::path& projectFolder, const std::filesystem::path& ignoreFile);

// The ignore file's new text: `contents` followed by a "# Korvel" block, or the block alone.
std::string textWithSettings(const std::optional<std::string>& contents, const std::string& prefix);

}  // namespace VersioningCheck
