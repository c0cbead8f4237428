#include "export/RenderFileAccess.h"

#include <gio/gio.h>

#include <algorithm>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Resources.h"
#include "platform/Url.h"

namespace stdfs = std::filesystem;

namespace RenderFileAccess {

namespace {

constexpr std::string_view fileScheme = "file:";

std::string privateForm(const std::string& fileAddress) {
  return std::string(scheme) + ":" + fileAddress.substr(fileScheme.size());
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// A folder's address as written and, when it differs, that of its resolved form.
std::vector<std::string> folderAddresses(const stdfs::path& folder) {
  std::vector<std::string> out;
  if (folder.empty()) return out;
  std::error_code ec;
  stdfs::path absolute = stdfs::absolute(folder, ec).lexically_normal();
  for (const auto& form : {absolute, stdfs::weakly_canonical(absolute, ec)}) {
    auto url = Url::fileURL(form, true);
    if (url && url->absoluteString() != "file:///" &&
        std::find(out.begin(), out.end(), url->absoluteString()) == out.end())
      out.push_back(url->absoluteString());
  }
  return out;
}

}  // namespace

std::string baseAddress(const stdfs::path& folder) {
  auto addresses = folderAddresses(folder);
  return addresses.empty() ? std::string(scheme) + ":///" : privateForm(addresses.front());
}

std::optional<std::string> fromFileAddress(std::string_view fileAddress) {
  if (fileAddress.substr(0, fileScheme.size()) != fileScheme) return std::nullopt;
  return privateForm(std::string(fileAddress));
}

std::string rewriteFileAddresses(const std::string& html, const stdfs::path& folder) {
  std::string out = html;
  auto addresses = folderAddresses(folder);
  for (const auto& resources : folderAddresses(Resources::root())) addresses.push_back(resources);
  // Longer first: a folder inside another is moved whole.
  std::sort(addresses.begin(), addresses.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
  for (const auto& address : addresses) replaceAll(out, address, privateForm(address));
  return out;
}

Result<UniqueFd> open(std::string_view address, const stdfs::path& folder) {
  std::string prefix = std::string(scheme) + ":";
  if (address.substr(0, prefix.size()) != prefix)
    return fail(fs::ConfinedErrorDomain, fs::outsideFolder, "Not a page file address.");
  std::string fileAddress = std::string(fileScheme) + std::string(address.substr(prefix.size()));
  auto path = Url::filePath(fileAddress.substr(0, fileAddress.find_first_of("?#")));
  if (!path) return fail(fs::ConfinedErrorDomain, fs::outsideFolder, "Not a file address.");
  if (!folder.empty())
    if (auto file = fs::openInside(folder, *path); file || file.error().domain != fs::ConfinedErrorDomain ||
                                                   file.error().code != fs::outsideFolder)
      return file;
  return fs::openInside(Resources::root(), *path);
}

std::string mediaType(const stdfs::path& file) {
  gchar* type = g_content_type_guess(file.filename().c_str(), nullptr, 0, nullptr);
  gchar* mime = type ? g_content_type_get_mime_type(type) : nullptr;
  std::string out = mime ? mime : "application/octet-stream";
  g_free(mime);
  g_free(type);
  return out;
}

}  // namespace RenderFileAccess
