#include "StorageTestSupport.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

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

void waitUntilOlderThanTheTimestampMargin(const std::filesystem::path& root) {
  auto ns = [](const timespec& t) { return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
  std::int64_t newest = 0;
  for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
    struct stat st{};
    if (::lstat(e.path().c_str(), &st) == 0) newest = std::max({newest, ns(st.st_mtim), ns(st.st_ctim)});
  }
  constexpr std::int64_t margin = 150'000'000;  // past the working copy's 100 ms
  while (true) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (ns(now) - newest > margin) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
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
