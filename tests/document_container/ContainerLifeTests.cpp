#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ContainerTestSupport.h"
#include "document/storage/KXDocumentError.h"

using namespace containertest;

namespace {
std::string logOf(const KXDocumentContainer& c) { return readFileText(c.uuidDirectory() / "container.log"); }
}  // namespace

TEST(ContainerLife, ZipProjectEditedSavedAndTakenUpAgain) {
  auto file = makeZipProject(kProject);
  auto opened = openZipDocument(file);
  auto& c = *opened.container;
  EXPECT_EQ(stringFromData(opened.editor->source->data()), kProject.at("design/document.json"));
  EXPECT_EQ(c.projectDirectory().parent_path().parent_path(), KXDocumentContainer::baseDirectory());
  EXPECT_TRUE(fs::exists(c.uuidDirectory() / "info"));
  EXPECT_TRUE(fs::exists(c.uuidDirectory() / "--- Project.korvelx ---"));
  EXPECT_NE(logOf(c).find("Initialized with uuid " + c.uuid().string()), std::string::npos);
  EXPECT_NE(logOf(c).find("preserving existing contents of project folder: false"), std::string::npos);
  EXPECT_FALSE(c.hasChanges());

  int notices = 0;
  auto token = c.observeHasChanges([&] { ++notices; });
  opened.editor->content = R"({"version":1,"title":"v2"})";
  opened.editor->source->setNeedsToBeProvided();
  EXPECT_TRUE(c.hasUnwrittenChanges());
  EXPECT_EQ(notices, 1);
  writeChangesAndWait(c);
  EXPECT_FALSE(c.hasUnwrittenChanges());
  EXPECT_TRUE(c.hasManifestChanges());
  EXPECT_EQ(readFileText(c.projectDirectory() / "design/document.json"), *opened.editor->content);

  auto target = openZip(file);
  ASSERT_TRUE(c.save(*target, KXDocumentContainer::ArchiveRelation::origin(false)));
  c.mark(false);
  EXPECT_FALSE(c.hasChanges());
  close(opened);

  auto again = openZipDocument(file);
  EXPECT_NE(logOf(*again.container).find("preserving existing contents of project folder: true"), std::string::npos);
  EXPECT_FALSE(again.container->resumedWithUnsavedChanges());
  EXPECT_EQ(stringFromData(again.editor->source->data()), R"({"version":1,"title":"v2"})");
  EXPECT_EQ(read(openZip(file)->backing().dataReader("design/document.json")), R"({"version":1,"title":"v2"})");
}

TEST(ContainerLife, UnsavedEditsOfAnEarlierSessionAreResumedAndReported) {
  auto file = makeZipProject(kProject);
  auto opened = openZipDocument(file);
  opened.editor->content = R"({"version":1,"title":"unsaved"})";
  opened.editor->source->setNeedsToBeProvided();
  writeChangesAndWait(*opened.container);
  close(opened);

  auto again = openZipDocument(file);
  EXPECT_TRUE(again.container->resumedWithUnsavedChanges());
  EXPECT_EQ(stringFromData(again.editor->source->data()), R"({"version":1,"title":"unsaved"})");
}

TEST(ContainerLife, OriginChangedElsewhereKeepsUnsavedEditsAside) {
  auto file = makeZipProject(kProject);
  auto opened = openZipDocument(file);
  opened.editor->content = R"({"version":1,"title":"mine"})";
  opened.editor->source->setNeedsToBeProvided();
  writeChangesAndWait(*opened.container);
  close(opened);

  // Another program rewrites the document file.
  auto newer = testenv::freshFolder("newer");
  auto changed = kProject;
  changed["design/document.json"] = R"({"version":1,"title":"theirs"})";
  writeTree(newer, changed);
  ASSERT_TRUE(openZip(file)->reflect(*folderArchive(newer)));
  auto later = std::filesystem::last_write_time(file) + std::chrono::seconds(5);
  std::filesystem::last_write_time(file, later);

  auto again = openZipDocument(file);
  EXPECT_EQ(stringFromData(again.editor->source->data()), R"({"version":1,"title":"theirs"})");
  ASSERT_TRUE(again.container->setAsideCopy());
  EXPECT_EQ(readFileText(*again.container->setAsideCopy() / "design/document.json"), R"({"version":1,"title":"mine"})");
  EXPECT_EQ(again.container->setAsideCopy()->parent_path(), KXDocumentContainer::baseDirectory());
  // Until the person has been told of it, a crash leaves it to the next opening to tell.
  auto aside = *again.container->setAsideCopy();
  EXPECT_EQ(KXDocumentContainer::setAsideCopyToAnnounce(again.container->uuid()), aside);
  KXDocumentContainer::setAsideCopyWasAnnounced(aside);
  EXPECT_FALSE(KXDocumentContainer::setAsideCopyToAnnounce(again.container->uuid()));
  // Thrown away, the document takes its set-aside edits to the trash with it.
  ASSERT_TRUE(again.container->deleteContainer(true));
  EXPECT_FALSE(fs::exists(aside));
  EXPECT_FALSE(fs::exists(again.container->uuidDirectory()));
}

TEST(ContainerLife, OneLiveContainerPerProjectAndOriginsAreChecked) {
  auto file = makeZipProject(kProject);
  auto opened = openZipDocument(file);
  auto second = KXDocumentContainer::create(opened.container->uuid(), file);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().code, 0);
  EXPECT_EQ(second.error().domain, KXDocumentErrorDomain);
  auto uuid = opened.container->uuid();
  close(opened);

  auto copy = testenv::freshFolder("copy") / "Copy.korvelx";
  std::filesystem::copy_file(file, copy);
  auto other = KXDocumentContainer::create(uuid, copy);
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().code, 1);  // the working copy belongs to the first file
  EXPECT_TRUE(KXDocumentContainer::create(uuid, file));
}

TEST(ContainerLife, AutosaveFolderIsPrivateToTheUser) {
  auto opened = openZipDocument(makeZipProject(kProject));
  struct stat st{};
  ASSERT_EQ(stat(KXDocumentContainer::baseDirectory().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(opened.container->uuidDirectory().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST(ContainerLife, FolderDocumentIsEditedInPlaceAndNeverDeleted) {
  auto folder = testenv::freshFolder("folderdoc");
  writeTree(folder, kProject);
  auto archive = KXDocumentArchive::open(folder, KXDocumentArchive::folderDocumentType, false, std::nullopt, true);
  ASSERT_TRUE(archive);
  auto container = KXDocumentContainer::create(*archive);
  ASSERT_TRUE(container);
  auto& c = **container;
  FakeEditor editor;
  c.addDataSource(editor.source, KXDocumentArchive::relativePathForDocumentJSON);
  ASSERT_TRUE(c.read(**archive, KXDocumentContainer::ArchiveRelation::origin(false)));
  EXPECT_EQ(c.projectDirectory(), folder);
  EXPECT_FALSE(fs::exists(c.uuidDirectory()));
  editor.content = R"({"version":1,"title":"in place"})";
  editor.source->setNeedsToBeProvided();
  writeChangesAndWait(c);
  EXPECT_EQ(readFileText(folder / "design/document.json"), *editor.content);
  EXPECT_FALSE(c.hasManifestChanges());
  ASSERT_TRUE(c.save(**archive, KXDocumentContainer::ArchiveRelation::origin(false)));
  ASSERT_TRUE(c.deleteContainer(false));
  EXPECT_EQ(readTree(folder).count("README.md"), 1u);
}

TEST(ContainerLife, AnExistingButUnreadableDataSourceFileFailsTheRead) {
  auto file = makeZipProject({{"design/document.json/inner.txt", "a folder where the document should be"}});
  auto archive = openZip(file);
  auto container = KXDocumentContainer::create(archive->uuid(), file);
  ASSERT_TRUE(container);
  FakeEditor editor;
  (*container)->addDataSource(editor.source, KXDocumentArchive::relativePathForDocumentJSON);
  EXPECT_FALSE((*container)->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false)));
  auto missing = makeZipProject({{"README.md", "no document"}});
  auto archive2 = openZip(missing);
  auto container2 = KXDocumentContainer::create(archive2->uuid(), missing);
  FakeEditor editor2;
  (*container2)->addDataSource(editor2.source, KXDocumentArchive::relativePathForDocumentJSON);
  ASSERT_TRUE((*container2)->read(*archive2, KXDocumentContainer::ArchiveRelation::origin(false)));
  EXPECT_TRUE(editor2.source->data().empty());  // a missing file is empty content
}

TEST(ContainerLife, AManifestThatLiesIsNotTrusted) {
  auto dir = testenv::freshFolder("liar");
  std::string lie = R"({"uuid":"6F0C3A52-9B1E-4C64-8E47-2D5B7A1C9E30","files":{"code/a.js":{"size":999,"sha1":"2jmj7l5rSw0yVb/vlWAYkK/YBwk="},"code/ghost.js":{"size":1}}})";
  writeTree(dir / "p", {{"code/a.js", "real content"}, {"_project.korvelxproj", lie}});
  std::string out;
  ASSERT_EQ(testenv::run("cd '" + (dir / "p").string() + "' && zip -qr ../liar.korvelx . && echo ok", &out), 0) << out;
  auto file = dir / "liar.korvelx";
  auto archive = openZip(file);
  EXPECT_EQ(archive->manifest().files->at("code/a.js").size, 999);  // what the file claims
  auto container = *KXDocumentContainer::create(archive->uuid(), file);
  ASSERT_TRUE(container->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false)));
  const auto& entries = container->projectManifestEntries();
  EXPECT_EQ(entries.at("code/a.js").size, 12);  // what the files hold
  EXPECT_EQ(entries.count("code/ghost.js"), 0u);
  EXPECT_FALSE(container->hasChanges());
}

TEST(ContainerLife, AFileNamedInBytesThatAreNotUtf8IsSavedAndTakenUpAgain) {
  const std::string odd = "code/caf\xe9.js";
  auto file = makeZipProject(kProject);
  auto opened = openZipDocument(file);
  auto& c = *opened.container;
  {
    std::ofstream out(c.projectDirectory() / odd);
    out << "export const x = 1;";
  }
  auto target = openZip(file);
  auto saved = c.save(*target, KXDocumentContainer::ArchiveRelation::origin(false));
  ASSERT_TRUE(saved) << saved.error().description();
  c.mark(false);
  close(opened);

  auto again = openZipDocument(file);
  EXPECT_FALSE(again.container->resumedWithUnsavedChanges());
  EXPECT_EQ(readFileText(again.container->projectDirectory() / odd), "export const x = 1;");
  EXPECT_EQ(read(openZip(file)->backing().dataReader(odd)), "export const x = 1;");
  close(again);
}

TEST(ContainerLife, SaveThatLandedBeforeItsRecordSetsNothingAside) {
  auto file = makeZipProject(kProject);
  auto opened = openZipDocument(file);
  opened.editor->content = R"({"version":1,"title":"saved"})";
  opened.editor->source->setNeedsToBeProvided();
  writeChangesAndWait(*opened.container);
  // The file gets the working copy's contents but the record of the origin stays as it was, as
  // when the program ends between the two.
  ASSERT_TRUE(opened.container->save(*openZip(file), KXDocumentContainer::ArchiveRelation::copy()));
  std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) + std::chrono::seconds(5));
  close(opened);

  auto again = openZipDocument(file);
  EXPECT_FALSE(again.container->setAsideCopy());
  EXPECT_FALSE(again.container->resumedWithUnsavedChanges());
  EXPECT_EQ(stringFromData(again.editor->source->data()), R"({"version":1,"title":"saved"})");
  EXPECT_NE(logOf(*again.container).find("nothing to keep aside"), std::string::npos);
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(KXDocumentContainer::baseDirectory(), ec))
    EXPECT_EQ(item.path().filename().string().find(KXDocumentContainer::setAsideInfix), std::string::npos);
}

TEST(ContainerLife, OriginThatDiffersByOneFileStillSetsEditsAside) {
  auto file = makeZipProject(kProject);
  auto opened = openZipDocument(file);
  opened.editor->content = R"({"version":1,"title":"mine"})";
  opened.editor->source->setNeedsToBeProvided();
  writeChangesAndWait(*opened.container);
  // The file holds the working copy's design but another README.
  auto newer = testenv::freshFolder("newer-readme");
  auto changed = kProject;
  changed["design/document.json"] = R"({"version":1,"title":"mine"})";
  changed["README.md"] = "theirs";
  writeTree(newer, changed);
  ASSERT_TRUE(openZip(file)->reflect(*folderArchive(newer)));
  std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) + std::chrono::seconds(5));
  close(opened);

  auto again = openZipDocument(file);
  ASSERT_TRUE(again.container->setAsideCopy());
  EXPECT_EQ(readFileText(*again.container->setAsideCopy() / "README.md"), "hi");
}

TEST(ContainerLife, WorkingCopiesOfNoDocumentAndNoDraftAreRemoved) {
  auto base = KXDocumentContainer::baseDirectory();
  // Kept: a live container, one whose document exists, and a set-aside copy.
  auto live = openZipDocument(makeZipProject(kProject));
  auto kept = openZipDocument(makeZipProject(kProject));
  auto keptDirectory = kept.container->uuidDirectory();
  close(kept);
  auto aside = base / ("Korvel-" + Uuid::random().string() + KXDocumentContainer::setAsideInfix + "2026");
  std::filesystem::create_directories(aside / "container");
  // Removed: one that never recorded an origin, one whose draft is gone.
  auto untitled = base / ("Korvel-" + Uuid::random().string());
  std::filesystem::create_directories(untitled / "container/design");
  auto draftFile = makeZipProject(kProject);
  auto gone = openZipDocument(draftFile);
  auto goneDirectory = gone.container->uuidDirectory();
  close(gone);
  std::filesystem::remove(draftFile);
  // Not ours: anything else in the folder.
  auto other = base / "Korvel-notes";
  std::filesystem::create_directories(other);

  // Earlier tests of this process may have left unclaimed copies too.
  EXPECT_GE(KXDocumentContainer::removeUnclaimedWorkingCopies(), 2u);
  EXPECT_EQ(KXDocumentContainer::removeUnclaimedWorkingCopies(), 0u) << "a second sweep found more";
  EXPECT_TRUE(fs::exists(live.container->uuidDirectory()));
  EXPECT_TRUE(fs::exists(keptDirectory));
  EXPECT_TRUE(fs::exists(aside));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_FALSE(fs::exists(untitled));
  EXPECT_FALSE(fs::exists(goneDirectory));
  close(live);
}

// A working copy removed beside the main loop (the one a Save As left) leaves its place at once;
// what an ended process left of such a removal goes at the next start, one of this process stays.
TEST(ContainerLife, AWorkingCopyRemovedBesideTheMainLoopLeavesAtOnceAndAKilledRemovalGoesAtTheNextStart) {
  auto base = KXDocumentContainer::baseDirectory();
  auto removals = [&] {
    std::vector<std::filesystem::path> found;
    for (const auto& item : std::filesystem::directory_iterator(base))
      if (item.path().filename().string().rfind(KXDocumentContainer::removingPrefix, 0) == 0) found.push_back(item.path());
    return found;
  };
  auto opened = openZipDocument(makeZipProject(kProject));
  auto directory = opened.container->uuidDirectory();
  opened.container->invalidate();
  opened.container->deleteContainerBesideMainLoop();
  EXPECT_FALSE(fs::exists(directory));
  EXPECT_TRUE(RunLoop::runUntil([&] { return removals().empty(); }, 60)) << "the removal never ended";
  opened.container.reset();

  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  auto ended = base / (KXDocumentContainer::removingPrefix + std::to_string(child) + "-abcdef");
  auto mine = base / (KXDocumentContainer::removingPrefix + std::to_string(::getpid()) + "-ghijkl");
  for (const auto& folder : {ended, mine}) writeTree(folder / "Korvel-x/container", {{"design/document.json", "{}"}});
  KXDocumentContainer::removeUnclaimedWorkingCopies();
  EXPECT_FALSE(fs::exists(ended));
  EXPECT_TRUE(fs::exists(mine));
  std::filesystem::remove_all(mine);
}

TEST(ContainerLife, TheNextSessionKnowsTheWorkingCopysFilesAndClearsWhatAKilledOpeningLeft) {
  auto project = kProject;
  project["design/images/a.png"] = "not really a picture";
  // Enough images for their links to be made by several threads.
  for (int i = 0; i < 30; ++i) project["design/images/i" + std::to_string(i) + ".png"] = "picture " + std::to_string(i);
  project[".cache/images/2048/i7.png"] = "a reduced copy";
  auto file = makeZipProject(project);
  auto opened = openZipDocument(file);
  auto folder = opened.container->projectDirectory();
  // Cache links lead to their image from inside the working copy; reduced copies stay.
  EXPECT_EQ(std::filesystem::read_symlink(folder / ".cache/images/512/a.png").lexically_normal(),
            std::filesystem::path("../../../design/images/a.png"));
  EXPECT_EQ(readFileText(folder / ".cache/images/1024/a.png"), "not really a picture");
  for (int i = 0; i < 30; ++i)
    for (const char* size : {"512", "1024", "2048"}) {
      auto name = "i" + std::to_string(i) + ".png";
      if (i == 7 && std::string(size) == "2048") continue;
      EXPECT_EQ(std::filesystem::read_symlink(folder / ".cache/images" / size / name).lexically_normal(),
                std::filesystem::path("../../../design/images/" + name));
    }
  EXPECT_EQ(readFileText(folder / ".cache/images/2048/i7.png"), "a reduced copy");
  // Nothing is left beside the working copy.
  for (const auto& item : std::filesystem::directory_iterator(folder.parent_path()))
    EXPECT_EQ(item.path().filename().string().find(".korvel-tmp-"), std::string::npos) << item.path();
  close(opened);

  // An opening killed half-way left its folder beside the working copy.
  auto left = folder.parent_path() / ".container.korvel-tmp-999999999-abcdef";
  std::filesystem::create_directories(left / "code");
  auto again = openZipDocument(file);
  EXPECT_FALSE(std::filesystem::exists(left));
  // The files written by the first session are known to the second without reading them.
  auto backing = KXDirectoryArchiveBacking::create(folder, false, false, true);
  ASSERT_TRUE(backing);
  for (const auto& [path, content] : project) EXPECT_TRUE((*backing)->knownEntry(path)) << path;
  // Links already there are no failure.
  EXPECT_EQ(logOf(*again.container).find("Couldn't create temporary image cache symlink"), std::string::npos);
}

TEST(ContainerLife, UnsavedEditsOfADocumentThatIsAwayAtStartAreKeptAside) {
  // Two documents in a folder that goes away (a drive not mounted) while Korvel is closed: one
  // with edits it never saved, one without.
  auto folder = testenv::freshFolder("away");
  auto editedFile = folder / "Edited.korvelx";
  auto plainFile = folder / "Plain.korvelx";
  std::filesystem::rename(makeZipProject(kProject), editedFile);
  std::filesystem::rename(makeZipProject(kProject), plainFile);
  auto edited = openZipDocument(editedFile);
  edited.editor->content = R"({"version":1,"title":"never saved"})";
  edited.editor->source->setNeedsToBeProvided();
  writeChangesAndWait(*edited.container);
  auto editedDirectory = edited.container->uuidDirectory();
  close(edited);
  auto plain = openZipDocument(plainFile);
  auto plainDirectory = plain.container->uuidDirectory();
  close(plain);
  auto elsewhere = folder.parent_path() / (folder.filename().string() + "-unmounted");
  std::filesystem::rename(folder, elsewhere);

  KXDocumentContainer::removeUnclaimedWorkingCopies();
  EXPECT_FALSE(fs::exists(plainDirectory));
  EXPECT_FALSE(fs::exists(editedDirectory));
  std::vector<std::filesystem::path> kept;
  const std::string prefix = editedDirectory.filename().string() + KXDocumentContainer::setAsideInfix;
  for (const auto& item : std::filesystem::directory_iterator(KXDocumentContainer::baseDirectory()))
    if (item.path().filename().string().rfind(prefix, 0) == 0) kept.push_back(item.path());
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(readFileText(kept[0] / "design/document.json"), R"({"version":1,"title":"never saved"})");
  EXPECT_EQ(readFileText(kept[0] / "README.md"), "hi");
  // The next sweep keeps it too.
  KXDocumentContainer::removeUnclaimedWorkingCopies();
  EXPECT_TRUE(fs::exists(kept[0] / "design/document.json"));
}

TEST(ContainerLife, ACopyStoppedPartWayIsNoUnsavedEdit) {
  std::map<std::string, std::string> project = kProject, newer;
  for (int i = 0; i < 40; ++i) project["code/m" + std::to_string(i) + ".js"] = "old " + std::to_string(i);
  auto file = makeZipProject(project);
  auto opened = openZipDocument(file);
  auto uuid = opened.container->uuid();
  close(opened);

  // The file changed elsewhere; the copy into the working copy stops part way, as a kill stops
  // it, and nothing deletes the working copy.
  std::vector<std::pair<std::string, std::string>> changed;
  for (const auto& [path, content] : project) {
    newer[path] = path == "design/document.json" ? R"({"version":1,"title":"theirs"})" : "new " + content;
    changed.emplace_back(path, newer[path]);
  }
  changed.emplace_back("zz-last.bin", "<fail>");
  std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) + std::chrono::seconds(5));
  {
    auto stopping = std::make_shared<KXDocumentArchive>(std::make_unique<ListBacking>(changed, file), std::nullopt);
    auto container = KXDocumentContainer::create(uuid, file);
    ASSERT_TRUE(container);
    FakeEditor editor;
    (*container)->addDataSource(editor.source, KXDocumentArchive::relativePathForDocumentJSON);
    ASSERT_FALSE((*container)->read(*stopping, KXDocumentContainer::ArchiveRelation::origin(false)));
    auto tree = readTree((*container)->projectDirectory());
    ASSERT_TRUE(std::any_of(newer.begin(), newer.end(), [&](const auto& f) { return tree[f.first] == f.second; }))
        << "the copy stopped before it changed anything";
    (*container)->invalidate();
  }

  // The next opening of the file finishes the copy and says nothing of edits.
  ASSERT_TRUE(openZip(file)->reflect(*folderArchive([&] {
    auto folder = testenv::freshFolder("newer-all");
    writeTree(folder, newer);
    return folder;
  }())));
  std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) + std::chrono::seconds(5));
  auto again = openZipDocument(file);
  EXPECT_FALSE(again.container->setAsideCopy());
  EXPECT_FALSE(again.container->resumedWithUnsavedChanges());
  EXPECT_EQ(stringFromData(again.editor->source->data()), R"({"version":1,"title":"theirs"})");
  EXPECT_EQ(withoutRecord(readTree(again.container->projectDirectory())).at("code/m7.js"), "new old 7");
}
