// The document storage's operations as one command each, for storage_bench.py to time beside
// libzip, 7z and zip (listing and reading are zip_bench's).
//   storage_bench open <zip> [s]             a zip read into its working copy (under $XDG_DATA_HOME),
//                                            then s seconds for the background work it started
//   storage_bench save <folder> <zip>        a project folder saved into a zip (new or existing)
//   storage_bench resave <zip>               the zip's existing working copy opened and saved back
//   storage_bench session <zip>              as resave, then, after each line read on stdin, saved
//                                            again and "saved" printed
//   storage_bench container <zip> <out.zip>  a zip opened into a fresh working copy and saved to another
//   storage_bench scale [counts...]          folder documents of 1,000, 10,000 and 100,000 pictures with names
//                                            of 255 bytes, half of them named by the design: the open,
//                                            the save (search for unused pictures included), a Save As
//                                            into a new zip, Revert to Saved of that zip (and the same
//                                            read on the main loop, as it once ran), a Save As into a new
//                                            folder read back, that folder's timed backup, and the close,
//                                            as a document runs them (files read and written beside the
//                                            main loop), each with its total time and the main loop's
//                                            longest hold; then an editor's
//                                            answer holding a 30 MB string laid out at nesting 10, 100
//                                            and 500. Each row gives the ratio to the row before: a
//                                            tenfold count that costs about tenfold is linear.
//                                            Run with XDG_DATA_HOME pointing at a scratch folder.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentContainer.h"
#include "document/storage/KXDiscardRemoval.h"
#include "platform/FileSystem.h"
#include "platform/JsonCoder.h"
#include "platform/RunLoop.h"

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
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The longest the main loop went without turning while `work` ran on it.
template <typename Work>
std::pair<double, double> timedOnMainLoop(Work work) {
  auto last = Clock::now();
  double longest = 0;
  auto timer = Timer::scheduled(0.005, true, [&] {
    longest = std::max(longest, since(last));
    last = Clock::now();
  });
  bool done = false;
  auto start = Clock::now();
  MainQueue::async([&] { work([&] { done = true; }); });
  RunLoop::runUntil([&] { return done; }, 3600);
  double seconds = since(start);
  RunLoop::runOnce(0);
  return {seconds, std::max(longest, since(last))};
}

std::string pictureName(int i) {
  std::string tail = std::to_string(i);
  std::string name(255 - tail.size() - 5, 'p');
  name += '-';
  name += tail;
  name += ".png";
  return name;
}

// A folder document of `count` pictures, the design naming the even ones (a zip holds at most
// 65,535 entries without Zip64, and a picture takes four with its reduced copies).
std::filesystem::path makeDocument(const std::filesystem::path& folder, int count) {
  auto source = folder / "Pictures.korvelxproj";
  std::filesystem::create_directories(source / "design" / "images");
  std::filesystem::create_directories(source / "code");
  std::string design = R"({"version":1,"layers":[)";
  for (int i = 0; i < count; ++i) {
    std::ofstream(source / "design" / "images" / pictureName(i)) << "picture " << i;
    if (i % 2 == 0) design += std::string(i ? "," : "") + R"({"src":")" + pictureName(i) + R"("})";
  }
  design += "]}";
  (void)fs::writeAtomically(source / "design" / "document.json", std::string_view(design));
  (void)fs::writeAtomically(source / "code" / "index.js", std::string_view("export const answer = 42;\n"));
  return source;
}

void printRow(const char* what, int count, std::pair<double, double> measured, double& before) {
  std::printf("  %-6s %7d pictures  %8.2f s  main loop held %6.2f s", what, count, measured.first, measured.second);
  if (before > 0) std::printf("  x%.1f", measured.first / before);
  std::printf("\n");
  before = measured.first;
}

int scale(const std::vector<int>& counts) {
  auto scratch = fs::TemporaryFolder::inSystemTemp("storage-bench");
  if (!scratch) die(scratch.error());
  double open = 0, save = 0, saveAsZip = 0, revert = 0, revertOnLoop = 0, saveAsFolder = 0, backup = 0, close = 0;
  std::printf("pictures with names of 255 bytes, half named by the design (time, ratio to the count before)\n");
  for (int count : counts) {
    auto folder = scratch->path() / std::to_string(count);
    std::filesystem::create_directories(folder);
    auto file = makeDocument(folder, count);
    std::optional<std::string> design;
    auto source = std::make_shared<KXDocumentContainerDataSource>(
        [&](const Data& data) { design = std::string(data.begin(), data.end()); },
        [&](KXDocumentContainerDataSource::ProviderCompletion completion) {
          completion(dataFromString(*design), std::nullopt);
        });
    std::shared_ptr<KXDocumentContainer> container;
    auto origin = KXDocumentArchive::open(file, KXDocumentArchive::folderDocumentType, true, std::nullopt, true);
    if (!origin) die(origin.error());
    // As a document opens: the working copy filled beside the main loop.
    printRow("open", count, timedOnMainLoop([&](auto done) {
      container = containerOf(**origin, file.c_str());
      container->addDataSource(source, KXDocumentArchive::relativePathForDocumentJSON);
      container->readInBackground(*origin, Relation::origin(false), [&, done](Result<void> read) {
        check(read);
        container->mark(false);
        done();
      });
    }), open);
    // An edit that names one more picture, as every save after a change brings.
    design->insert(design->size() - 2, std::string(R"(,{"src":")") + pictureName(1) + "\"}");
    source->setNeedsToBeProvided();
    printRow("save", count, timedOnMainLoop([&](auto done) {
      container->writeChanges([&, done] {
        container->saveInBackground(*origin, Relation::origin(false), [&, done](Result<void> saved) {
          check(saved);
          container->markSaved();
          done();
        });
      });
    }), save);
    std::printf("  (%zu files in the working copy, %zu to discard)\n", container->projectManifestEntries().size(),
                container->projectRelativePathsToDiscard().size());
    // Save As: the working copy written into a new zip, opened beside the main loop as a
    // document's Save As opens it; and into a new folder, which a working copy of its own then
    // reads (hashing every file), as a document moves onto the folder it was saved as.
    auto asZip = folder / "Saved As.korvelx";
    printRow("as zip", count, timedOnMainLoop([&](auto done) {
      container->saveInBackground(
          asZip, [asZip] { return KXDocumentArchive::open(asZip, KXDocumentArchive::zipDocumentType, true, std::nullopt, true); },
          Relation::copy(), [done](Result<std::shared_ptr<KXDocumentArchive>> saved) {
            if (!saved) die(saved.error());
            done();
          });
    }), saveAsZip);
    // Revert to Saved of that zip: its working copy read over again from it, beside the main loop
    // as a document reverts (the zip opened on a worker, then read over the working copy), and,
    // for comparison, on it as a revert read before.
    {
      auto zipped = KXDocumentArchive::open(asZip, KXDocumentArchive::zipDocumentType, false, std::nullopt, true);
      if (!zipped) die(zipped.error());
      auto reverting = containerOf(**zipped, asZip.c_str());
      std::string revertedDesign;
      auto revertSource = std::make_shared<KXDocumentContainerDataSource>(
          [&](const Data& data) { revertedDesign.assign(data.begin(), data.end()); },
          [&](KXDocumentContainerDataSource::ProviderCompletion completion) {
            completion(dataFromString(revertedDesign), std::nullopt);
          });
      reverting->addDataSource(revertSource, KXDocumentArchive::relativePathForDocumentJSON);
      check(reverting->read(**zipped, Relation::origin(false)));
      printRow("revert", count, timedOnMainLoop([&](auto done) {
        GlobalQueue::async([&, done] {
          auto archive = std::make_shared<Result<std::shared_ptr<KXDocumentArchive>>>(
              KXDocumentArchive::open(asZip, KXDocumentArchive::zipDocumentType, false, std::nullopt, true));
          MainQueue::async([&, archive, done] {
            if (!*archive) die(archive->error());
            reverting->readInBackground(**archive, Relation::revertedOrigin(), [&, done](Result<void> read) {
              check(read);
              reverting->mark(false);
              done();
            });
          });
        });
      }), revert);
      printRow("(on)", count, timedOnMainLoop([&](auto done) {
        auto archive = KXDocumentArchive::open(asZip, KXDocumentArchive::zipDocumentType, false, std::nullopt, true);
        if (!archive) die(archive.error());
        check(reverting->read(**archive, Relation::revertedOrigin()));
        reverting->mark(false);
        done();
      }), revertOnLoop);
      (void)reverting->deleteContainer(false);
      RunLoop::runUntil([] { return KXDocumentContainer::reducedCopiesInProgress() == 0; }, 3600);
    }
    auto asFolder = folder / "Saved As Folder";
    std::shared_ptr<KXDocumentContainer> inFolder;
    auto folderSource = std::make_shared<KXDocumentContainerDataSource>(
        [](const Data&) {}, [](KXDocumentContainerDataSource::ProviderCompletion completion) {
          completion(std::nullopt, std::nullopt);
        });
    printRow("as dir", count, timedOnMainLoop([&](auto done) {
      container->saveInBackground(
          asFolder,
          [asFolder] { return KXDocumentArchive::open(asFolder, KXDocumentArchive::folderDocumentType, true, std::nullopt, false); },
          Relation::copy(), [&, done](Result<std::shared_ptr<KXDocumentArchive>> saved) {
            if (!saved) die(saved.error());
            auto made = KXDocumentContainer::create(*saved);
            if (!made) die(made.error());
            inFolder = *made;
            inFolder->addDataSource(folderSource, KXDocumentArchive::relativePathForDocumentJSON);
            inFolder->readInBackground(*saved, Relation::origin(false), [done](Result<void> read) {
              check(read);
              done();
            });
          });
    }), saveAsFolder);
    // The timed backup of that folder document: its design and code zipped beside the main loop.
    printRow("backup", count, timedOnMainLoop([&](auto done) { inFolder->backupNow([done] { done(); }); }), backup);
    if (inFolder) (void)inFolder->deleteContainer(false);
    inFolder.reset();
    auto project = container->projectDirectory();
    printRow("close", count, timedOnMainLoop([&](auto done) {
      container->invalidate();
      done();
    }), close);
    auto removing = Clock::now();
    KXDiscardRemoval::finish(project);
    std::printf("  (the unused files gone %.2f s after the close)\n", since(removing));
    (void)container->deleteContainer(false);
    container.reset();
    // The reduced copies the reads started end before their folders go.
    RunLoop::runUntil([] { return KXDocumentContainer::reducedCopiesInProgress() == 0; }, 3600);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  std::printf("an editor's answer holding a 30 MB string, laid out (time, ratio to the nesting before)\n");
  double layout = 0;
  for (int depth : {10, 100, 500}) {
    std::string message = R"({"method":"m","arguments":)" + std::string(depth, '[') + '"' + std::string(30 << 20, 'x') +
                          '"' + std::string(depth, ']') + "}";
    auto start = Clock::now();
    auto laidOut = KXDocumentContainer::designFromAnswer(message);
    if (!laidOut) die(laidOut.error());
    double seconds = since(start);
    std::printf("  nesting %3d  %8.2f s", depth, seconds);
    if (layout > 0) std::printf("  x%.1f", seconds / layout);
    std::printf("\n");
    layout = seconds;
  }
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "scale") {
    std::vector<int> counts;
    for (int i = 2; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
    if (counts.empty()) counts = {1000, 10000, 100000};
    return scale(counts);
  }
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
