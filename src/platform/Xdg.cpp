#include "Xdg.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace xdg {

namespace {
std::filesystem::path fromEnv(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  // The rules ignore relative paths.
  if (v && *v == '/') return v;
  return home() / fallback;
}
}  // namespace

std::filesystem::path home() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::filesystem::path dataHome() { return fromEnv("XDG_DATA_HOME", ".local/share"); }
std::filesystem::path configHome() { return fromEnv("XDG_CONFIG_HOME", ".config"); }
std::filesystem::path cacheHome() { return fromEnv("XDG_CACHE_HOME", ".cache"); }

}  // namespace xdg
