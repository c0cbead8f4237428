#include <sys/stat.h>

#include <cerrno>

#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXZipArchiveBacking.h"

Result<std::shared_ptr<KXDocumentArchive>> KXDocumentArchive::open(const std::filesystem::path& url,
                                                                   const std::string& type, bool createIfNeeded,
                                                                   std::optional<Uuid> uuidIfNeeded,
                                                                   bool writesManifest) {
  std::string resolved = type;
  if (type != folderDocumentType && type != zipDocumentType) {
    struct stat st{};
    if (::stat(url.c_str(), &st) != 0) return fail(Error::file(errno, url.string()));
    resolved = S_ISDIR(st.st_mode) ? folderDocumentType : zipDocumentType;
  }
  std::unique_ptr<KXDocumentArchiveBacking> backing;
  if (resolved == folderDocumentType) {
    if (createIfNeeded) {
      std::error_code ec;
      std::filesystem::create_directories(url, ec);
      if (ec) return fail(Error::file(ec.value(), url.string(), false));
    }
    auto folder = KXDirectoryArchiveBacking::create(url, false, writesManifest);
    if (!folder) return fail(folder.error());
    backing = std::move(*folder);
  } else {
    auto zip = KXZipArchiveBacking::create(url, createIfNeeded, writesManifest);
    if (!zip) return fail(zip.error());
    backing = std::move(*zip);
  }
  return std::make_shared<KXDocumentArchive>(std::move(backing), uuidIfNeeded);
}

