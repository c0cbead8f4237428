#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <mutex>
#include <thread>

#include "StorageTestSupport.h"
#include "document/storage/KXDirectoryArchiveBacking.h"
#include "document/storage/KXDocumentArchiveError.h"
#include "document/storage/KXDocumentVersionCheck.h"
#include "document/storage/KXZipArchiveBacking.h"
#include "platform/FileSystem.h"
#include "support/TestEnvironment.h"

using namespace storagetest;

namespace {
std::shared_ptr<KXDocumentArchive> zipArchive(const std::filesystem::path& file, bool create = true,
                                              bool writesManifest = true) {
  auto backing = KXZipArchiveBacking::create(file, create, writesManifest);
  if (!backing) throw std::runtime_error(backing.error().description());
  return std::make_shared<KXDocumentArchive>(std::move(*backing), std::nullopt);
}
std::vector<std::string> entryNames(const KXDocumentArchive& archive) {
  std::vector<std::string> names;
  for (auto& e : static_cast<KXZipArchiveBacking&>(archive.backing()).zip()->entries()) names.push_back(*e->fileName());
  return names;
}
std::string sh(const std::string& command) {
  std::string out;
  int status = testenv::run(command + " 2>&1", &out);
  return status == 0 ? out : "exit " + std::to_string(status) + ": " + out;
}
}  // namespace

TEST(ZipBacking, FolderToZipToFolderKeepsFilesAndManifestsIdentical) {
  auto from = testenv::freshFolder("from");
  writeTree(from, {{"design/document.json", "{\"version\":1}"}, {"design/images/a.png", std::string(100000, 'p')},
                   {"code/index.js", "export {}"}, {"empty.txt", ""}, {".cache/images/512/a.png", "small"},
                   {"node_modules/x.js", "left out"}});
  auto zipFile = testenv::freshFolder("zip") / "Project.korvelx";
  auto zip = zipArchive(zipFile);
  ASSERT_TRUE(zip->reflect(*folderArchive(from)));
  auto names = entryNames(*zip);
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.back(), KXDocumentArchive::relativePathForManifest);  // the manifest comes last
  EXPECT_EQ(std::count(names.begin(), names.end(), "node_modules/x.js"), 0);
  EXPECT_EQ(sh("unzip -tq '" + zipFile.string() + "' >/dev/null && echo ok"), "ok\n");
  EXPECT_EQ(sh("unzip -Z -v '" + zipFile.string() + "' _project.korvelxproj | grep -cE 'compression method: +none'"),
            "1\n");
  // Images are stored, text is deflated, and every peer reads both kinds.
  auto methodOf = [&](const std::string& name) {
    for (auto& e : static_cast<KXZipArchiveBacking&>(zip->backing()).zip()->entries())
      if (*e->fileName() == name) return static_cast<int>(e->compressionMethod());
    return -1;
  };
  EXPECT_EQ(methodOf("design/images/a.png"), 0);
  EXPECT_EQ(methodOf(".cache/images/512/a.png"), 0);
  EXPECT_EQ(methodOf("design/document.json"), 8);
  EXPECT_EQ(methodOf("code/index.js"), 8);
  EXPECT_EQ(sh("7z t -bd '" + zipFile.string() + "' >/dev/null && echo ok"), "ok\n");
  EXPECT_EQ(sh("python3 -c \"import zipfile,sys; sys.exit(zipfile.ZipFile(sys.argv[1]).testzip() is not None)\" '" +
               zipFile.string() + "' && echo ok"),
            "ok\n");

  auto reopened = zipArchive(zipFile, false);
  EXPECT_EQ(reopened->uuid(), zip->uuid());
  EXPECT_EQ(reopened->manifest(), zip->manifest());
  auto to = testenv::freshFolder("back");
  auto folder = folderArchive(to);
  ASSERT_TRUE(folder->reflect(*reopened));
  EXPECT_EQ(folder->manifest().files, zip->manifest().files);
  auto expected = readTree(from);
  expected.erase("node_modules/x.js");
  auto tree = readTree(to);
  tree.erase(KXDocumentArchive::relativePathForManifest);
  EXPECT_EQ(tree, expected);
}

TEST(ZipBacking, OpensZipsMadeByInfoZipAndReadsTheFirstOfTwoEqualNames) {
  auto dir = testenv::freshFolder("infozip");
  writeTree(dir / "p", {{"design/document.json", "{}"}, {"code/a.js", "first"}});
  ASSERT_EQ(sh("cd '" + (dir / "p").string() + "' && zip -qr ../made.zip . && ln -s code/a.js link.js && zip -qy ../made.zip link.js && echo ok"), "ok\n");
  // A second entry with an existing name, appended by hand through Python.
  ASSERT_EQ(sh("python3 -c \"import zipfile,warnings; warnings.simplefilter('ignore'); z=zipfile.ZipFile('" +
               (dir / "made.zip").string() + "','a'); z.writestr('code/a.js','second'); z.close(); print('ok')\""),
            "ok\n");
  auto archive = zipArchive(dir / "made.zip", false);
  std::vector<std::string> listed;
  archive->backing().forEach([&](const std::string& p, const DataReader&) { listed.push_back(p); });
  EXPECT_EQ(std::count(listed.begin(), listed.end(), "link.js"), 0);  // a symbolic link is not a file
  EXPECT_EQ(std::count(listed.begin(), listed.end(), "design/document.json"), 1);
  EXPECT_EQ(read(archive->backing().dataReader("code/a.js")), "first");
  auto missing = archive->backing().dataReader("nope")([](const std::uint8_t*, std::size_t) -> Result<void> { return {}; });
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().domain, NSCocoaErrorDomain);
  EXPECT_EQ(missing.error().code, 256);
}

TEST(ZipBacking, NamesCompareByCanonicalEquivalence) {
  auto dir = testenv::freshFolder("nfc");
  auto zip = zipArchive(dir / "n.zip");
  auto source = std::make_shared<KXDocumentArchive>(
      std::make_unique<ListBacking>(std::vector<std::pair<std::string, std::string>>{{"caf\xc3\xa9.txt", "precomposed"}}),
      KXDocumentArchive::WithIdentity{Uuid::random()});
  ASSERT_TRUE(zip->reflect(*source));
  EXPECT_EQ(read(zip->backing().dataReader("cafe\xcc\x81.txt")), "precomposed");
}

// A file whose name is not UTF-8 is saved under its own bytes, without the UTF-8 flag, and
// comes back with the same bytes: from our reader, from unzip, and through Python's zipfile.
TEST(ZipBacking, ANameThatIsNotUtf8IsKeptUnderItsOwnBytes) {
  const std::string odd = "code/caf\xe9.js";
  auto from = testenv::freshFolder("latin1");
  writeTree(from, {{"design/document.json", "{\"version\":1}"}, {odd, "export const x = 1;"}, {"code/index.js", "ok"}});
  ASSERT_TRUE(std::filesystem::exists(from / odd));
  auto folder = testenv::freshFolder("latin1-zip");
  auto zipFile = folder / "Project.korvelx";
  {
    auto zip = zipArchive(zipFile);
    auto saved = zip->reflect(*folderArchive(from));
    ASSERT_TRUE(saved) << saved.error().description();
    // A second save carries the entry over.
    writeTree(from, {{"code/index.js", "changed"}});
    saved = zip->reflect(*folderArchive(from));
    ASSERT_TRUE(saved) << saved.error().description();
  }
  EXPECT_EQ(sh("unzip -tq '" + zipFile.string() + "' >/dev/null && echo ok"), "ok\n");
  EXPECT_EQ(sh("cd '" + folder.string() + "' && python3 -c \"import zipfile; z = zipfile.ZipFile('Project.korvelx'); "
               "print([i.orig_filename.encode('cp437') for i in z.infolist() if i.flag_bits & 0x800 == 0 "
               "and not i.orig_filename.isascii()], z.read(z.getinfo('code/caf\\u0398.js')))\""),
            "[b'code/caf\\xe9.js'] b'export const x = 1;'\n");
  EXPECT_EQ(sh("cd '" + folder.string() + "' && mkdir out && unzip -q Project.korvelx -d out && cat 'out/" + odd + "'"),
            "export const x = 1;");
  EXPECT_EQ(sh("cd '" + folder.string() + "' && 7z x -y -oout7 Project.korvelx >/dev/null && cat 'out7/" + odd + "'"),
            "export const x = 1;");

  auto back = testenv::freshFolder("latin1-back");
  ASSERT_TRUE(folderArchive(back)->reflect(*zipArchive(zipFile, false)));
  auto tree = readTree(back);
  EXPECT_EQ(tree[odd], "export const x = 1;");
  EXPECT_EQ(tree["code/index.js"], "changed");
}

TEST(ZipBacking, CraftedNamesAreLeftOutOfWritesAndReads) {
  auto dir = testenv::freshFolder("slip");
  ASSERT_EQ(sh("cd '" + dir.string() + "' && python3 -c \"import zipfile; z=zipfile.ZipFile('evil.zip','w'); "
               "z.writestr('/tmp/korvel-slip-abs.txt','x'); z.writestr('a/../../../tmp/korvel-slip-up.txt','x'); "
               "z.writestr('..\\\\\\\\korvel-slip-back.txt','x'); z.writestr('ok.txt','fine'); z.close(); print('ok')\""),
            "ok\n");
  auto target = testenv::freshFolder("slip-target");
  ASSERT_TRUE(folderArchive(target)->reflect(*zipArchive(dir / "evil.zip", false)));
  auto tree = readTree(target);
  tree.erase(KXDocumentArchive::relativePathForManifest);
  EXPECT_EQ(tree, (std::map<std::string, std::string>{{"ok.txt", "fine"}}));
  EXPECT_FALSE(std::filesystem::exists("/tmp/korvel-slip-abs.txt"));
  EXPECT_FALSE(std::filesystem::exists("/tmp/korvel-slip-up.txt"));
}

TEST(ZipBacking, UnchangedEntriesAreCarriedOverWithoutRecompressing) {
  auto from = testenv::freshFolder("carry");
  writeTree(from, {{"design/images/big.png", std::string(300000, 'q')}, {"design/document.json", "{\"v\":1}"}});
  auto zipFile = testenv::freshFolder("carry-zip") / "c.korvelx";
  // Zip dates count two seconds and write second 59 as 58: keep both saves clear of a minute's end.
  while (std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count() % 60 >= 50)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto zip = zipArchive(zipFile);
  ASSERT_TRUE(zip->reflect(*folderArchive(from)));
  auto dateOf = [&](const std::string& name) {
    for (auto& e : static_cast<KXZipArchiveBacking&>(zip->backing()).zip()->entries())
      if (*e->fileName() == name) return e->lastModified();
    return std::chrono::system_clock::time_point{};
  };
  auto before = dateOf("design/images/big.png");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // DOS dates count two seconds
  writeTree(from, {{"design/document.json", "{\"v\":2}"}});
  ASSERT_TRUE(zip->reflect(*folderArchive(from)));
  EXPECT_EQ(dateOf("design/images/big.png"), before);
  EXPECT_NE(dateOf("design/document.json"), before);
  EXPECT_EQ(read(zip->backing().dataReader("design/document.json")), "{\"v\":2}");
  EXPECT_EQ(sh("unzip -tq '" + zipFile.string() + "' >/dev/null && echo ok"), "ok\n");
}

TEST(ZipBacking, BackupsWithoutManifestAndEmptyArchives) {
  auto dir = testenv::freshFolder("plain");
  auto empty = zipArchive(dir / "empty.zip");
  EXPECT_FALSE(std::filesystem::exists(dir / "empty.zip"));  // nothing written before the first reflection
  auto nothing = std::make_shared<KXDocumentArchive>(std::make_unique<ListBacking>(std::vector<std::pair<std::string, std::string>>{}),
                                                     KXDocumentArchive::WithIdentity{Uuid::random()});
  ASSERT_TRUE(empty->reflect(*nothing));
  EXPECT_EQ(entryNames(*empty), std::vector<std::string>{KXDocumentArchive::relativePathForManifest});
  auto backup = zipArchive(dir / "backup.zip", true, false);
  auto source = testenv::freshFolder("plain-src");
  writeTree(source, {{"code/a.js", "a"}});
  ASSERT_TRUE(backup->reflect(*folderArchive(source)));
  EXPECT_EQ(entryNames(*backup), std::vector<std::string>{"code/a.js"});
}

TEST(ZipBacking, FactoryPicksTheBackingByTypeOrByWhatTheAddressNames) {
  auto dir = testenv::freshFolder("factory");
  writeTree(dir / "folder", {{"a.txt", "a"}});
  writeTree(dir, {{"file.korvelx", ""}});
  auto byFolder = KXDocumentArchive::open(dir / "folder", "public.data", false, std::nullopt, true);
  ASSERT_TRUE(byFolder);
  EXPECT_EQ((*byFolder)->backing().documentTypeIdentifier(), "com.korvel.projectfolder");
  auto nothing = KXDocumentArchive::open(dir / "missing", "public.data", false, std::nullopt, true);
  ASSERT_FALSE(nothing);
  EXPECT_EQ(nothing.error().code, NSFileReadNoSuchFileError);
  auto zipOverFolder = KXDocumentArchive::open(dir / "folder", KXDocumentArchive::zipDocumentType, false, std::nullopt, true);
  ASSERT_FALSE(zipOverFolder);
  EXPECT_EQ(zipOverFolder.error().code, KXDocumentArchiveError::invalidBackingCode);
  auto folderOverFile = KXDocumentArchive::open(dir / "file.korvelx", KXDocumentArchive::folderDocumentType, false, std::nullopt, true);
  ASSERT_FALSE(folderOverFile);
  EXPECT_EQ(folderOverFile.error().code, KXDocumentArchiveError::invalidBackingCode);
  auto created = KXDocumentArchive::open(dir / "new/deep/folder", KXDocumentArchive::folderDocumentType, true, std::nullopt, true);
  ASSERT_TRUE(created);
  EXPECT_TRUE(std::filesystem::is_directory(dir / "new/deep/folder"));
  auto uuid = Uuid::random();
  auto newZip = KXDocumentArchive::open(dir / "new.korvelx", KXDocumentArchive::zipDocumentType, true, uuid, true);
  ASSERT_TRUE(newZip);
  EXPECT_EQ((*newZip)->uuid(), uuid);
}

TEST(ZipBacking, TheBundledExampleOpens) {
  auto archive = KXDocumentArchive::open(std::filesystem::path(KORVEL_SOURCE_DIR) / "resources/WelcomeWindow/examples/example-welcome.korvelx",
                                         "com.korvel.projectzip", false, std::nullopt, true);
  ASSERT_TRUE(archive);
  ASSERT_TRUE((*archive)->manifest().files);
  auto recorded = *(*archive)->manifest().files;
  (*archive)->regenerateManifest();
  EXPECT_EQ(*(*archive)->manifest().files, recorded);
}

TEST(ZipBacking, ANameHeldTwiceIsReadFromItsFirstEntryEverywhere) {
  auto file = testenv::freshFolder("twice") / "Twice.korvelx";
  auto zip = *ZZArchive::archiveWithURL(file, {{ZZOpenOptionsCreateIfMissingKey, true}});
  auto entry = [](const std::string& name, const std::string& text) {
    return ZZArchiveEntry::archiveEntryWithFileName(name, true, ZZArchiveEntry::DataBlock([text]() -> Result<Data> {
      return Data(text.begin(), text.end());
    }));
  };
  const std::string first = R"({"version":1,"which":"first"})", last = R"({"version":999,"which":"last"})";
  ASSERT_TRUE(zip->updateEntries({entry("design/document.json", first), entry("code/a.js", "a"),
                                  entry("design/document.json", last)}));
  auto archive = zipArchive(file, false);
  EXPECT_TRUE(verifyDocumentVersion(*archive, 3));
  EXPECT_EQ(read(archive->backing().dataReader("design/document.json")), first);
  std::map<std::string, std::string> listed;
  archive->backing().forEach([&](const std::string& path, const DataReader& reader) {
    EXPECT_FALSE(listed.count(path)) << path;
    listed[path] = read(reader);
  });
  EXPECT_EQ(listed["design/document.json"], first);
  auto folder = testenv::freshFolder("twice-read");
  ASSERT_TRUE(folderArchive(folder)->reflect(*archive));
  EXPECT_EQ(readTree(folder)["design/document.json"], first);
}

TEST(ZipBacking, TemporariesAKilledSaveLeftGoWhenTheDocumentIsOpened) {
  auto dir = testenv::freshFolder("stale");
  auto file = dir / "Doc.korvelx";
  ASSERT_TRUE(zipArchive(file)->reflect(*folderArchive(testenv::freshFolder("stale-from"))));
  pid_t ended = ::fork();
  if (ended == 0) ::_exit(0);
  ::waitpid(ended, nullptr, 0);
  auto stale = dir / (".Doc.korvelx.korvel-tmp-" + std::to_string(ended) + "-x1y2z3");
  std::filesystem::create_directories(stale);
  ASSERT_TRUE(fs::writeAtomically(stale / "Doc.korvelx", std::string_view("half a save")));
  (void)zipArchive(file, false);
  EXPECT_FALSE(fs::exists(stale));
}

// A working copy read from a zip knows its files by their status; an edit shows through any of
// size, date, inode or status time, even one that puts the old date back.
TEST(ZipBacking, AWorkingCopySavesEditsItDidNotReadAgain) {
  auto from = testenv::freshFolder("known-from");
  writeTree(from, {{"design/document.json", "{\"v\":1}"}, {"code/a.js", "aaaa"}, {"code/b.js", "bbbb"},
                   {"code/c.js", "cccc"}, {"design/images/p.png", std::string(5000, 'p')}});
  auto zipFile = testenv::freshFolder("known-zip") / "k.korvelx";
  auto zip = zipArchive(zipFile);
  ASSERT_TRUE(zip->reflect(*folderArchive(from)));
  auto copyRoot = testenv::freshFolder("known-copy");
  auto copy = folderArchive(copyRoot);
  ASSERT_TRUE(copy->reflect(*zip));
  for (auto path : {"code/a.js", "code/b.js", "design/images/p.png"})
    EXPECT_TRUE(copy->backing().knownEntry(path) == zip->manifest().files->at(path)) << path;

  struct stat before{};
  ASSERT_EQ(::stat((copyRoot / "code/a.js").c_str(), &before), 0);
  writeTree(copyRoot, {{"code/a.js", "AAAA"}});  // same size, in place
  timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, (copyRoot / "code/a.js").c_str(), times, 0), 0);
  ASSERT_TRUE(fs::writeAtomically(copyRoot / "code/b.js", std::string_view("BBBB")));  // a new inode
  writeTree(copyRoot, {{"code/c.js", "cccc+"}});
  EXPECT_FALSE(copy->backing().knownEntry("code/a.js"));
  EXPECT_FALSE(copy->backing().knownEntry("code/b.js"));
  EXPECT_FALSE(copy->backing().knownEntry("code/c.js"));

  ASSERT_TRUE(zip->reflect(*copy));
  auto reopened = zipArchive(zipFile, false);
  EXPECT_EQ(read(reopened->backing().dataReader("code/a.js")), "AAAA");
  EXPECT_EQ(read(reopened->backing().dataReader("code/b.js")), "BBBB");
  EXPECT_EQ(read(reopened->backing().dataReader("code/c.js")), "cccc+");
  EXPECT_EQ(read(reopened->backing().dataReader("design/images/p.png")), std::string(5000, 'p'));
  auto regenerated = zipArchive(zipFile, false);
  regenerated->regenerateManifest();
  EXPECT_EQ(regenerated->manifest().files, reopened->manifest().files);
  EXPECT_EQ(sh("unzip -tq '" + zipFile.string() + "' >/dev/null && echo ok"), "ok\n");
}

TEST(ZipBacking, AFileThatCantBeReadMidSaveFailsTheSaveAndKeepsTheOldDocument) {
  auto dir = testenv::freshFolder("mid-save");
  auto zipFile = dir / "p.korvelx";
  auto zip = zipArchive(zipFile);
  auto from = testenv::freshFolder("mid-save-from");
  writeTree(from, {{"design/document.json", "{\"v\":1}"}, {"code/a.js", std::string(50000, 'a')}});
  ASSERT_TRUE(zip->reflect(*folderArchive(from)));
  auto before = readTree(dir);
  auto manifest = zip->manifest();

  // Many files read on every core; one in the middle, or the first, or the last, fails halfway.
  for (std::size_t failing : {std::size_t{0}, std::size_t{150}, std::size_t{299}}) {
    SCOPED_TRACE(failing);
    std::vector<std::pair<std::string, std::string>> files;
    for (std::size_t i = 0; i < 300; ++i)
      files.emplace_back("code/f" + std::to_string(1000 + i) + ".js",
                         i == failing ? "<fail>" : std::string(20000 + i * 100, static_cast<char>('a' + i % 26)));
    auto source = std::make_shared<KXDocumentArchive>(std::make_unique<ListBacking>(files),
                                                      KXDocumentArchive::WithIdentity{Uuid::random()});
    auto r = zip->reflect(*source);
    ASSERT_FALSE(r);
    EXPECT_EQ(readTree(dir), before);  // the same bytes, and no temporary left beside them
    EXPECT_EQ(zip->manifest(), manifest);
    EXPECT_EQ(read(zip->backing().dataReader("code/a.js")), std::string(50000, 'a'));
  }
  EXPECT_EQ(sh("unzip -tq '" + zipFile.string() + "' >/dev/null && echo ok"), "ok\n");
}

TEST(ZipBacking, EntriesKeepTheSourcesOrderWhateverCoreReadThem) {
  auto from = testenv::freshFolder("order");
  std::map<std::string, std::string> files;
  for (int i = 0; i < 200; ++i)
    files["code/m" + std::to_string(i % 7) + "/f" + std::to_string(i) + (i % 5 ? ".js" : ".png")] =
        std::string(static_cast<std::size_t>(i % 3 == 0 ? 400000 : 3000 + i), static_cast<char>('a' + i % 26));
  writeTree(from, files);
  auto source = folderArchive(from);
  std::vector<std::string> expected;
  source->backing().forEach([&](const std::string& path, const DataReader&) { expected.push_back(path); });
  expected.push_back(KXDocumentArchive::relativePathForManifest);
  for (int round = 0; round < 3; ++round) {
    auto zipFile = testenv::freshFolder("order-zip") / "o.korvelx";
    auto zip = zipArchive(zipFile);
    ASSERT_TRUE(zip->reflect(*source));
    EXPECT_EQ(entryNames(*zip), expected);
    for (const auto& [path, content] : files) EXPECT_EQ(read(zip->backing().dataReader(path)), content) << path;
    // The manifest measured what was written.
    for (const auto& [path, content] : files)
      EXPECT_EQ(zip->manifest().files->at(path).size, static_cast<std::int64_t>(content.size())) << path;
  }
}

TEST(ZipBacking, ASaveKilledOnAnyCoreLeavesTheOldZipOrTheNewOneNeverPart) {
  auto from = testenv::freshFolder("zip-crash-from");
  auto old = testenv::freshFolder("zip-crash-old");
  std::map<std::string, std::string> oldFiles, newFiles;
  for (int i = 0; i < 80; ++i) {
    std::string path = "code/m" + std::to_string(i % 5) + "/f" + std::to_string(i) + (i % 4 ? ".js" : ".png");
    oldFiles[path] = std::string(30000 + static_cast<std::size_t>(i) * 2000, static_cast<char>('a' + i % 26));
    newFiles[path] = std::string(40000 + static_cast<std::size_t>(i) * 3000, static_cast<char>('A' + i % 26));
  }
  writeTree(old, oldFiles);
  writeTree(from, newFiles);
  for (int delayMs : {0, 2, 5, 10, 20, 40, 80, 160}) {
    SCOPED_TRACE(delayMs);
    auto dir = testenv::freshFolder("zip-crash");
    auto zipFile = dir / "p.korvelx";
    ASSERT_TRUE(zipArchive(zipFile)->reflect(*folderArchive(old)));
    pid_t pid = 0;
    std::string fromPath = from.string(), toPath = zipFile.string();
    char zipWord[] = "zip";
    char* argv[] = {const_cast<char*>(REFLECT_TOOL), fromPath.data(), toPath.data(), zipWord, nullptr};
    // Killed that long after the save started.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    ASSERT_EQ(posix_spawn(&pid, REFLECT_TOOL, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char c = 0;
    while (c != '\n' && read(out[0], &c, 1) == 1) {
    }
    close(out[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);

    // The document opens whole, as it was or as saved, and what the save left beside it goes.
    EXPECT_EQ(sh("unzip -tq '" + zipFile.string() + "' >/dev/null && echo ok"), "ok\n");
    auto reopened = zipArchive(zipFile, false);
    std::map<std::string, std::string> content;
    reopened->backing().forEach([&](const std::string& path, const DataReader& reader) {
      if (path != KXDocumentArchive::relativePathForManifest) content[path] = read(reader);
    });
    EXPECT_TRUE(content == oldFiles || content == newFiles);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
  }
}

TEST(ZipBacking, AnEntryAnotherProgramChangedInPlaceIsWrittenFromTheWorkingCopy) {
  // A private working copy that knows its files, saved once.
  const std::map<std::string, std::string> project = {
      {"design/document.json", "{\"version\":1}"}, {"code/a.js", "mine = 1"}, {"code/b.js", "other();"}};
  auto source = testenv::freshFolder("inplace-source");
  writeTree(source, project);
  auto folder = testenv::freshFolder("inplace") / "container";
  std::filesystem::create_directories(folder);
  auto workingCopy = [&] {
    auto backing = KXDirectoryArchiveBacking::create(folder, false, false, true);
    if (!backing) throw std::runtime_error(backing.error().description());
    return std::make_shared<KXDocumentArchive>(std::move(*backing), KXDocumentArchive::WithIdentity{Uuid::random()});
  };
  ASSERT_TRUE(workingCopy()->reflect(*folderArchive(source, false)));
  auto zipFile = testenv::freshFolder("inplace-zip") / "Project.korvelx";
  ASSERT_TRUE(zipArchive(zipFile)->reflect(*workingCopy()));

  // Another program puts other bytes of the same size into one entry and leaves the manifest.
  ASSERT_EQ(sh("cd '" + zipFile.parent_path().string() + "' && python3 -c \"import zipfile; "
               "src = zipfile.ZipFile('Project.korvelx'); dst = zipfile.ZipFile('new.zip', 'w', zipfile.ZIP_DEFLATED); "
               "[dst.writestr(i, b'them = 2' if i.filename == 'code/a.js' else src.read(i)) for i in src.infolist()]; "
               "dst.close()\" && mv new.zip Project.korvelx && unzip -p Project.korvelx code/a.js"),
            "them = 2");

  // The next save, in a new process, writes the working copy's bytes, and its manifest tells
  // what the zip holds.
  auto zip = zipArchive(zipFile);
  auto saved = zip->reflect(*workingCopy());
  ASSERT_TRUE(saved) << saved.error().description();
  EXPECT_EQ(sh("unzip -p '" + zipFile.string() + "' code/a.js"), "mine = 1");
  auto reread = zipArchive(zipFile, false);
  for (const auto& [path, content] : project) {
    EXPECT_EQ(read(reread->backing().dataReader(path)), content) << path;
    auto recorded = reread->manifest().files->at(path);
    EXPECT_EQ(recorded, *KXDocumentArchive::makeEntry(reread->backing().dataReader(path))) << path;
  }
}

TEST(ZipBacking, ASaveNeedsNoMoreRoomThanASequentialOneAndASmallMargin) {
  // A first file larger than the margin, then many that are prepared ahead of their turn.
  auto source = testenv::freshFolder("room-source");
  std::map<std::string, std::string> files;
  std::uint64_t total = 0, state = 88172645463325252ull;
  auto noise = [&](std::size_t size) {
    std::string bytes(size, '\0');
    for (auto& c : bytes) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      c = static_cast<char>(state >> 24);
    }
    total += size;
    return bytes;
  };
  files["design/images/0-first.png"] = noise(64 << 20);
  for (int i = 1; i <= 24; ++i) files["design/images/" + std::to_string(i) + ".png"] = noise(4 << 20);
  files["design/document.json"] = "{\"version\":1}";
  writeTree(source, files);

  // A filesystem with room for the archive, the margin and a little more, in a mount namespace
  // of its own (as the superuser, or as a user where user namespaces are allowed).
  auto mountPoint = testenv::freshFolder("room");
  std::uint64_t room = total + (32 << 20) + (6 << 20);
  std::string script = "mount -t tmpfs -o size=" + std::to_string(room / 1024) + "k tmpfs \"$1\" || exit 77; "
                       "exec \"$2\" \"$3\" \"$1/Project.korvelx\" zip";
  std::string command = "'" + script + "' sh '" + mountPoint.string() + "' '" REFLECT_TOOL "' '" + source.string() + "'";
  std::string out;
  int status = testenv::run("unshare --mount --propagation private sh -c " + command + " 2>&1", &out);
  if (status != 0 && getuid() != 0)
    status = testenv::run("unshare --user --map-root-user --mount --propagation private sh -c " + command + " 2>&1", &out);
  if (status == 77 || out.find("unshare failed") != std::string::npos || out.find("unshare:") != std::string::npos)
    GTEST_SKIP() << "no filesystem of a set size can be mounted here: " << out;
  EXPECT_EQ(status, 0) << out;
}

namespace {
// A source whose first read, on whatever core, lets another program write meanwhile.
class WritingMeanwhile : public ListBacking {
 public:
  WritingMeanwhile(std::vector<std::pair<std::string, std::string>> files, std::function<void()> write)
      : ListBacking(std::move(files)), write_(std::move(write)) {}
  void forEach(const std::function<void(const std::string&, const DataReader&)>& body) const override {
    ListBacking::forEach([&](const std::string& path, const DataReader& reader) {
      body(path, [this, reader](const DataSink& sink) {
        std::call_once(once_, [this] {
          if (write_) write_();
        });
        return reader(sink);
      });
    });
  }

 private:
  std::function<void()> write_;
  mutable std::once_flag once_;
};
}  // namespace

// A save held to the file it looked at replaces only that file: another program's write that
// lands while the files are read and compressed stays, the save fails, no temporary is left.
TEST(ZipBacking, ASaveNeverReplacesWhatAnotherProgramWroteWhileItWasWriting) {
  auto from = testenv::freshFolder("meanwhile-from");
  writeTree(from, {{"design/document.json", "{\"v\":1}"}, {"code/a.js", std::string(30000, 'a')}});
  std::vector<std::pair<std::string, std::string>> edits;
  for (int i = 0; i < 40; ++i)
    edits.emplace_back("code/f" + std::to_string(i) + ".js", std::string(20000 + i, static_cast<char>('k' + i % 8)));
  struct Case {
    const char* how;
    bool existing;
    std::function<void(const std::filesystem::path&)> write;
  } cases[] = {
      {"rewritten in place", true, [](const std::filesystem::path& f) { std::ofstream(f) << "their version"; }},
      {"replaced by a new file", true,
       [](const std::filesystem::path& f) {
         std::ofstream(f.string() + "~") << "their version";
         std::filesystem::rename(f.string() + "~", f);
       }},
      {"made where nothing was", false, [](const std::filesystem::path& f) { std::ofstream(f) << "their version"; }},
      {"left alone", true, nullptr},
      {"still nothing there", false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    auto dir = testenv::freshFolder("meanwhile");
    auto zipFile = dir / "p.korvelx";
    auto zip = zipArchive(zipFile);
    if (c.existing) {
      ASSERT_TRUE(zip->reflect(*folderArchive(from)));
    }
    auto manifest = zip->manifest();
    auto source = std::make_shared<KXDocumentArchive>(
        std::make_unique<WritingMeanwhile>(edits, [&] {
          if (c.write) c.write(zipFile);
        }),
        KXDocumentArchive::WithIdentity{Uuid::random()});
    zip->backing().replaceOnlyIfStill(fs::fileIdentity(zipFile));
    auto r = zip->reflect(*source);
    if (!c.write) {
      ASSERT_TRUE(r) << r.error().description();
      EXPECT_EQ(read(zipArchive(zipFile, false)->backing().dataReader("code/f3.js")), edits[3].second);
      EXPECT_EQ(readTree(dir).size(), 1u);
      continue;
    }
    ASSERT_FALSE(r);
    EXPECT_TRUE(fs::isChangedMeanwhile(r.error())) << r.error().description();
    EXPECT_EQ(readTree(dir), (std::map<std::string, std::string>{{"p.korvelx", "their version"}}));
    EXPECT_EQ(zip->manifest(), manifest);
    // The hold was for that save only: the next one, told to, replaces what is there.
    ASSERT_TRUE(zip->reflect(*folderArchive(from)));
    EXPECT_EQ(read(zipArchive(zipFile, false)->backing().dataReader("code/a.js")), std::string(30000, 'a'));
  }
}

// A save that carries unchanged files over copies them from the zip itself. Another program
// that rewrites the zip in place meanwhile makes that copy fail or read other bytes: either
// way the zip stays as that program wrote it and the save says another program wrote it.
TEST(ZipBacking, ASaveThatCarriesFilesOverWhileAnotherProgramRewritesTheZipLeavesItsVersion) {
  auto from = testenv::freshFolder("carried-from");
  std::vector<std::pair<std::string, std::string>> files = {{"design/document.json", "{\"v\":1}"},
                                                            {"code/a.js", std::string(300000, 'a')},
                                                            {"code/b.js", std::string(200000, 'b')}};
  writeTree(from, {files.begin(), files.end()});
  auto edited = files;
  edited[0].second = "{\"v\":2}";
  struct Case {
    const char* how;
    std::function<std::string(const std::filesystem::path&)> write;  // gives what it wrote
  } cases[] = {
      {"in place, shorter",
       [](const std::filesystem::path& f) {
         std::ofstream(f) << "their version";
         return std::string("their version");
       }},
      {"in place, the same size, the time set back",
       [](const std::filesystem::path& f) {
         auto time = std::filesystem::last_write_time(f);
         std::string theirs(std::filesystem::file_size(f), 'T');
         std::ofstream(f) << theirs;
         std::filesystem::last_write_time(f, time);
         return theirs;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    auto dir = testenv::freshFolder("carried");
    auto zipFile = dir / "p.korvelx";
    auto zip = zipArchive(zipFile);
    ASSERT_TRUE(zip->reflect(*folderArchive(from)));
    auto manifest = zip->manifest();
    std::string theirs;
    auto source = std::make_shared<KXDocumentArchive>(
        std::make_unique<WritingMeanwhile>(edited, [&] { theirs = c.write(zipFile); }),
        KXDocumentArchive::WithIdentity{manifest.uuid});
    zip->backing().replaceOnlyIfStill(fs::fileIdentity(zipFile));
    auto r = zip->reflect(*source);
    ASSERT_FALSE(r);
    EXPECT_TRUE(fs::isChangedMeanwhile(r.error())) << r.error().description();
    EXPECT_EQ(readTree(dir), (std::map<std::string, std::string>{{"p.korvelx", theirs}}));
    EXPECT_EQ(zip->manifest(), manifest);
  }
}
