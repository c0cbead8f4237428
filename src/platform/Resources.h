#pragma once
// The application's resource folder: $KORVEL_RESOURCES when set, else ../share/korvel beside
// the executable when installed, else the source tree's resources/ (a build tree).

#include <filesystem>
#include <string_view>

namespace Resources {
std::filesystem::path root();
// A resource by name, with an optional extension and sub-folder, as the bundle finds it.
std::filesystem::path path(std::string_view name, std::string_view extension = {}, std::string_view folder = {});
}  // namespace Resources
