#pragma once
// The user's folders after the XDG base-directory rules, read from the environment at each
// call so that tests can point them at a temporary folder.

#include <filesystem>

namespace xdg {
std::filesystem::path home();
std::filesystem::path dataHome();    // $XDG_DATA_HOME or ~/.local/share
std::filesystem::path configHome();  // $XDG_CONFIG_HOME or ~/.config
std::filesystem::path cacheHome();   // $XDG_CACHE_HOME or ~/.cache
// The documents folder of user-dirs.dirs, else ~/Documents when it exists, else home: where
// choosers start for a document that has no folder of its own.
std::filesystem::path documents();
}  // namespace xdg
