// Costs of hostile input, printed as one line each:
//   hostile_input_bench open <document.korvelx>   peak memory of the version check of a zip document
//   hostile_input_bench defaults <defaults.json>  time to read a defaults file
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentVersionCheck.h"
#include "platform/Defaults.h"

namespace {
long peakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  if (std::strcmp(argv[1], "open") == 0) {
    long before = peakKilobytes();
    auto archive = KXDocumentArchive::open(argv[2], KXDocumentArchive::zipDocumentType, false, std::nullopt, true);
    if (!archive) return 3;
    auto checked = verifyDocumentVersion(**archive, 1);
    std::printf("version check: %s; peak memory %ld KB (%ld KB before opening)\n",
                checked ? "passed" : checked.error().description().c_str(), peakKilobytes(), before);
    return 0;
  }
  if (std::strcmp(argv[1], "defaults") == 0) {
    auto start = std::chrono::steady_clock::now();
    Defaults defaults(argv[2]);
    auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("defaults read in %.1f ms; peak memory %ld KB\n", took, peakKilobytes());
    return 0;
  }
  return 2;
}
