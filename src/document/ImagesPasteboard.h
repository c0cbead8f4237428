#pragma once
// The named pasteboard "Ostrel Images Clipboard", shared by every document of the process:
// one type, "com.korvel.ostrel.images", holding image file name → absolute path of the file
// in the copying document's image folder. Main thread only.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

class ImagesPasteboard {
 public:
  static constexpr const char* name = "Ostrel Images Clipboard";
  static constexpr const char* type = "com.korvel.ostrel.images";

  static ImagesPasteboard& shared();

  // Replaces the content with the named images of `imageFolder`; a repeated name keeps its last.
  void writeImages(const std::vector<std::string>& imageNames, const std::filesystem::path& imageFolder);
  // Name → file; empty when the pasteboard holds nothing of its type. Names that are not one
  // plain file name are left out.
  std::map<std::string, std::filesystem::path> readImages() const;
  void clear() { content_.reset(); }

  // A single plain file name: no "/", not "." or "..", no NUL, not empty.
  static bool isPlainName(const std::string& name);

 private:
  std::optional<std::map<std::string, std::string>> content_;
};
