#include "Xdg.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include <glib.h>

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

std::filesystem::path documents() {
  std::error_code ec;
  // GLib answers home itself when user-dirs.dirs names none; that is no documents folder.
  if (const char* configured = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS);
      configured && std::filesystem::path(configured) != home() && std::filesystem::is_directory(configured, ec))
    return configured;
  if (std::filesystem::is_directory(home() / "Documents", ec)) return home() / "Documents";
  return home();
}

}  // namespace xdg
