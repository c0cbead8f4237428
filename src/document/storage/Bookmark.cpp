#include "Bookmark.h"

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "platform/JsonCoder.h"

namespace Bookmark {

std::optional<Data> make(const std::filesystem::path& file) {
  std::error_code ec;
  auto canonical = std::filesystem::canonical(file, ec);
  struct stat st{};
  if (ec || ::stat(canonical.c_str(), &st) != 0) return std::nullopt;
  nlohmann::json record = {{"path", canonical.string()}, {"device", st.st_dev}, {"inode", st.st_ino}};
  return dataFromString(JsonCoder::dump(record));
}

std::optional<std::filesystem::path> resolve(const Data& bookmark) {
  auto parsed = JsonCoder::parse(stringFromData(bookmark));
  if (!parsed || !parsed->is_object()) return std::nullopt;
  auto path = parsed->find("path");
  if (path == parsed->end() || !path->is_string()) return std::nullopt;
  std::error_code ec;
  auto canonical = std::filesystem::canonical(path->get<std::string>(), ec);
  if (ec) return std::nullopt;
  return canonical;
}

bool refersTo(const Data& bookmark, const std::filesystem::path& file) {
  auto parsed = JsonCoder::parse(stringFromData(bookmark));
  if (!parsed || !parsed->is_object()) return false;
  std::error_code ec;
  auto canonical = std::filesystem::canonical(file, ec);
  if (ec) return false;
  auto path = parsed->find("path");
  if (path != parsed->end() && path->is_string() && path->get<std::string>() == canonical.string()) return true;
  auto device = parsed->find("device");
  auto inode = parsed->find("inode");
  struct stat st {};
  if (device == parsed->end() || inode == parsed->end() || !device->is_number_unsigned() ||
      !inode->is_number_unsigned() || ::stat(canonical.c_str(), &st) != 0)
    return false;
  return device->get<std::uint64_t>() == static_cast<std::uint64_t>(st.st_dev) &&
         inode->get<std::uint64_t>() == static_cast<std::uint64_t>(st.st_ino);
}

}  // namespace Bookmark
