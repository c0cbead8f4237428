// The korvel executable. Until the application object lands, it performs the launch steps
// that need no window and opens each document given into its working copy.

#include <cstdio>
#include <filesystem>
#include <string>

#include "app/foundation/AppInfo.h"
#include "app/foundation/AppServices.h"
#include "app/foundation/EngineInstaller.h"
#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentContainer.h"
#include "document/storage/KXDocumentVersionCheck.h"
#include "platform/Defaults.h"
#include "platform/Resources.h"

int main(int argc, char** argv) {
  auto& defaults = Defaults::standard();
  if (auto registered = defaults.registerDefaultsFromFile(Resources::path("DefaultPreferences", "json")); !registered)
    std::fprintf(stderr, "korvel: %s\n", registered.error().description().c_str());
  EngineInstaller::installLatestOstrel();
  EngineInstaller::installSketchPasteboard();

  auto info = AppInfo::current();
  auto& services = AppServices::shared();
  std::printf("%s %s (%s)\n", AppInfo::displayName().value_or("Korvel").c_str(), AppInfo::shortVersion().c_str(),
              AppInfo::buildName().c_str());
  std::printf("user agent: %s\n", info->userAgent().c_str());
  std::printf("editor engine: %s\n", info->ostrelDir().value_or("").c_str());
  std::printf("services: %s\n", services.title(services.currentEnvironment()).c_str());
  const auto& globals = AppInfo::ostrelGlobals();
  std::printf("editor document version: %s\n", globals ? std::to_string(globals->documentVersion).c_str() : "none");
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path document = argv[i];
    if (!std::filesystem::exists(document)) {
      std::fprintf(stderr, "korvel: %s: no such document\n", argv[i]);
      return 1;
    }
    auto archive = KXDocumentArchive::open(document, "", false, std::nullopt, true);
    if (!archive) {
      std::fprintf(stderr, "korvel: %s: %s\n", argv[i], archive.error().description().c_str());
      return 1;
    }
    auto supported = globals ? std::optional<std::int64_t>(globals->documentVersion) : std::nullopt;
    if (auto checked = verifyDocumentVersion(**archive, supported); !checked) {
      std::fprintf(stderr, "korvel: %s: %s\n", argv[i], checked.error().description().c_str());
      return 1;
    }
    bool isFolder = (*archive)->backing().documentTypeIdentifier() == KXDocumentArchive::folderDocumentType;
    auto container = isFolder ? KXDocumentContainer::create(*archive)
                              : KXDocumentContainer::create((*archive)->uuid(), std::filesystem::absolute(document));
    if (!container) {
      std::fprintf(stderr, "korvel: %s: %s\n", argv[i], container.error().description().c_str());
      return 1;
    }
    if (auto read = (*container)->read(**archive, KXDocumentContainer::ArchiveRelation::origin(false)); !read) {
      std::fprintf(stderr, "korvel: %s: %s\n", argv[i], read.error().description().c_str());
      return 1;
    }
    std::printf("document: %s\n  project %s, %zu files, working copy %s%s\n", document.c_str(),
                (*archive)->uuid().string().c_str(), (*container)->projectManifestEntries().size(),
                (*container)->projectDirectory().c_str(),
                (*container)->resumedWithUnsavedChanges() ? " (with unsaved edits of an earlier session)" : "");
    std::printf("  (no window is shown yet)\n");
  }
  defaults.synchronize();
  return 0;
}
