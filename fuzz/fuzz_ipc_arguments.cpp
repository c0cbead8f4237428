// Untrusted bytes as the editor page's project file arguments: a reference and a relative path,
// checked against a project folder of their own.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "ipc/ProjectFiles.h"
#include "platform/FileSystem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  static fs::TemporaryFolder folder = [] {
    auto made = fs::TemporaryFolder::inSystemTemp("korvel-fuzz-project").value();
    (void)fs::createDirectories(made.path() / "code");
    (void)fs::writeAtomically(made.path() / "code" / "a.js", std::string_view("a"));
    return made;
  }();
  const std::filesystem::path& project = folder.path();
  std::string_view text(reinterpret_cast<const char*>(bytes), size);
  if (auto resolved = ProjectFiles::resolveReference(project, text)) (void)ProjectFiles::checkOpenable(*resolved);
  if (text.find('\0') == std::string_view::npos)
    if (auto resolved = ProjectFiles::resolvePath(project, std::filesystem::path(std::string(text))))
      (void)ProjectFiles::checkOpenable(*resolved);
  return 0;
}
