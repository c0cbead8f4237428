#include "Resources.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace Resources {

std::filesystem::path root() {
  if (const char* env = std::getenv("KORVEL_RESOURCES"); env && *env) return env;
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    auto installed = exe.parent_path().parent_path() / "share" / "korvel";
    if (std::filesystem::is_directory(installed, ec)) return installed;
  }
  return KORVEL_SOURCE_RESOURCES;
}

std::filesystem::path path(std::string_view name, std::string_view extension, std::string_view folder) {
  std::string file(name);
  if (!extension.empty()) file += "." + std::string(extension);
  auto base = root();
  if (!folder.empty()) base /= std::string(folder);
  return base / file;
}

}  // namespace Resources
