#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <limits>

#include <nlohmann/json.hpp>

#include "StorageTestSupport.h"
#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentArchiveError.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "document/storage/KXDirectoryArchiveBacking.h"
#include "support/TestEnvironment.h"

using namespace storagetest;
using Manifest = KXDocumentArchive::Manifest;

TEST(Manifest, WrittenTextIsSortedWithPlainSlashesBase64DigestsAndUpperCaseUuid) {
  auto uuid = *Uuid::parse("6f0c3a52-9b1e-4c64-8e47-2d5b7a1c9e30");
  auto digest = crypto::sha1(std::span(reinterpret_cast<const std::uint8_t*>("abc"), 3));
  Manifest m{uuid, std::map<std::string, Manifest::Entry>{
                       {"design/document.json", {3, Data(digest.begin(), digest.end())}},
                       {"code/broken.js", Manifest::Entry::unknown()}}};
  std::string text = KXDocumentArchive::encode(KXDocumentArchive::manifestJSON(m));
  EXPECT_NE(text.find("\"design/document.json\""), std::string::npos);
  EXPECT_EQ(text.find("\\/"), std::string::npos);
  EXPECT_NE(text.find("\"6F0C3A52-9B1E-4C64-8E47-2D5B7A1C9E30\""), std::string::npos);
  EXPECT_NE(text.find("\"qZk+NkcGgWq6PiVxeFDCbJzQ2J0=\""), std::string::npos);  // SHA-1 of "abc"
  EXPECT_LT(text.find("\"files\""), text.find("\"uuid\""));
  auto designEntry = text.substr(text.find("design/document.json"));
  EXPECT_LT(designEntry.find("\"sha1\""), designEntry.find("\"size\""));
  EXPECT_LT(text.find("code/broken.js"), text.find("design/document.json"));
  auto broken = text.substr(text.find("code/broken.js"));
  EXPECT_EQ(broken.substr(0, broken.find('}')).find("sha1"), std::string::npos);  // unknown: no digest
  auto decoded = KXDocumentArchive::decodeManifest(text);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, m);
}

TEST(Manifest, ReadersAcceptEscapedSlashesAnyOrderAndUnknownKeys) {
  auto m = KXDocumentArchive::decodeManifest(
      R"({"extra":1,"files":{"design\/document.json":{"size":0,"sha1":"2jmj7l5rSw0yVb/vlWAYkK/YBwk="}},"uuid":"6F0C3A52-9B1E-4C64-8E47-2D5B7A1C9E30"})");
  ASSERT_TRUE(m);
  ASSERT_TRUE(m->files);
  EXPECT_EQ(m->files->count("design/document.json"), 1u);
  auto withoutFiles = KXDocumentArchive::decodeManifest(R"({"uuid":"6F0C3A52-9B1E-4C64-8E47-2D5B7A1C9E30"})");
  ASSERT_TRUE(withoutFiles);
  EXPECT_FALSE(withoutFiles->files);  // absent, not empty
}

TEST(Manifest, BrokenManifestsFallBackToTheCallersIdentity) {
  auto given = Uuid::random();
  for (std::string bad : {"", "{", "[]", R"({"uuid":"nope"})", R"({"uuid":"6F0C3A52-9B1E-4C64-8E47-2D5B7A1C9E30","files":{"a":{"size":"1"}}})",
                          R"({"uuid":"6F0C3A52-9B1E-4C64-8E47-2D5B7A1C9E30","files":{"a":{"size":1,"sha1":"!!"}}})"}) {
    auto root = testenv::freshFolder("manifest");
    if (!bad.empty()) writeTree(root, {{KXDocumentArchive::relativePathForManifest, bad}});
    auto backing = KXDirectoryArchiveBacking::create(root, false, true);
    KXDocumentArchive archive(std::move(*backing), given);
    EXPECT_EQ(archive.uuid(), given) << bad;
    EXPECT_FALSE(archive.manifest().files) << bad;
  }
  auto root = testenv::freshFolder("manifest");
  writeTree(root, {{KXDocumentArchive::relativePathForManifest, R"({"uuid":"6F0C3A52-9B1E-4C64-8E47-2D5B7A1C9E30"})"}});
  KXDocumentArchive archive(std::move(*KXDirectoryArchiveBacking::create(root, false, true)), given);
  EXPECT_EQ(archive.uuid().string(), "6F0C3A52-9B1E-4C64-8E47-2D5B7A1C9E30");  // a valid manifest wins
}

TEST(Manifest, EntriesStreamOnceThroughTheWriterAndPassItsFailureOn) {
  std::string copied;
  DataSink writer = [&](const std::uint8_t* p, std::size_t n) -> Result<void> {
    copied.append(reinterpret_cast<const char*>(p), n);
    return {};
  };
  ListBacking source(std::vector<std::pair<std::string, std::string>>{{"a", "hello"}, {"empty", ""}});
  auto entry = KXDocumentArchive::makeEntry(source.dataReader("a"), &writer);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->size, 5);
  EXPECT_EQ(copied, "hello");
  auto empty = KXDocumentArchive::makeEntry(source.dataReader("empty"));
  EXPECT_EQ(crypto::base64Encode(*empty->sha1), "2jmj7l5rSw0yVb/vlWAYkK/YBwk=");  // SHA-1 of no bytes
  DataSink failing = [](const std::uint8_t*, std::size_t) -> Result<void> { return fail("sink", 9); };
  auto failed = KXDocumentArchive::makeEntry(source.dataReader("a"), &failing);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().domain, "sink");
}

TEST(Manifest, InclusionRules) {
  for (const char* in : {"README.md", "design/document.json", "code/index.js", ".cache/images/1024/ab.png",
                         ".backups/2026.zip", ".yarnignore", "code/node_modules/x.js"})
    EXPECT_TRUE(KXDocumentArchive::shouldInclude(in)) << in;
  for (const char* out : {".cache/images/256/ab.png", ".cache/other", ".backups", "code/.yarnignore",
                          "_project.korvelxproj", "old.korvelxproj", "design/", ".DS_Store", ".git/config", "code/.env",
                          "Icon\r", "design/Icon\r", "__MACOSX/x", "node_modules/react/index.js", "node_modules-old/x"})
    EXPECT_FALSE(KXDocumentArchive::shouldInclude(out)) << out;
}

TEST(Manifest, WalksNeverPruneAFolderThatHoldsIncludedFiles) {
  // Pruning must agree with the inclusion rules for every ancestor of every included path.
  for (const char* path : {".cache/images/512/a.png", ".backups/x/y.zip", "code/node_modules/a/b.js", "a/b/c/d.txt",
                           "design/images/x.png"}) {
    ASSERT_TRUE(KXDocumentArchive::shouldInclude(path));
    std::string p = path;
    for (auto slash = p.find('/'); slash != std::string::npos; slash = p.find('/', slash + 1))
      EXPECT_TRUE(KXDocumentArchive::mayContainIncludedFiles(p.substr(0, slash))) << p.substr(0, slash);
  }
  for (const char* folder : {"node_modules", ".git", "code/.git", ".cache/images/256", "__MACOSX"})
    EXPECT_FALSE(KXDocumentArchive::mayContainIncludedFiles(folder)) << folder;
}

TEST(Manifest, SafeRelativePaths) {
  for (const char* ok : {"a", "design/document.json", "a b/c..d"}) EXPECT_TRUE(KXDocumentArchive::isSafeRelativePath(ok));
  for (std::string bad : std::vector<std::string>{"", "/etc/passwd", "../x", "a/../../x", "a//b", "a/./b", "a\\..\\x", "a/", std::string("a\0b", 3)})
    EXPECT_FALSE(KXDocumentArchive::isSafeRelativePath(bad)) << bad;
}

TEST(Manifest, DatesUseMillisecondsInUtc) {
  auto date = KXDocumentArchive::parseDate("2026-12-05T19:41:17.123Z");
  ASSERT_TRUE(date);
  EXPECT_EQ(KXDocumentArchive::formatDate(*date), "2026-12-05T19:41:17.123Z");
  EXPECT_FALSE(KXDocumentArchive::parseDate("2026-12-05T19:41:17Z"));
  EXPECT_FALSE(KXDocumentArchive::parseDate("2026-13-05T19:41:17.123Z"));
}

// The clock holds about 292 years either side of 1970; a date beyond would overflow it.
TEST(Manifest, DatesBeyondTheClocksReachAreRefused) {
  for (const char* far : {"1012-05-17T08:30:12.345Z", "0000-01-01T00:00:00.000Z", "9999-12-31T23:59:59.999Z",
                          "2262-04-12T00:00:00.000Z", "1677-09-21T00:00:00.000Z"})
    EXPECT_FALSE(KXDocumentArchive::parseDate(far)) << far;
  for (const char* near : {"1700-01-01T00:00:00.000Z", "2261-12-31T23:59:59.999Z"}) {
    auto date = KXDocumentArchive::parseDate(near);
    ASSERT_TRUE(date) << near;
    EXPECT_EQ(KXDocumentArchive::formatDate(*date), near);
  }
}

// A document file dated where the clock can't reach (found on copies from odd file systems)
// gets the nearest date the clock holds, which the origin record writes and reads back.
TEST(Manifest, AFileDatedBeyondTheClocksReachGetsTheNearestDate) {
  auto root = testenv::freshFolder("far-dates");
  writeTree(root, {{"design/document.json", "{}"}});
  struct Case {
    std::time_t seconds;
    long nanoseconds;
    const char* date;
  } cases[] = {
      {10413792000, 0, "2262-04-11T23:47:15.000Z"},           // 2300
      {std::numeric_limits<std::time_t>::max() / 4, 5, "2262-04-11T23:47:15.000Z"},
      {9223372035, 999999999, "2262-04-11T23:47:15.000Z"},    // the last second the clock holds
      {9223372034, 500000000, "2262-04-11T23:47:14.500Z"},
      {-9223372100, 0, "1677-09-21T00:12:45.000Z"},
      {1765000000, 123456789, "2025-12-06T05:46:40.123Z"},
  };
  for (const auto& c : cases) {
    // Every date, whatever the file system below takes.
    EXPECT_EQ(KXDocumentArchive::formatDate(fs::dateOf(timespec{c.seconds, c.nanoseconds})), c.date) << c.seconds;
    timespec times[2] = {{c.seconds, c.nanoseconds}, {c.seconds, c.nanoseconds}};
    if (::utimensat(AT_FDCWD, root.c_str(), times, 0) != 0) {
      ADD_FAILURE() << "the file system takes no such date: " << c.seconds;
      continue;
    }
    struct stat st {};
    ASSERT_EQ(::stat(root.c_str(), &st), 0);
    if (st.st_mtim.tv_sec != c.seconds) continue;  // the file system keeps a nearer date of its own
    auto date = folderArchive(root)->contentModificationDate();
    ASSERT_TRUE(date) << c.seconds;
    EXPECT_EQ(KXDocumentArchive::formatDate(*date), c.date) << c.seconds;
    EXPECT_EQ(KXDocumentArchive::parseDate(KXDocumentArchive::formatDate(*date)),
              std::chrono::time_point_cast<std::chrono::milliseconds>(*date))
        << c.seconds;
  }
}

TEST(FilteredArchive, ListsOnlyAcceptedPathsButReadsAnyAndCantBeWritten) {
  auto root = testenv::freshFolder("filter");
  writeTree(root, {{"design/document.json", "{}"}, {"code/a.js", "a"}, {"README.md", "r"}});
  auto archive = folderArchive(root);
  archive->regenerateManifest();
  auto view = KXDocumentArchive::filtered(archive, [](const std::string& p) { return p.rfind("code", 0) == 0; });
  EXPECT_EQ(view->uuid(), archive->uuid());
  EXPECT_EQ(view->manifest(), archive->manifest());  // not filtered
  std::vector<std::string> listed;
  view->backing().forEach([&](const std::string& p, const DataReader&) { listed.push_back(p); });
  EXPECT_EQ(listed, std::vector<std::string>{"code/a.js"});
  EXPECT_EQ(read(view->backing().dataReader("README.md")), "r");
  EXPECT_EQ(view->backing().url(), root);
  auto moved = view->backing().moved(root / "x");
  ASSERT_FALSE(moved);
  EXPECT_EQ(moved.error().code, KXDocumentArchiveError::invalidBackingCode);
  auto reflected = view->reflect(*archive);
  ASSERT_FALSE(reflected);
  EXPECT_EQ(reflected.error().domain, "Korvel.KXDocumentArchiveError");
}
