// The document storage's operations as one command each, for storage_bench.py to time beside
// zip, unzip and bsdtar.
//   storage_bench save <folder> <zip>        a project folder saved into a zip (new or existing)
//   storage_bench read <zip> <folder>        a zip project read into a folder
//   storage_bench container <zip> <out.zip>  a zip opened into a fresh working copy and saved back
#include <cstdio>
#include <cstring>

#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentContainer.h"

namespace {
std::shared_ptr<KXDocumentArchive> open(const char* path, const char* type) {
  auto archive = KXDocumentArchive::open(path, type, true, std::nullopt, true);
  if (!archive) {
    std::fprintf(stderr, "%s: %s\n", path, archive.error().description().c_str());
    std::exit(1);
  }
  return *archive;
}
int report(const Result<void>& r) {
  if (r) return 0;
  std::fprintf(stderr, "%s\n", r.error().description().c_str());
  return 1;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const char* zip = KXDocumentArchive::zipDocumentType;
  const char* folder = KXDocumentArchive::folderDocumentType;
  if (!std::strcmp(argv[1], "save")) return report(open(argv[3], zip)->reflect(*open(argv[2], folder)));
  if (!std::strcmp(argv[1], "read")) return report(open(argv[3], folder)->reflect(*open(argv[2], zip)));
  if (!std::strcmp(argv[1], "container")) {
    auto source = open(argv[2], zip);
    auto container = KXDocumentContainer::create(source->uuid(), std::filesystem::path(argv[2]));
    if (!container) return report(fail(container.error()));
    if (auto r = (*container)->read(*source, KXDocumentContainer::ArchiveRelation::origin(false)); !r) return report(r);
    auto target = open(argv[3], zip);
    auto saved = (*container)->save(*target, KXDocumentContainer::ArchiveRelation::copy());
    (void)(*container)->deleteContainer(false);
    return report(saved);
  }
  return 2;
}
