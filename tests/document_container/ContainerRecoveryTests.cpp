// Unsaved edits of a working copy whose origin record can't be read, and the notice a copy set
// aside at start-up keeps until the document's next opening.
#include "ContainerTestSupport.h"

using namespace containertest;

namespace {

struct DamagedRecord {
  const char* what;
  const char* info;
};

const DamagedRecord kDamagedRecords[] = {
    {"cut short", R"({"bookmarkData": "eyJwYXRoIjo)"},
    {"written by a later version", R"({"format": 2, "origins": [{"path": "/elsewhere/Project.korvelx"}]})"},
    {"a field of another kind", R"({"bookmarkData": 5, "manifest": {}, "modificationDate": "yesterday"})"},
};

// A document whose working copy holds an edit it never saved, closed as a crash leaves it, with
// its origin record replaced by `info`.
void editedThenDamaged(Opened& opened, const char* info) {
  opened.editor->content = R"({"version":1,"title":"unsaved"})";
  opened.editor->source->setNeedsToBeProvided();
  writeChangesAndWait(*opened.container);
  auto record = opened.container->uuidDirectory() / KXDocumentContainer::nameForOriginInfo;
  close(opened);
  EXPECT_TRUE(fs::writeAtomically(record, std::string_view(info), 0600));
}

std::vector<std::filesystem::path> setAsideCopiesOf(const Uuid& uuid) {
  std::vector<std::filesystem::path> found;
  const std::string prefix = "Korvel-" + uuid.string() + KXDocumentContainer::setAsideInfix;
  for (const auto& item : std::filesystem::directory_iterator(KXDocumentContainer::baseDirectory()))
    if (item.path().filename().string().rfind(prefix, 0) == 0) found.push_back(item.path());
  return found;
}

}  // namespace

TEST(ContainerRecovery, TheStartSetsAsideEditsWhoseRecordCantBeRead) {
  for (const auto& damaged : kDamagedRecords) {
    SCOPED_TRACE(damaged.what);
    auto opened = openZipDocument(makeZipProject(kProject));
    auto uuid = opened.container->uuid();
    auto directory = opened.container->uuidDirectory();
    editedThenDamaged(opened, damaged.info);

    KXDocumentContainer::removeUnclaimedWorkingCopies();
    EXPECT_FALSE(fs::exists(directory));
    auto kept = setAsideCopiesOf(uuid);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(readFileText(kept[0] / "design/document.json"), R"({"version":1,"title":"unsaved"})");
    // Told once, at the document's next opening: until the person has been told, every opening
    // finds it.
    EXPECT_EQ(KXDocumentContainer::setAsideCopyToAnnounce(uuid), kept[0]);
    EXPECT_EQ(KXDocumentContainer::setAsideCopyToAnnounce(uuid), kept[0]);
    KXDocumentContainer::setAsideCopyWasAnnounced(kept[0]);
    EXPECT_FALSE(KXDocumentContainer::setAsideCopyToAnnounce(uuid));
    EXPECT_TRUE(fs::exists(kept[0] / "design/document.json"));
  }
}

TEST(ContainerRecovery, AnOpeningSetsAsideEditsWhoseRecordCantBeRead) {
  for (const auto& damaged : kDamagedRecords) {
    SCOPED_TRACE(damaged.what);
    auto file = makeZipProject(kProject);
    auto opened = openZipDocument(file);
    editedThenDamaged(opened, damaged.info);

    auto again = openZipDocument(file);
    EXPECT_EQ(stringFromData(again.editor->source->data()), kProject.at("design/document.json"));
    ASSERT_TRUE(again.container->setAsideCopy());
    EXPECT_EQ(readFileText(*again.container->setAsideCopy() / "design/document.json"),
              R"({"version":1,"title":"unsaved"})");
    close(again);
  }
}

TEST(ContainerRecovery, ADamagedRecordOfAWorkingCopyWithoutFilesSetsNothingAside) {
  auto opened = openZipDocument(makeZipProject(kProject));
  auto uuid = opened.container->uuid();
  auto project = opened.container->projectDirectory();
  auto record = opened.container->uuidDirectory() / KXDocumentContainer::nameForOriginInfo;
  close(opened);
  std::filesystem::remove_all(project);
  ASSERT_TRUE(fs::writeAtomically(record, std::string_view("{"), 0600));
  KXDocumentContainer::removeUnclaimedWorkingCopies();
  EXPECT_TRUE(setAsideCopiesOf(uuid).empty());
}

TEST(ContainerRecovery, ARevertRecordsTheFileAsTheWorkingCopysOriginAgain) {
  auto file = makeZipProject(kProject);
  auto opened = openZipDocument(file);
  opened.editor->content = R"({"version":1,"title":"thrown away"})";
  opened.editor->source->setNeedsToBeProvided();
  writeChangesAndWait(*opened.container);
  ASSERT_TRUE(opened.container->read(*openZip(file), KXDocumentContainer::ArchiveRelation::revertedOrigin()));
  EXPECT_FALSE(opened.container->setAsideCopy()) << "a revert throws the edits away at the person's word";
  EXPECT_EQ(readFileText(opened.container->projectDirectory() / "design/document.json"),
            kProject.at("design/document.json"));
  opened.editor->content = R"({"version":1,"title":"after the revert"})";
  opened.editor->source->setNeedsToBeProvided();
  writeChangesAndWait(*opened.container);
  close(opened);

  KXDocumentContainer::removeUnclaimedWorkingCopies();
  auto again = openZipDocument(file);
  EXPECT_TRUE(again.container->resumedWithUnsavedChanges());
  EXPECT_EQ(stringFromData(again.editor->source->data()), R"({"version":1,"title":"after the revert"})");
  close(again);
}
