// The editor's answer for a save that the reader refuses (bytes that aren't UTF-8, overlong
// forms, halves of UTF-16 pairs in UTF-8, broken text) is never written over the working copy's
// design: it is kept where set-aside edits are, the refusal says where, and a kill right after
// leaves it to be announced at the next opening, with no temporary left.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "ContainerTestSupport.h"
#include "document/storage/KXSaveInFlight.h"
#include "platform/ErrorWording.h"

using namespace containertest;

namespace {

const std::string kHead = R"({"method":"DocumentSaveDialogStart","arguments":)";

// A page that answers with `answer` (the whole message, as the bridge hands it over), read as
// the editor view reads it.
struct AnsweringPage {
  std::string answer;
  std::shared_ptr<KXDocumentContainerDataSource> source = std::make_shared<KXDocumentContainerDataSource>(
      [](const Data&) {}, [this](KXDocumentContainerDataSource::ProviderCompletion completion) {
        Data refused;
        auto design = KXDocumentContainer::designFromAnswer(answer, &refused);
        if (design)
          completion(std::move(*design), std::nullopt);
        else if (!refused.empty())
          completion(std::move(refused), design.error());
        else
          completion(std::nullopt, design.error());
      });
};

struct Page {
  std::shared_ptr<KXDocumentContainer> container;
  std::unique_ptr<AnsweringPage> page = std::make_unique<AnsweringPage>();
};

Page openWithPage(const std::filesystem::path& file) {
  auto archive = openZip(file);
  auto container = KXDocumentContainer::create(archive->uuid(), file);
  if (!container) throw std::runtime_error(container.error().description());
  Page opened{*container};
  opened.container->addDataSource(opened.page->source, KXDocumentArchive::relativePathForDocumentJSON);
  if (auto read = opened.container->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false)); !read)
    throw std::runtime_error(read.error().description());
  return opened;
}

// The page answers `design` (raw bytes) to the next write.
void answer(Page& opened, const std::string& design) {
  opened.page->answer = kHead + design + "}";
  opened.page->source->setNeedsToBeProvided();
  writeChangesAndWait(*opened.container);
}

std::vector<std::string> namesIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(folder, ec)) names.push_back(item.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// What a start does before it opens anything.
void start() {
  KXSaveInFlight::removeLeftoversOfEndedSaves();
  KXDocumentContainer::removeUnclaimedWorkingCopies();
}

}  // namespace

TEST(RefusedDesign, AnAnswerThatIsNoJSONIsKeptAsideAndNeverWrittenOverTheDesign) {
  struct Case {
    const char* what;
    std::string design;
  } cases[] = {
      {"a byte that is never UTF-8", "{\"version\":1,\"title\":\"caf\xFF\"}"},
      {"an overlong form of '/'", "{\"version\":1,\"title\":\"a\xC0\xAF\x62\"}"},
      {"half of a UTF-16 pair in UTF-8", "{\"version\":1,\"title\":\"H\xED\xA0\xBD\"}"},
      {"a broken escape", R"({"version":1,"title":"\uZZ"})"},
      {"text that breaks off", R"({"version":1,"title":"cut)"},
  };
  auto file = makeZipProject(kProject);
  auto opened = openWithPage(file);
  auto design = opened.container->projectDirectory() / KXDocumentArchive::relativePathForDocumentJSON;
  const auto before = readFileText(design);
  std::optional<std::filesystem::path> copy;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    answer(opened, c.design);
    EXPECT_EQ(readFileText(design), before) << "the refused text reached the working copy";
    EXPECT_TRUE(opened.container->hasUnwrittenChanges());
    auto refusal = opened.container->unwrittenChangesReason();
    ASSERT_TRUE(refusal);
    auto told = refusal->info(ErrorWording::recoverySuggestionKey).value_or("");
    EXPECT_NE(told.find("isn't valid JSON"), std::string::npos) << told;
    // One copy, for every refusal of the session, of the newest text, found as the next opening
    // finds it.
    auto found = KXDocumentContainer::setAsideCopyToAnnounce(opened.container->uuid(), file);
    ASSERT_TRUE(found);
    if (copy) {
      EXPECT_EQ(*found, *copy);
    }
    copy = found;
    auto refused = KXDocumentContainer::refusedContentIn(*found);
    ASSERT_TRUE(refused);
    EXPECT_NE(told.find("kept in \u201c" + refused->file.string() + "\u201d"), std::string::npos) << told;
    EXPECT_EQ(readFileText(refused->file), c.design);
    EXPECT_FALSE(refused->reason.empty());
    EXPECT_NE(told.find(refused->reason), std::string::npos) << told;
    EXPECT_EQ(namesIn(*found), (std::vector<std::string>{KXDocumentContainer::nameForRefusalReason,
                                                         KXDocumentContainer::nameForSetAsideNotice,
                                                         KXDocumentContainer::nameForRefusedContent}));
  }
  // A good answer is written, and the kept text is no longer announced: the design written is newer.
  answer(opened, R"({"version":1,"title":"good again"})");
  EXPECT_FALSE(opened.container->hasUnwrittenChanges());
  EXPECT_NE(readFileText(design).find("good again"), std::string::npos);
  EXPECT_FALSE(KXDocumentContainer::setAsideCopyToAnnounce(opened.container->uuid(), file));
  EXPECT_TRUE(fs::exists(*copy / KXDocumentContainer::nameForRefusedContent)) << "the text itself stays";
  opened.container->invalidate();
}

// Kept within what a design may take, as any answer is: a larger text is refused and not kept.
TEST(RefusedDesign, ARefusedTextLargerThanADesignMayTakeIsNotKept) {
  for (std::uint64_t size : {KXDocumentContainer::maximumDataSourceSize, KXDocumentContainer::maximumDataSourceSize + 1}) {
    SCOPED_TRACE(size);
    std::string design = "[\"\xFF" + std::string(size - 5, 'x') + "\"]";
    ASSERT_EQ(design.size(), size);
    Data refused;
    auto laidOut = KXDocumentContainer::designFromAnswer(kHead + design + "}", &refused);
    ASSERT_FALSE(laidOut);
    bool kept = size <= KXDocumentContainer::maximumDataSourceSize;
    EXPECT_EQ(refused.size(), kept ? size : 0u);
    auto told = laidOut.error().info(ErrorWording::recoverySuggestionKey).value_or("");
    EXPECT_EQ(told.find("was not kept") != std::string::npos, !kept) << told;
  }
}

// What a write of refused text by process `pid` has under way: 1 while the first copy is made
// beside its place, 2 while a later text is written into it, 0 when neither is.
int keepingUnderWay(pid_t pid) {
  const std::string staging = ".kept-edits.korvel-tmp-" + std::to_string(pid) + "-";
  const std::string rewrite =
      std::string(".") + KXDocumentContainer::nameForRefusedContent + ".korvel-" + std::to_string(pid) + "-";
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(KXDocumentContainer::baseDirectory(), ec)) {
    auto name = item.path().filename().string();
    if (name.rfind(staging, 0) == 0) return 1;
    if (name.find(KXDocumentContainer::setAsideInfix) == std::string::npos) continue;
    for (const auto& inner : namesIn(item.path()))
      if (inner.rfind(rewrite, 0) == 0) return 2;
  }
  return 0;
}

// A page that keeps answering text that isn't JSON, killed while the first copy is made or while
// a later text is written into it: after the next start no temporary is left, and the newest copy
// (there is none when the first was never whole) holds one of its texts whole and is announced;
// the working copy's design is the one it had.
TEST(RefusedDesign, AKillWhileARefusedTextIsKeptLeavesItWholeOrAbsentAndNoTemporary) {
  auto file = makeZipProject(kProject);
  const auto uuid = openZip(file)->uuid();
  // Texts of a few megabytes, so that a kill lands while one is written.
  const std::string texts[] = {"{\"title\":\"A\xFF\",\"pad\":\"" + std::string(6 << 20, 'a') + "\"}",
                               "{\"title\":\"B\xC0\xAF\",\"pad\":\"" + std::string(5 << 20, 'b') + "\"}"};
  int killedAt[3] = {0, 0, 0};
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    pid_t child = testenv::startWorker([&](const std::function<void()>& started) {
      auto opened = openWithPage(file);
      started();
      for (int i = 0;; ++i) {
        answer(opened, texts[i % 2]);
        if (!opened.container->hasUnwrittenChanges()) _exit(4);
      }
    });
    ASSERT_GT(child, 0);
    // Every other round is killed as its first copy is made; a first copy made too quickly to be
    // seen makes that round one killed in a later write.
    const int wanted = round % 2 == 0 ? 1 : 2;
    int status = testenv::killWhen(child, [&] {
      int at = keepingUnderWay(child);
      if (at != wanted && at != 2) return false;
      ++killedAt[at];
      return true;
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << "the page's process ended by itself with " << WEXITSTATUS(status);

    start();
    for (const auto& name : namesIn(KXDocumentContainer::baseDirectory()))
      EXPECT_EQ(name.find(".korvel-tmp-"), std::string::npos) << name;
    EXPECT_EQ(keepingUnderWay(child), 0);
    auto working = KXDocumentContainer::baseDirectory() / ("Korvel-" + uuid.string()) /
                   KXDocumentContainer::nameForProjectDirectory / KXDocumentArchive::relativePathForDocumentJSON;
    EXPECT_EQ(readFileText(working), kProject.at("design/document.json"));
    auto copy = KXDocumentContainer::setAsideCopyToAnnounce(uuid, file);
    if (!copy) {
      EXPECT_EQ(wanted, 1) << "a text kept whole isn't announced at the next opening";
      continue;
    }
    auto refused = KXDocumentContainer::refusedContentIn(*copy);
    ASSERT_TRUE(refused);
    auto kept = readFileText(refused->file);
    EXPECT_TRUE(kept == texts[0] || kept == texts[1]) << kept.size() << " bytes";
    EXPECT_EQ(namesIn(*copy), (std::vector<std::string>{KXDocumentContainer::nameForRefusalReason,
                                                        KXDocumentContainer::nameForSetAsideNotice,
                                                        KXDocumentContainer::nameForRefusedContent}));
    // Told: the next round's copy is the one to find.
    KXDocumentContainer::setAsideCopyWasAnnounced(*copy);
  }
  EXPECT_EQ(killedAt[1] + killedAt[2], 8);
  EXPECT_GE(killedAt[2], 4);
  std::printf("killed while the first copy was made: %d, while a later text was written: %d\n", killedAt[1],
              killedAt[2]);
}
