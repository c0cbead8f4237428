#pragma once
#include <gtest/gtest.h>

#include "../document_storage/StorageTestSupport.h"
#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXDocumentContainer.h"
#include "document/storage/KXZipArchiveBacking.h"
#include "platform/FileSystem.h"
#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"

namespace containertest {
using namespace storagetest;

inline std::shared_ptr<KXDocumentArchive> openZip(const std::filesystem::path& file) {
  auto archive = KXDocumentArchive::open(file, KXDocumentArchive::zipDocumentType, true, std::nullopt, true);
  if (!archive) throw std::runtime_error(archive.error().description());
  return *archive;
}

// A zip project on disk made from `files`.
inline std::filesystem::path makeZipProject(const std::map<std::string, std::string>& files) {
  auto folder = testenv::freshFolder("zip-src");
  writeTree(folder, files);
  auto file = testenv::freshFolder("zip") / "Project.korvelx";
  auto zip = openZip(file);
  if (!zip->reflect(*folderArchive(folder))) throw std::runtime_error("could not write the zip project");
  return file;
}

// Stands for the editor page: hands out the content it holds, or nothing, now or later.
struct FakeEditor {
  std::optional<std::string> content;
  std::string loaded;  // what the last read handed it
  bool answer = true;
  std::vector<KXDocumentContainerDataSource::ProviderCompletion> pending;
  std::shared_ptr<KXDocumentContainerDataSource> source = std::make_shared<KXDocumentContainerDataSource>(
      [this](const Data& data) { loaded.assign(data.begin(), data.end()); },
      [this](KXDocumentContainerDataSource::ProviderCompletion completion) {
        if (!answer) {
          pending.push_back(std::move(completion));
          return;
        }
        if (content) {
          completion(dataFromString(*content), std::nullopt);
        } else {
          completion(std::nullopt, Error("editor", 1, "not ready"));
        }
      });
};

inline void writeChangesAndWait(KXDocumentContainer& container) {
  bool done = false;
  container.writeChanges([&] { done = true; });
  ASSERT_TRUE(RunLoop::runUntil([&] { return done; }, 20));
}

inline std::string readFileText(const std::filesystem::path& p) { return fs::readText(p).value_or("<missing>"); }

inline const std::map<std::string, std::string> kProject = {
    {"design/document.json", R"({"version":1,"title":"v1"})"}, {"code/index.js", "export {}"}, {"README.md", "hi"}};

// A zip document's working copy as the document holds it, with the editor beside it.
struct Opened {
  std::shared_ptr<KXDocumentContainer> container;
  std::unique_ptr<FakeEditor> editor = std::make_unique<FakeEditor>();
};

inline Opened openZipDocument(const std::filesystem::path& file) {
  auto archive = openZip(file);
  auto container = KXDocumentContainer::create(archive->uuid(), file);
  if (!container) throw std::runtime_error(container.error().description());
  Opened opened{*container};
  opened.container->addDataSource(opened.editor->source, KXDocumentArchive::relativePathForDocumentJSON);
  auto read = opened.container->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false));
  if (!read) throw std::runtime_error(read.error().description());
  return opened;
}

inline void close(Opened& opened) {
  opened.container->invalidate();
  opened.container.reset();
}
}  // namespace containertest
