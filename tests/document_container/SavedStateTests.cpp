// Saved means saved: what korvel writes into its own working copy (reduced copies of pictures,
// backups) never makes a document edited, before a save or after it; a person's edit still does.
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "ContainerTestSupport.h"

using namespace containertest;

namespace {

Data picture(int width, int height, const char* type) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  gdk_pixbuf_fill(pixbuf, 0x22aa66ff);
  gchar* buffer = nullptr;
  gsize length = 0;
  gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &length, type, nullptr, nullptr);
  Data out(reinterpret_cast<std::uint8_t*>(buffer), reinterpret_cast<std::uint8_t*>(buffer) + length);
  g_free(buffer);
  g_object_unref(pixbuf);
  return out;
}

// Every reduced copy of `names` is made, or settled as a link to its picture.
bool reducedCopiesSettled(const std::filesystem::path& project, const std::vector<std::string>& names) {
  if (KXDocumentContainer::reducedCopiesInProgress() != 0) return false;
  for (const auto& name : names)
    for (int size : KXDocumentContainer::cachedImageDimensions) {
      auto copy = project / ".cache/images" / std::to_string(size) / name;
      std::error_code ec;
      auto target = std::filesystem::read_symlink(copy, ec);
      if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(copy)) &&
          (ec || target.string().find("/./") == std::string::npos))
        return false;
    }
  return true;
}

Result<void> saveBesideTheMainLoop(KXDocumentContainer& container, std::shared_ptr<KXDocumentArchive> archive) {
  std::optional<Result<void>> saved;
  container.saveInBackground(archive, KXDocumentContainer::ArchiveRelation::origin(false),
                             [&](Result<void> outcome) { saved = std::move(outcome); });
  if (!RunLoop::runUntil([&] { return saved.has_value(); }, 120)) return fail("test", 1, "the save never ended");
  return *saved;
}

}  // namespace

// Pictures inserted into a zip document, as the editor inserts them: its design names them, their
// reduced copies are made beside the main loop, and the folder's watch (which leaves hidden
// folders alone) reports the pictures. Saved, on the main loop or beside it, the document is no
// longer edited, and saved again it stays so; an edit after the save still counts.
TEST(SavedState, ASaveAfterPicturesWereInsertedLeavesTheDocumentUnedited) {
  struct Case {
    const char* what;
    bool besideTheMainLoop;
  } cases[] = {{"saved on the main loop", false}, {"saved beside the main loop", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto file = makeZipProject(kProject);
    auto opened = openZipDocument(file);
    auto& container = *opened.container;
    container.mark(false);
    std::vector<std::string> names;
    // Larger than every size, between two of them, and smaller than all.
    for (const auto& [bytes, type] : {std::pair{picture(2600, 1800, "png"), "png"}, std::pair{picture(1500, 900, "jpeg"), "jpeg"},
                                      std::pair{picture(64, 48, "png"), "png"}}) {
      auto name = container.addImage(bytes);
      ASSERT_TRUE(name) << type;
      names.push_back(*name);
      container.presentedSubitemDidChange(container.projectDirectory() / "design/images" / *name);
    }
    std::string design = R"({"version":1,"title":"v1","pictures":[)";
    for (const auto& name : names) design += "\"" + name + "\"" + (name == names.back() ? "" : ",");
    opened.editor->content = design + "]}";
    opened.editor->source->setNeedsToBeProvided();
    ASSERT_TRUE(RunLoop::runUntil([&] { return reducedCopiesSettled(container.projectDirectory(), names); }, 120));
    writeChangesAndWait(container);
    EXPECT_TRUE(container.hasChanges());

    for (int round = 0; round < 2; ++round) {
      auto archive = openZip(file);
      auto saved = c.besideTheMainLoop ? saveBesideTheMainLoop(container, archive)
                                       : container.save(*archive, KXDocumentContainer::ArchiveRelation::origin(false));
      ASSERT_TRUE(saved) << saved.error().description();
      container.markSaved();
      EXPECT_FALSE(container.hasChanges()) << "round " << round << "; changed since the save: "
                                           << ::testing::PrintToString(container.changedSinceSave());
    }
    // The zip holds the reduced copies made: a copy is stored, though writing it is no edit.
    auto stored = openZip(file)->manifest().files.value_or(KXDocumentContainer::Entries{});
    EXPECT_EQ(stored.count(".cache/images/2048/" + names[0]), 1u);
    EXPECT_EQ(stored.count(".cache/images/512/" + names[1]), 1u);

    // A reduced copy made again, as korvel may at any time, is no edit either.
    auto copy = container.projectDirectory() / ".cache/images/1024" / names[0];
    ASSERT_TRUE(fs::writeAtomically(copy, picture(1024, 709, "png")));
    container.presentedSubitemDidChange(copy);
    EXPECT_FALSE(container.hasChanges());
    // A person's edit is.
    ASSERT_TRUE(fs::writeAtomically(container.projectDirectory() / "code/index.js", std::string_view("export const a = 1")));
    container.presentedSubitemDidChange(container.projectDirectory() / "code/index.js");
    EXPECT_TRUE(container.hasChanges());
    close(opened);
  }
}

// A folder made with files in it (or moved in) is reported by the watch as the folder alone, its
// files made before the watch on it began: the files are looked at all the same, so that a save
// of them leaves the document unedited; a folder removed takes its files' entries along.
TEST(SavedState, AFolderReportedAloneStandsForTheFilesItHolds) {
  auto file = makeZipProject(kProject);
  auto opened = openZipDocument(file);
  auto& container = *opened.container;
  container.mark(false);
  auto project = container.projectDirectory();
  writeTree(project, {{"code/lib/a.js", "export const a = 1"}, {"code/lib/deeper/b.js", "export const b = 2"},
                      {"design/images/new.png", "not really a picture"}});
  for (const char* folder : {"code/lib", "design/images"}) container.presentedSubitemDidChange(project / folder);
  auto listed = [&](const std::string& path) { return container.projectManifestEntries().count(path) == 1; };
  ASSERT_TRUE(RunLoop::runUntil([&] {
    return listed("code/lib/a.js") && listed("code/lib/deeper/b.js") && listed("design/images/new.png");
  }, 60));
  EXPECT_TRUE(container.hasChanges());
  ASSERT_TRUE(container.save(*openZip(file), KXDocumentContainer::ArchiveRelation::origin(false)));
  container.markSaved();
  EXPECT_FALSE(container.hasChanges()) << ::testing::PrintToString(container.changedSinceSave());

  std::filesystem::remove_all(project / "code/lib");
  container.presentedSubitemDidChange(project / "code/lib");
  EXPECT_FALSE(listed("code/lib/a.js"));
  EXPECT_FALSE(listed("code/lib/deeper/b.js"));
  EXPECT_TRUE(listed("code/index.js"));
  EXPECT_TRUE(container.hasChanges());
  close(opened);
}

// A provider that has its answer in hand (the editor's design arrived and is being laid out
// beside the main loop) is waited for past the pass's time-out, and its content is written: only
// one that never answered is given up on.
TEST(SavedState, AProviderWithItsAnswerInHandIsWaitedForPastTheTimeOut) {
  auto file = makeZipProject(kProject);
  auto opened = openZipDocument(file);
  auto& container = *opened.container;
  double saved = KXDocumentContainer::providerTimeout;
  KXDocumentContainer::providerTimeout = 0.2;
  opened.editor->answer = false;
  opened.editor->source->setNeedsToBeProvided();
  bool done = false;
  container.writeChanges([&] { done = true; });
  ASSERT_EQ(opened.editor->pending.size(), 1u);
  EXPECT_TRUE(container.awaitsProviders());
  opened.editor->source->answerArrived();
  EXPECT_FALSE(container.awaitsProviders());
  // Five times the time-out: a pass that gave up would have ended by then.
  EXPECT_FALSE(RunLoop::runUntil([&] { return done; }, 1.0)) << "the pass gave up on an answer in hand";
  opened.editor->pending[0](dataFromString(R"({"version":1,"title":"laid out"})"), std::nullopt);
  ASSERT_TRUE(RunLoop::runUntil([&] { return done; }, 30));
  KXDocumentContainer::providerTimeout = saved;
  EXPECT_FALSE(container.hasUnwrittenChanges());
  EXPECT_FALSE(opened.editor->source->hasAnswerInHand());
  EXPECT_EQ(readFileText(container.projectDirectory() / "design/document.json"), R"({"version":1,"title":"laid out"})");
  close(opened);
}
