#pragma once
// The one check of a package name that a page asks the project server to install, whichever
// page asks: lower-case npm names, optionally scoped ("@scope/name"), and nothing the package
// manager could take for a command-line option. Pure; any thread.

#include <cstddef>
#include <string_view>

namespace PackageName {

inline constexpr std::size_t maximumLength = 214;

bool isAcceptable(std::string_view name);

}  // namespace PackageName
