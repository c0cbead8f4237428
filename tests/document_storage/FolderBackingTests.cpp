#include <gtest/gtest.h>

#include "StorageTestSupport.h"
#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXDocumentArchiveError.h"
#include "support/TestEnvironment.h"

using namespace storagetest;

TEST(FolderBacking, ListsRegularFilesThatBelongSortedWithoutFollowingLinks) {
  auto root = testenv::freshFolder("list");
  auto outside = testenv::freshFolder("outside");
  writeTree(root, {{"design/document.json", "{}"}, {".git/config", "x"}, {"node_modules/a/index.js", "x"},
                   {"code/node_modules/b.js", "b"}, {".cache/images/512/i.png", "i"}, {".cache/thumbs/t.png", "t"},
                   {"_project.korvelxproj", "{}"}});
  writeTree(outside, {{"secret.txt", "s"}});
  std::filesystem::create_directory_symlink(outside, root / "linked");
  std::filesystem::create_symlink(outside / "secret.txt", root / "link.txt");
  auto backing = KXDirectoryArchiveBacking::create(root, false, true);
  ASSERT_TRUE(backing);
  std::vector<std::string> listed;
  (*backing)->forEach([&](const std::string& p, const DataReader&) { listed.push_back(p); });
  EXPECT_EQ(listed, (std::vector<std::string>{".cache/images/512/i.png", "code/node_modules/b.js", "design/document.json"}));
}

TEST(FolderBacking, ReadsInHalfMegabyteChunksAndMapsMissingFiles) {
  auto root = testenv::freshFolder("chunks");
  writeTree(root, {{"exact", std::string(524288, 'x')}, {"more", std::string(524289, 'y')}, {"empty", ""}});
  auto backing = std::move(*KXDirectoryArchiveBacking::create(root, false, false));
  auto chunks = [&](const std::string& path) {
    std::vector<size_t> sizes;
    EXPECT_TRUE(backing->dataReader(path)([&](const std::uint8_t*, std::size_t n) -> Result<void> {
      sizes.push_back(n);
      return {};
    }));
    return sizes;
  };
  EXPECT_EQ(chunks("exact"), std::vector<size_t>{524288});
  EXPECT_EQ(chunks("more"), (std::vector<size_t>{524288, 1}));
  EXPECT_TRUE(chunks("empty").empty());
  auto missing = backing->dataReader("missing")([](const std::uint8_t*, std::size_t) -> Result<void> { return {}; });
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, KXDocumentArchiveError::notFoundCode);
  auto sinkFailed = backing->dataReader("exact")([](const std::uint8_t*, std::size_t) -> Result<void> { return fail("sink", 1); });
  ASSERT_FALSE(sinkFailed);
  EXPECT_EQ(sinkFailed.error().code, KXDocumentArchiveError::unknownCode);
  ASSERT_TRUE(sinkFailed.error().underlying);
  EXPECT_EQ(sinkFailed.error().underlying->domain, "sink");
}

TEST(FolderBacking, CreationChecksTheFolderAndMovesWriteManifests) {
  auto root = testenv::freshFolder("create");
  writeTree(root, {{"file", "x"}});
  auto notFolder = KXDirectoryArchiveBacking::create(root / "file", false, false);
  ASSERT_FALSE(notFolder);
  EXPECT_EQ(notFolder.error().code, KXDocumentArchiveError::invalidBackingCode);
  auto missing = KXDirectoryArchiveBacking::create(root / "missing", false, false);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().domain, NSCocoaErrorDomain);
  EXPECT_TRUE(KXDirectoryArchiveBacking::create(root / "missing", true, false));
  auto backing = std::move(*KXDirectoryArchiveBacking::create(root, false, false));
  auto moved = backing->moved(root / "elsewhere");
  ASSERT_TRUE(moved);
  EXPECT_TRUE(static_cast<KXDirectoryArchiveBacking&>(**moved).writesManifest());
}

TEST(FolderBacking, RegeneratedManifestMarksUnreadableFilesUnknown) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  auto root = testenv::freshFolder("regen");
  writeTree(root, {{"ok.txt", "ok"}, {"locked.txt", "x"}});
  std::filesystem::permissions(root / "locked.txt", std::filesystem::perms::none);
  auto archive = folderArchive(root);
  archive->regenerateManifest();
  EXPECT_EQ(archive->manifest().files->at("locked.txt"), KXDocumentArchive::Manifest::Entry::unknown());
  EXPECT_EQ(archive->manifest().files->at("ok.txt").size, 2);
}
