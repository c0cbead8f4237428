#include "zip/ZZArchive.h"

#include <gtest/gtest.h>

#include <fstream>

#include "ZipTestSupport.h"
#include "support/TestEnvironment.h"

using namespace ziptest;
namespace stdfs = std::filesystem;

namespace {

Data twoEntries() {
  return makeRawZip({storedEntry("a.txt", toData("alpha")), deflatedEntry("b/c.txt", toData("beta beta beta"))});
}

TEST(ZZArchiveOpen, ListsEntriesInCentralDirectoryOrder) {
  auto archive = openData(twoEntries());
  ASSERT_EQ(archive->entries().size(), 2u);
  EXPECT_EQ(archive->entries()[0]->fileName(), "a.txt");
  EXPECT_EQ(archive->entries()[1]->fileName(), "b/c.txt");
  EXPECT_EQ(archive->entries()[1]->compressionMethod(), 8);
  EXPECT_EQ(archive->entries()[1]->uncompressedSize(), 14u);
  EXPECT_EQ(archive->entries()[0]->fileMode(), 0100644);
  EXPECT_FALSE(archive->URL());
  EXPECT_TRUE(readAll(*archive));
}

TEST(ZZArchiveOpen, EndRecordSearch) {
  // An archive of no entries is just its end record.
  Data empty = makeRawZip({});
  ASSERT_EQ(empty.size(), 22u);
  EXPECT_TRUE(openData(empty)->entries().empty());

  // The longest comment is found.
  EXPECT_EQ(openData(makeRawZip({storedEntry("a", toData("x"))}, std::string(65535, 'c')))->entries().size(), 1u);

  // Anything after the comment is refused.
  Data trailing = twoEntries();
  trailing.push_back(0);
  EXPECT_EQ(zipCode(tryOpenData(trailing)), 1);

  // A record further from the end than the longest comment allows is not looked for.
  Data far = makeRawZip({});
  far.insert(far.end(), 65536, 0);
  EXPECT_EQ(zipCode(tryOpenData(far)), 1);

  EXPECT_EQ(zipCode(tryOpenData(Data(21, 0))), 1);
}

TEST(ZZArchiveOpen, TheEndRecordNearestTheEndWins) {
  // The outer archive's comment ends with a complete record of an empty archive.
  Data inner = makeRawZip({});
  std::string comment = "note " + toString(inner);
  EXPECT_TRUE(openData(makeRawZip({storedEntry("a", toData("x"))}, comment))->entries().empty());
  // A signature in a comment that is not a valid record does not hide the real one.
  auto withSignature = openData(makeRawZip({storedEntry("a", toData("x"))}, "PK\x05\x06 looks like a record"));
  EXPECT_EQ(withSignature->entries().size(), 1u);
}

TEST(ZZArchiveOpen, InvalidCentralHeadersNameTheirIndex) {
  auto second = deflatedEntry("b", toData("b"));
  second.diskNumberStart = 1;
  auto r = tryOpenData(makeRawZip({storedEntry("a", toData("a")), second}));
  EXPECT_EQ(zipCode(r), 2);
  EXPECT_EQ(r.error().intInfo(ZZEntryIndexKey), 1);

  // A name that runs into the end record.
  Data zip = makeRawZip({storedEntry("a", toData("a"))});
  std::size_t central = zip.size() - 22 - 47;
  zip[central + 28] = 200;
  r = tryOpenData(zip);
  EXPECT_EQ(zipCode(r), 2);
  EXPECT_EQ(r.error().intInfo(ZZEntryIndexKey), 0);
}

TEST(ZZArchiveOpen, MissingFilesAndEmptyBlocks) {
  auto dir = testenv::freshFolder("open");
  auto missing = ZZArchive::archiveWithURL(dir / "missing.zip");
  EXPECT_EQ(zipCode(missing), 0);
  ASSERT_TRUE(missing.error().underlying);
  EXPECT_EQ(missing.error().underlying->code, NSFileReadNoSuchFileError);

  auto created = ZZArchive::archiveWithURL(dir / "missing.zip", {{ZZOpenOptionsCreateIfMissingKey, true}});
  ASSERT_TRUE(created);
  EXPECT_TRUE((*created)->entries().empty());
  EXPECT_EQ((*created)->URL(), dir / "missing.zip");
  EXPECT_FALSE(stdfs::exists(dir / "missing.zip"));

  std::ofstream(dir / "empty.zip").close();
  EXPECT_EQ(zipCode(ZZArchive::archiveWithURL(dir / "empty.zip", {{ZZOpenOptionsCreateIfMissingKey, true}})), 1);

  EXPECT_EQ(zipCode(ZZArchive::archiveWithData(std::make_shared<Data>())), 0);
  EXPECT_TRUE(ZZArchive::archiveWithData(std::make_shared<Data>(), {{ZZOpenOptionsCreateIfMissingKey, true}}));
}

TEST(ZZArchiveOpen, AFailedReloadKeepsThePreviousEntries) {
  auto dir = testenv::freshFolder("open");
  Data zip = twoEntries();
  std::ofstream(dir / "a.zip", std::ios::binary).write(reinterpret_cast<const char*>(zip.data()), zip.size());
  auto archive = *ZZArchive::archiveWithURL(dir / "a.zip");
  std::ofstream(dir / "a.zip", std::ios::binary) << "not a zip at all, not even close";
  EXPECT_EQ(zipCode(archive->loadCanMiss(false)), 1);
  EXPECT_EQ(archive->entries().size(), 2u);
}

}  // namespace
