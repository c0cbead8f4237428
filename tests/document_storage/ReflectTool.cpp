// Reflects one project folder into another; the crash-safety tests kill it midway. With a third
// argument "working-copy", the target is a private working copy.
#include <cstdio>
#include <cstring>

#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXDocumentArchive.h"

int main(int argc, char** argv) {
  if (argc != 3 && !(argc == 4 && !std::strcmp(argv[3], "working-copy"))) return 2;
  bool workingCopy = argc == 4;
  auto source = KXDirectoryArchiveBacking::create(argv[1], false, false);
  auto target = KXDirectoryArchiveBacking::create(argv[2], true, !workingCopy, workingCopy);
  if (!source || !target) return 3;
  KXDocumentArchive from(std::move(*source), std::nullopt);
  KXDocumentArchive to(std::move(*target), std::nullopt);
  std::puts("started");
  std::fflush(stdout);
  auto r = to.reflect(from);
  if (!r) std::fprintf(stderr, "%s\n", r.error().description().c_str());
  return r ? 0 : 1;
}
