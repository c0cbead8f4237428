// A folder document's files that are no plain files (a named pipe planted as its design, or in
// place of a code file the search for unused pictures reads) are refused or passed over at once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>

#include "ContainerTestSupport.h"
#include "platform/ErrorWording.h"

using namespace containertest;

namespace {

std::filesystem::path folderDocument(const std::map<std::string, std::string>& files) {
  auto root = testenv::freshFolder("plain") / "Folder Doc";
  writeTree(root, files);
  return root;
}

struct FolderOpened {
  std::shared_ptr<KXDocumentArchive> archive;
  std::shared_ptr<KXDocumentContainer> container;
  std::unique_ptr<FakeEditor> editor = std::make_unique<FakeEditor>();
};

FolderOpened openFolder(const std::filesystem::path& root) {
  FolderOpened opened;
  opened.archive = *KXDocumentArchive::open(root, KXDocumentArchive::folderDocumentType, false, std::nullopt, true);
  opened.container = *KXDocumentContainer::create(opened.archive);
  opened.container->addDataSource(opened.editor->source, KXDocumentArchive::relativePathForDocumentJSON);
  return opened;
}

// A writer of every pipe under `root`, opened and closed: a reader that waits on one is let go.
void releasePipes(const std::filesystem::path& root) {
  for (const auto& item : std::filesystem::recursive_directory_iterator(root))
    if (item.is_fifo()) ::close(::open(item.path().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
}

}  // namespace

// The design a named pipe: the read beside the main loop ends at once, refused with the file
// named and what it is.
TEST(ContainerPlainFiles, AFolderWhoseDesignIsAPipeIsRefusedAtOnceNamingIt) {
  auto root = folderDocument({{"code/index.js", "export {}"}});
  std::filesystem::create_directories(root / "design");
  ASSERT_EQ(::mkfifo((root / KXDocumentArchive::relativePathForDocumentJSON).c_str(), 0600), 0);
  auto opened = openFolder(root);
  std::optional<Result<void>> read;
  opened.container->readInBackground(opened.archive, KXDocumentContainer::ArchiveRelation::origin(false),
                                     [&](Result<void> outcome) { read = std::move(outcome); });
  bool ended = RunLoop::runUntil([&] { return read.has_value(); }, 30);
  if (!ended) releasePipes(root);
  ASSERT_TRUE(RunLoop::runUntil([&] { return read.has_value(); }, 30));
  ASSERT_TRUE(ended) << "the read waited on the design";
  ASSERT_FALSE(*read);
  auto suggestion = read->error().info(ErrorWording::recoverySuggestionKey).value_or("");
  EXPECT_NE(suggestion.find("“design/document.json” is a named pipe"), std::string::npos) << read->error().description();
  EXPECT_EQ(read->error().info(ErrorWording::failureReasonKey), "“Folder Doc” can't be opened.");
  opened.container->invalidate();
}

// A code file replaced by a named pipe after the folder was read, unseen by its watch: the search
// for unused pictures that a write pass runs passes over it and ends. A pipe the watch reports is
// no file of the document.
TEST(ContainerPlainFiles, APipeInPlaceOfACodeFileNeverHoldsTheSearchForUnusedPictures) {
  auto root = folderDocument({{"design/document.json", R"({"version":1})"},
                              {"code/index.js", "import './logo.png'"},
                              {"design/assets/logo.png", "not named by the design"}});
  auto opened = openFolder(root);
  ASSERT_TRUE(opened.container->read(*opened.archive, KXDocumentContainer::ArchiveRelation::origin(false)));
  std::filesystem::remove(root / "code/index.js");
  ASSERT_EQ(::mkfifo((root / "code/index.js").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((root / "code/new.js").c_str(), 0600), 0);
  opened.container->presentedSubitemDidChange(root / "code/new.js");

  bool done = false;
  opened.container->writeChanges([&] { done = true; });
  bool ended = RunLoop::runUntil([&] { return done; }, 30);
  if (!ended) releasePipes(root);
  ASSERT_TRUE(RunLoop::runUntil([&] { return done; }, 30));
  EXPECT_TRUE(ended) << "the search waited on a pipe";
  EXPECT_EQ(opened.container->projectManifestEntries().count("code/new.js"), 0u);
  opened.container->invalidate();
}
