// The document storage's operations as one command each, for storage_bench.py to time beside
// libzip, 7z and zip (listing and reading are zip_bench's).
//   storage_bench open <zip> [s]             a zip read into its working copy (under $XDG_DATA_HOME),
//                                            then s seconds for the background work it started
//   storage_bench save <folder> <zip>        a project folder saved into a zip (new or existing)
//   storage_bench resave <zip>               the zip's existing working copy opened and saved back
//   storage_bench session <zip>              as resave, then, after each line read on stdin, saved
//                                            again and "saved" printed
//   storage_bench container <zip> <out.zip>  a zip opened into a fresh working copy and saved to another
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentContainer.h"

namespace {
using Relation = KXDocumentContainer::ArchiveRelation;

[[noreturn]] void die(const Error& e) {
  std::fprintf(stderr, "storage_bench: %s\n", e.description().c_str());
  std::exit(1);
}

std::shared_ptr<KXDocumentArchive> open(const char* path, const char* type) {
  auto archive = KXDocumentArchive::open(path, type, true, std::nullopt, true);
  if (!archive) die(archive.error());
  return *archive;
}

void check(const Result<void>& r) {
  if (!r) die(r.error());
}

std::shared_ptr<KXDocumentContainer> containerOf(const KXDocumentArchive& archive, const char* origin) {
  auto container = KXDocumentContainer::create(archive.uuid(), std::filesystem::path(origin));
  if (!container) die(container.error());
  return *container;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const char* zip = KXDocumentArchive::zipDocumentType;
  const char* folder = KXDocumentArchive::folderDocumentType;
  std::string command = argv[1];
  if (command == "open") {
    auto source = open(argv[2], zip);
    auto container = containerOf(*source, argv[2]);
    check(container->read(*source, Relation::origin(false)));
    if (argc == 4) ::sleep(static_cast<unsigned>(std::atoi(argv[3])));
    return 0;
  }
  if (command == "save" && argc == 4) {
    check(open(argv[3], zip)->reflect(*open(argv[2], folder)));
    return 0;
  }
  if (command == "resave" || command == "session") {
    auto origin = open(argv[2], zip);
    auto container = containerOf(*origin, argv[2]);
    check(container->read(*origin, Relation::origin(false)));
    check(container->save(*origin, Relation::origin(false)));
    if (command == "resave") return 0;
    std::printf("ready\n");
    std::fflush(stdout);
    for (std::string line; std::getline(std::cin, line);) {
      check(container->save(*origin, Relation::origin(false)));
      std::printf("saved\n");
      std::fflush(stdout);
    }
    return 0;
  }
  if (command == "container" && argc == 4) {
    auto source = open(argv[2], zip);
    auto container = KXDocumentContainer::create(source->uuid(), std::filesystem::path(argv[2]));
    if (!container) die(container.error());
    check((*container)->read(*source, Relation::origin(false)));
    auto target = open(argv[3], zip);
    check((*container)->save(*target, Relation::copy()));
    return 0;
  }
  return 2;
}
