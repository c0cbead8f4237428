#include "document/VersioningCheck.h"

#include "document/storage/KXDocumentArchive.h"

namespace VersioningCheck {

const std::vector<std::string>& requiredEntries() {
  static const std::vector<std::string> entries = {
      KXDocumentArchive::relativePathForCaches, KXDocumentArchive::relativePathForBackups, ".npmrc", "node_modules",
      std::string("*.") + KXDocumentArchive::extensionForManifest};
  return entries;
}

std::optional<Repository> findRepository(const std::filesystem::path& projectFolder) {
  std::error_code ec;
  std::optional<std::filesystem::path> nearest;
  auto folder = projectFolder.lexically_normal();
  if (folder.has_filename() == false && folder.has_parent_path() && folder != folder.root_path())
    folder = folder.parent_path();
  for (;;) {
    if (!nearest && std::filesystem::exists(std::filesystem::symlink_status(folder / ".gitignore", ec)))
      nearest = folder / ".gitignore";
    if (std::filesystem::exists(std::filesystem::symlink_status(folder / ".git", ec))) return Repository{folder, nearest};
    if (folder.empty() || folder == folder.root_path()) return std::nullopt;
    folder = folder.parent_path();
  }
}

bool containsRequiredEntries(const std::string& contents) {
  for (auto& entry : requiredEntries())
    if (contents.find(entry) == std::string::npos) return false;
  return true;
}

std::string entryPrefix(const std::filesystem::path& projectFolder, const std::filesystem::path& ignoreFile) {
  auto relative = projectFolder.lexically_normal().lexically_relative(ignoreFile.parent_path().lexically_normal());
  auto text = relative.generic_string();
  while (!text.empty() && text.back() == '/') text.pop_back();
  if (text.empty() || text == ".") return {};
  // The prefix is a pattern: a folder named "My [Draft]" must match itself, not "My D".
  std::string escaped;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool leading = i == 0 && (c == '#' || c == '!');
    bool trailingSpace = c == ' ' && text.find_first_not_of(' ', i) == std::string::npos;
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\' || leading || trailingSpace) escaped += '\\';
    escaped += c;
  }
  return escaped + "/";
}

std::string textWithSettings(const std::optional<std::string>& contents, const std::string& prefix) {
  std::string block = "# Korvel\n";
  for (auto& entry : requiredEntries()) block += prefix + entry + "\n";
  if (!contents) return block;
  return *contents + "\n" + block;
}

}  // namespace VersioningCheck
