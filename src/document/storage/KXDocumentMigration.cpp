#include "KXDocumentMigration.h"

#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXDocumentContainer.h"
#include "platform/FileSystem.h"

namespace {
const std::pair<const char*, const char*> kPathMap[] = {
    {"components", "code"},           {"korvel/design.ostrel", "design/document.json"},
    {"icon.png", "metadata/icon.png"}, {"artwork.png", "metadata/artwork.png"},
    {"README.md", "README.md"},        {"package.json", "package.json"},
    {"tsconfig.json", "tsconfig.json"}, {"yarn.lock", "yarn.lock"},
};
const char* const kImageFolders[] = {"images/design", "images/_ostrel"};
const char* const kImageExtensions[] = {".png", ".jpg", ".jpeg", ".gif", ".apng", ".tiff", ".webp"};
}  // namespace

Result<std::shared_ptr<KXDocumentArchive>> KXDocumentMigration::stageClassicProject(const std::filesystem::path& source) {
  // Never in a shared temporary folder: the staging copy holds the user's project.
  auto base = KXDocumentContainer::baseDirectory();
  if (auto made = fs::createDirectories(base, 0700); !made) return fail(made.error());
  auto staging = base / ("Korvel-Migration-" + Uuid::random().string());
  if (auto made = fs::createDirectories(staging, 0700); !made) return fail(made.error());

  for (const auto& [from, to] : kPathMap) {
    auto target = staging / to;
    (void)fs::createDirectories(target.parent_path());
    (void)fs::copyItem(source / from, target);  // a missing classic entry is simply skipped
  }
  for (const char* folder : kImageFolders) {
    std::error_code ec;
    std::vector<std::filesystem::path> entries;
    for (auto& entry : std::filesystem::directory_iterator(source / folder, ec)) entries.push_back(entry.path());
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
      auto extension = entry.extension().string();
      if (std::find(std::begin(kImageExtensions), std::end(kImageExtensions), extension) == std::end(kImageExtensions))
        continue;
      auto images = staging / KXDocumentArchive::relativePathForImages;
      (void)fs::createDirectories(images);
      if (!fs::exists(images / entry.filename())) (void)fs::copyItem(entry, images / entry.filename());
    }
  }
  auto backing = KXDirectoryArchiveBacking::create(staging, false, true);
  if (!backing) {
    (void)fs::removeItem(staging);
    return fail(backing.error());
  }
  return std::make_shared<KXDocumentArchive>(std::move(*backing), std::nullopt);
}

void KXDocumentMigration::removeStagingFolder(const KXDocumentArchive& staged) {
  const auto& folder = staged.backing().url();
  if (folder.parent_path() == KXDocumentContainer::baseDirectory() &&
      folder.filename().string().rfind("Korvel-Migration-", 0) == 0)
    (void)fs::removeItem(folder);
}
