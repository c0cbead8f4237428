#include "ContainerTestSupport.h"

#include <set>

#include "platform/Crypto.h"

using namespace containertest;

namespace {
using Files = std::map<std::string, std::string>;
struct Fixture {
  std::filesystem::path file;
  std::shared_ptr<KXDocumentArchive> archive;
  std::shared_ptr<KXDocumentContainer> container;
  FakeEditor editor;

  explicit Fixture(const std::map<std::string, std::string>& files) {
    file = makeZipProject(files);
    archive = openZip(file);
    container = *KXDocumentContainer::create(archive->uuid(), file);
    container->addDataSource(editor.source, KXDocumentArchive::relativePathForDocumentJSON);
    EXPECT_TRUE(container->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false)));
  }
  std::filesystem::path path(const std::string& relative) const { return container->projectDirectory() / relative; }
};
}  // namespace

TEST(ContainerChanges, AFailedProviderWritesNothingAndStaysStale) {
  Fixture f(Files{{"design/document.json", R"({"version":1})"}});
  // Changed on disk meanwhile: a failed provider must not put old content back over it.
  ASSERT_TRUE(fs::writeAtomically(f.path("design/document.json"), std::string_view(R"({"version":1,"disk":true})")));
  f.editor.content.reset();
  f.editor.source->setNeedsToBeProvided();
  writeChangesAndWait(*f.container);
  EXPECT_EQ(readFileText(f.path("design/document.json")), R"({"version":1,"disk":true})");
  EXPECT_TRUE(f.editor.source->dataNeedsToBeProvided());
  EXPECT_TRUE(f.container->hasChanges());
}

TEST(ContainerChanges, APassWhoseProviderNeverAnswersEndsAndALateAnswerAfterCloseWritesNothing) {
  Fixture f(Files{{"design/document.json", R"({"version":1})"}});
  double saved = KXDocumentContainer::providerTimeout;
  KXDocumentContainer::providerTimeout = 0.2;
  f.editor.answer = false;
  f.editor.source->setNeedsToBeProvided();
  writeChangesAndWait(*f.container);  // ends by the time-out
  KXDocumentContainer::providerTimeout = saved;
  EXPECT_TRUE(f.container->hasUnwrittenChanges());
  ASSERT_EQ(f.editor.pending.size(), 1u);
  f.container->invalidate();
  f.editor.pending[0](dataFromString(R"({"version":1,"late":true})"), std::nullopt);
  EXPECT_EQ(readFileText(f.path("design/document.json")), R"({"version":1})");
}

TEST(ContainerChanges, TwoOverlappingPassesEachWaitForTheirOwnAnswer) {
  Fixture f(Files{{"design/document.json", R"({"version":1})"}});
  f.editor.answer = false;
  f.editor.source->setNeedsToBeProvided();
  int done = 0;
  f.container->writeChanges([&] { ++done; });
  f.container->writeChanges([&] { ++done; });
  ASSERT_EQ(f.editor.pending.size(), 2u);
  f.editor.pending[0](dataFromString(R"({"version":2})"), std::nullopt);
  RunLoop::runUntil([&] { return done == 1; }, 30);
  EXPECT_EQ(done, 1);
  f.editor.pending[1](dataFromString(R"({"version":3})"), std::nullopt);
  RunLoop::runUntil([&] { return done == 2; }, 30);
  EXPECT_EQ(readFileText(f.path("design/document.json")), R"({"version":3})");
}

TEST(ContainerChanges, DiscardableImagesAreFoundByDecodedNamesAndLeftOutOfSaves) {
  Fixture f(Files{{"design/document.json", R"({"version":1,"layers":[{"src":"design\/images\/k\u00e9pt.png"}]})"},
             {"design/images/képt.png", "kept"},
             {"design/images/unused.png", "unused"},
             {"design/assets/old.svg", "<svg/>"}});
  writeChangesAndWait(*f.container);
  const auto& discard = f.container->projectRelativePathsToDiscard();
  EXPECT_EQ(discard.count("design/images/unused.png"), 1u);
  EXPECT_EQ(discard.count(".cache/images/512/unused.png"), 1u);
  EXPECT_EQ(discard.count("design/assets/old.svg"), 1u);
  EXPECT_EQ(discard.count("design/images/képt.png"), 0u);

  auto saved = testenv::freshFolder("saved") / "Saved.korvelx";
  auto target = openZip(saved);
  ASSERT_TRUE(f.container->save(*target, KXDocumentContainer::ArchiveRelation::copy()));
  std::vector<std::string> names;
  target->backing().forEach([&](const std::string& p, const DataReader&) { names.push_back(p); });
  EXPECT_EQ(std::count(names.begin(), names.end(), "design/images/unused.png"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "design/images/képt.png"), 1);

  f.container->invalidate();
  EXPECT_FALSE(fs::exists(f.path("design/images/unused.png")));
  EXPECT_TRUE(fs::exists(f.path("design/images/képt.png")));
}

TEST(ContainerChanges, OnlyEditorImagesAndFilesNothingMentionsAreDiscarded) {
  auto digest = crypto::sha1(dataFromString("editor image"));
  std::string stored = KXDocumentContainer::contentName(Data(digest.begin(), digest.end())) + ".png";
  Fixture f(Files{{"design/document.json", R"({"version":1})"},
                  {"code/app.js", "fetch('design/assets/data.json'); img.src = 'logo.png';"},
                  {"code/blob.bin", std::string("orphan.txt\0binary", 17)},
                  {"design/images/" + stored, "editor image"},
                  {"design/images/logo.png", "dropped in by hand"},
                  {"design/assets/data.json", "{}"},
                  {"design/assets/orphan.txt", "named by nothing"}});
  writeChangesAndWait(*f.container);
  struct Case {
    std::string path;
    bool discarded;
  } cases[] = {
      {"design/images/" + stored, true},     {".cache/images/512/" + stored, true},
      {"design/images/logo.png", false},     {".cache/images/512/logo.png", false},
      {"design/assets/data.json", false},    {"design/assets/orphan.txt", true},
      {"code/app.js", false},
  };
  for (const auto& c : cases) EXPECT_EQ(f.container->projectRelativePathsToDiscard().count(c.path), c.discarded ? 1u : 0u) << c.path;
  auto saved = testenv::freshFolder("saved") / "Saved.korvelx";
  auto target = openZip(saved);
  ASSERT_TRUE(f.container->save(*target, KXDocumentContainer::ArchiveRelation::origin(false)));
  std::set<std::string> names;
  target->backing().forEach([&](const std::string& p, const DataReader&) { names.insert(p); });
  EXPECT_TRUE(names.count("design/images/logo.png") && names.count("design/assets/data.json"));
  EXPECT_FALSE(names.count("design/images/" + stored));
}

TEST(ContainerChanges, AnUnparsableDocumentDiscardsNothing) {
  Fixture f(Files{{"design/document.json", R"({"version":1, broken)"}, {"design/images/a.png", "a"}});
  writeChangesAndWait(*f.container);
  EXPECT_TRUE(f.container->projectRelativePathsToDiscard().empty());
}

TEST(ContainerChanges, AFolderDocumentNeverLosesFilesAtClose) {
  auto folder = testenv::freshFolder("folder-discard");
  writeTree(folder, {{"design/document.json", R"({"version":1})"}, {"design/images/unused.png", "mine"}});
  auto archive = *KXDocumentArchive::open(folder, KXDocumentArchive::folderDocumentType, false, std::nullopt, true);
  auto container = *KXDocumentContainer::create(archive);
  FakeEditor editor;
  container->addDataSource(editor.source, KXDocumentArchive::relativePathForDocumentJSON);
  ASSERT_TRUE(container->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false)));
  writeChangesAndWait(*container);
  EXPECT_EQ(container->projectRelativePathsToDiscard().count("design/images/unused.png"), 1u);
  container->invalidate();
  EXPECT_TRUE(fs::exists(folder / "design/images/unused.png"));
}

TEST(ContainerChanges, FileNoticesTrackTheManifestButIgnoreBackupsAndOutsiders) {
  Fixture f(Files{{"design/document.json", R"({"version":1})"}, {"code/a.js", "a"}});
  ASSERT_TRUE(fs::createDirectories(f.path(".backups")));
  ASSERT_TRUE(fs::writeAtomically(f.path(".backups/x.zip"), std::string_view("zip")));
  f.container->presentedSubitemDidChange(f.path(".backups/x.zip"));
  EXPECT_FALSE(f.container->hasManifestChanges());
  f.container->presentedSubitemDidChange("/somewhere/else/code/a.js");
  f.container->presentedSubitemDidChange(f.path(".git/config"));
  EXPECT_FALSE(f.container->hasManifestChanges());
  std::filesystem::remove(f.path("code/a.js"));
  f.container->presentedSubitemDidChange(f.path("code/a.js"));
  EXPECT_TRUE(f.container->hasManifestChanges());
  ASSERT_TRUE(fs::writeAtomically(f.path("code/a.js"), std::string_view("a")));
  f.container->presentedSubitemDidChange(f.path("code/a.js"));
  EXPECT_FALSE(f.container->hasManifestChanges());
}

TEST(ContainerChanges, LargeFilesAreHashedBesideTheMainLoopAndTheLatestLookCounts) {
  Fixture f(Files{{"design/document.json", R"({"version":1})"}, {"code/a.js", "a"}});
  const std::string large(3 << 20, 'l');
  auto sizeOf = [&](const std::string& relative) -> std::int64_t {
    const auto& entries = f.container->projectManifestEntries();
    auto it = entries.find(relative);
    return it == entries.end() ? -2 : it->second.size;
  };
  auto report = [&](const std::string& relative, const std::string& content) {
    ASSERT_TRUE(fs::writeAtomically(f.path(relative), std::string_view(content)));
    f.container->presentedSubitemDidChange(f.path(relative));
  };
  auto settles = [&](const std::string& relative, std::size_t size) {
    return RunLoop::runUntil([&] { return sizeOf(relative) == std::int64_t(size); }, 30);
  };

  // Not read on the call, which would hold the main loop: taken once the loop turns.
  report("code/large.bin", large);
  EXPECT_EQ(sizeOf("code/large.bin"), -2);
  ASSERT_TRUE(settles("code/large.bin", large.size()));
  EXPECT_TRUE(f.container->hasManifestChanges());

  // Made small while its hash was under way: the older hash, ending later, is dropped.
  report("code/large.bin", large + "x");
  report("code/large.bin", "small");
  EXPECT_EQ(sizeOf("code/large.bin"), 5);
  report("code/after.bin", large);  // hashed after it, in order
  ASSERT_TRUE(settles("code/after.bin", large.size()));
  EXPECT_EQ(sizeOf("code/large.bin"), 5);

  // Changed again while it was read: read again.
  report("code/large.bin", large);
  report("code/large.bin", large + large);
  EXPECT_TRUE(settles("code/large.bin", 2 * large.size()));

  // Marking (after a save) takes what is still being read at once.
  report("code/a.js", large + "y");
  f.container->mark(false);
  EXPECT_EQ(sizeOf("code/a.js"), std::int64_t(large.size() + 1));
  EXPECT_FALSE(f.container->hasManifestChanges());
}

TEST(ContainerChanges, MarkingNotifiesEvenWithoutAChange) {
  Fixture f(Files{{"design/document.json", R"({"version":1})"}});
  int notices = 0;
  auto token = f.container->observeHasChanges([&] { ++notices; });
  f.container->mark(false);
  f.container->mark(true);
  EXPECT_EQ(notices, 2);
  EXPECT_TRUE(f.container->hasChanges());
}

TEST(ContainerChangesDeath, MisuseStopsTheProgram) {
  Fixture f(Files{{"design/document.json", R"({"version":1})"}});
  EXPECT_DEATH(f.container->addDataSource(std::make_shared<KXDocumentContainerDataSource>(nullptr, nullptr), "x"),
               "after the container was read");
  EXPECT_DEATH(KXDocumentContainer::placeholder()->mark(false), "not valid");
}
