#include "platform/URIList.h"

#include <glib.h>

#include <string>

namespace URIList {

std::vector<std::filesystem::path> localFiles(std::string_view text, std::size_t limit) {
  std::vector<std::filesystem::path> files;
  while (!text.empty() && files.size() < limit) {
    auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.empty() || line.front() == '#' || line.find('\0') != std::string_view::npos) continue;
    std::string uri(line);
    gchar* hostname = nullptr;
    gchar* path = g_filename_from_uri(uri.c_str(), &hostname, nullptr);
    // A file on another machine is no file here.
    bool local = path && (!hostname || g_strcmp0(hostname, "localhost") == 0);
    if (local) files.emplace_back(path);
    g_free(path);
    g_free(hostname);
  }
  return files;
}

}  // namespace URIList
