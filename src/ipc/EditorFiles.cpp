#include "ipc/EditorFiles.h"

#include <fstream>

#include "ipc/ProjectFiles.h"

namespace EditorFiles {

std::optional<Data> readRegularFile(const std::filesystem::path& path, std::uintmax_t limit) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  auto size = std::filesystem::file_size(path, ec);
  if (ec || size > limit) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Data bytes(static_cast<std::size_t>(size));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
  if (static_cast<std::uintmax_t>(in.gcount()) != size) return std::nullopt;
  return bytes;
}

std::optional<Data> readInside(const std::filesystem::path& folder, const std::string& relative, std::uintmax_t limit) {
  if (relative.empty() || relative.find('\0') != std::string::npos) return std::nullopt;
  auto resolved = ProjectFiles::resolvePath(folder, relative);
  if (!resolved) return std::nullopt;
  return readRegularFile(*resolved, limit);
}

std::string metadataFileName(const std::string& filename) {
  auto cut = filename.find_last_of("/:?%*|\"<>");
  return cut == std::string::npos ? filename : filename.substr(cut + 1);
}

std::string pastedFileName(const std::filesystem::path& file) { return file.filename().stem().string(); }

}  // namespace EditorFiles
