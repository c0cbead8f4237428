#include "StorageTestSupport.h"

#include <fstream>
#include <sstream>

#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXFileStatusRecord.h"

namespace storagetest {

void writeTree(const std::filesystem::path& root, const std::map<std::string, std::string>& files) {
  for (const auto& [path, content] : files) {
    auto file = root / path;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
  }
}

std::map<std::string, std::string> readTree(const std::filesystem::path& root) {
  std::map<std::string, std::string> out;
  for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
    if (!e.is_regular_file() || e.is_symlink()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    out[std::filesystem::relative(e.path(), root).string()] = s.str();
  }
  return out;
}

std::map<std::string, std::string> withoutRecord(std::map<std::string, std::string> tree) {
  tree.erase(KXFileStatusRecord::fileName);
  return tree;
}

std::shared_ptr<KXDocumentArchive> folderArchive(const std::filesystem::path& root, bool writesManifest) {
  auto backing = KXDirectoryArchiveBacking::create(root, false, writesManifest);
  if (!backing) throw std::runtime_error(backing.error().description());
  return std::make_shared<KXDocumentArchive>(std::move(*backing), std::nullopt);
}

std::string read(const DataReader& reader) {
  std::string out;
  auto r = reader([&](const std::uint8_t* p, std::size_t n) -> Result<void> {
    out.append(reinterpret_cast<const char*>(p), n);
    return {};
  });
  if (!r) return "<error " + std::to_string(r.error().code) + ">";
  return out;
}

DataReader ListBacking::dataReader(const std::string& path) const {
  for (const auto& [name, content] : files_) {
    if (name != path) continue;
    std::string bytes = content;
    return [bytes](const DataSink& sink) -> Result<void> {
      if (bytes == "<fail>") {
        if (auto r = sink(reinterpret_cast<const std::uint8_t*>("<fa"), 3); !r) return r;
        return fail(NSPOSIXErrorDomain, EIO, "read failed");
      }
      return sink(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    };
  }
  return [](const DataSink&) -> Result<void> { return fail(NSCocoaErrorDomain, 256); };
}

void ListBacking::forEach(const std::function<void(const std::string&, const DataReader&)>& body) const {
  for (const auto& [name, content] : files_) body(name, dataReader(name));
}

}  // namespace storagetest
