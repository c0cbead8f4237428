// Reflects one project folder into another; the crash-safety tests kill it midway. A third
// argument "zip" makes the target a zip, "working-copy" a private working copy.
#include <cstdio>
#include <cstring>

#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXZipArchiveBacking.h"

int main(int argc, char** argv) {
  const char* mode = argc == 4 ? argv[3] : "";
  if (argc != 3 && !(argc == 4 && (!std::strcmp(mode, "zip") || !std::strcmp(mode, "working-copy")))) return 2;
  bool workingCopy = !std::strcmp(mode, "working-copy");
  auto source = KXDirectoryArchiveBacking::create(argv[1], false, false);
  if (!source) return 3;
  std::unique_ptr<KXDocumentArchiveBacking> target;
  if (!std::strcmp(mode, "zip")) {
    auto zip = KXZipArchiveBacking::create(argv[2], true, true);
    if (zip) target = std::move(*zip);
  } else {
    auto folder = KXDirectoryArchiveBacking::create(argv[2], true, !workingCopy, workingCopy);
    if (folder) target = std::move(*folder);
  }
  if (!target) return 3;
  KXDocumentArchive from(std::move(*source), std::nullopt);
  KXDocumentArchive to(std::move(target), std::nullopt);
  std::puts("started");
  std::fflush(stdout);
  auto r = to.reflect(from);
  if (!r) std::fprintf(stderr, "%s\n", r.error().description().c_str());
  return r ? 0 : 1;
}
