// Which pictures a design and its code still name is found beside the main loop, in time that
// follows the sizes whatever the names are: a design of one long string and code files of 8 MB
// that almost name every picture at every byte save within seconds while the main loop keeps
// turning, and a picture named anywhere is kept while one named nowhere goes. Documents of
// thousands of pictures save and close within seconds, and a save ends while another program
// keeps writing a code file. The documents are made by the zip tool and gone after each case.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <random>
#include <set>

#include "platform/Crypto.h"

#include "ContainerTestSupport.h"
#include "support/LongNamesDocument.h"
#include "support/ManyPictures.h"
#include "support/ProcessMemory.h"

using namespace containertest;

namespace {

// The reduced copies of thousands of pictures are still being made when the last case ends: the
// run ends once they are, not with a worker half way through one.
class ReducedCopiesEnd : public testing::Environment {
 public:
  void TearDown() override {
    EXPECT_TRUE(RunLoop::runUntil([] { return KXDocumentContainer::reducedCopiesInProgress() == 0; }, 300));
  }
};
const auto* reducedCopiesEnd = testing::AddGlobalTestEnvironment(new ReducedCopiesEnd);

using Clock = std::chrono::steady_clock;
using manypictures::designNaming;
using manypictures::makeLongNamesDocument;
using manypictures::MainLoopWatch;
using manypictures::onTheMainLoop;
using manypictures::pictureName;
using manypictures::randomBytes;

std::filesystem::path zipOf(const std::filesystem::path& source) {
  auto file = source.parent_path() / "Search.korvelx";
  EXPECT_EQ(testenv::run("cd '" + source.string() + "' && zip -qr '" + file.string() + "' ."), 0);
  return file;
}

// The name the editor stores a picture under.
std::string storedName(const std::string& bytes) {
  auto digest = crypto::sha1(dataFromString(bytes));
  return KXDocumentContainer::contentName(Data(digest.begin(), digest.end())) + ".png";
}

// Hands `design` from the editor to a save into `file`, on the main loop; answers as onTheMainLoop.
std::pair<double, double> saveOnTheMainLoop(Opened& opened, const std::string& design, const std::filesystem::path& file,
                                            double timeout) {
  opened.editor->content = design;
  opened.editor->source->setNeedsToBeProvided();
  return onTheMainLoop([&](auto done) {
    opened.container->writeChanges([&, done] {
      auto saved = opened.container->save(*openZip(file), KXDocumentContainer::ArchiveRelation::origin(false));
      EXPECT_TRUE(saved) << saved.error().description();
      done();
    });
  }, timeout);
}

// Another program that appends a line naming plain.png to `file` every 50 ms until it is ended.
class Appender {
 public:
  explicit Appender(const std::filesystem::path& file) {
    std::string script = "while :; do echo '// plain.png' >> \"$0\"; sleep 0.05; done";
    const char* argv[] = {"/bin/sh", "-c", script.c_str(), file.c_str(), nullptr};
    char* env[] = {nullptr};
    if (::posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), env) != 0) pid_ = -1;
  }
  ~Appender() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

}  // namespace

TEST(UnusedFileSearch, LongNamesInALongStringOrInCodeFilesAreFoundWithinSecondsBesideTheMainLoop) {
  constexpr int pictures = 64;
  const std::string named = pictureName(0), inCode = pictureName(1), unnamed = pictureName(2);
  const auto bulk = std::string(KXDocumentContainer::maximumDataSourceSize - 4096, 'p');
  struct Case {
    const char* what;
    std::string design;
    int codeFiles;
    std::string codeEnd;
  } cases[] = {
      {"a design of one long string", R"({"version":1,"text":")" + bulk + named + R"("})", 0, ""},
      {"16 code files of 8 MB", R"({"version":1,"layers":[{"src":")" + named + R"("}]})", 16, "'" + inCode + "'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto folder = testenv::freshFolder("search");
    auto source = folder / "source";
    std::map<std::string, std::string> files = {{"design/document.json", c.design}};
    for (int i = 0; i < pictures; ++i) files["design/images/" + pictureName(i)] = "picture " + std::to_string(i);
    writeTree(source, files);
    std::filesystem::create_directories(source / "code");
    const std::string code(KXDocumentContainer::maximumCodeFileSizeForDiscarding - 512, 'p');
    for (int i = 0; i < c.codeFiles; ++i)
      fs::writeAtomically(source / "code" / ("file" + std::to_string(i) + ".js"),
                          std::string_view(code + (i == c.codeFiles - 1 ? c.codeEnd : "")));
    auto file = zipOf(source);
    std::filesystem::remove_all(source);
    auto opened = openZipDocument(file);

    // An edit of the design, as every save after a change brings.
    std::string design = c.design;
    design.replace(design.find("\"version\":1"), 11, "\"version\":1,\"edited\":true");
    opened.editor->content = design;
    opened.editor->source->setNeedsToBeProvided();
    auto started = Clock::now();
    double longest = 0;
    std::size_t peak = 0;
    {
      testenv::PeakPss sampler;
      MainLoopWatch watch;
      bool done = false;
      opened.container->writeChanges([&] { done = true; });
      ASSERT_TRUE(RunLoop::runUntil([&] { return done; }, 60));
      longest = watch.longestSeconds();
      auto saved = opened.container->save(*openZip(file), KXDocumentContainer::ArchiveRelation::origin(false));
      ASSERT_TRUE(saved) << saved.error().description();
      peak = sampler.stop() >> 20;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("%s: saved in %.2f s, the main loop held at most %.3f s, at most %zu MB in all processes\n", c.what,
                seconds, longest, peak);
    // Times are the bench's to measure; this fails only a save or close that doesn't end.
    EXPECT_LT(seconds, 60);
    // Seconds held, as before the search moved off it, fail; a loaded machine's slices don't.
    EXPECT_LT(longest, 2.0);

    std::set<std::string> kept;
    openZip(file)->backing().forEach([&](const std::string& path, const DataReader&) { kept.insert(path); });
    EXPECT_TRUE(kept.count("design/images/" + named));
    EXPECT_EQ(kept.count("design/images/" + inCode), c.codeFiles ? 1u : 0u);
    EXPECT_FALSE(kept.count("design/images/" + unnamed));
    close(opened);
    std::filesystem::remove_all(folder);
  }
}

// Passes overlap: the first one's design is long to search and names nothing, the second
// one's, written while the first is searched, names the picture. The newest design decides, and
// every pass ends once its answer is in.
TEST(UnusedFileSearch, TheNewestDesignDecidesWhenPassesOverlap) {
  auto file = makeZipProject({{"design/document.json", R"({"version":1})"}, {"design/images/a.png", "a"}});
  auto opened = openZipDocument(file);
  int done = 0;
  opened.editor->content = R"({"version":1,"text":")" + std::string(16 << 20, 'a') + R"("})";
  opened.editor->source->setNeedsToBeProvided();
  opened.container->writeChanges([&] { ++done; });
  MainQueue::async([&] {
    opened.editor->content = R"({"version":1,"src":"a.png"})";
    opened.editor->source->setNeedsToBeProvided();
    opened.container->writeChanges([&] { ++done; });
  });
  ASSERT_TRUE(RunLoop::runUntil([&] { return done == 2; }, 30));
  EXPECT_EQ(opened.container->projectRelativePathsToDiscard().count("design/images/a.png"), 0u);
  // Then a design that names nothing again lets it go.
  opened.editor->content = R"({"version":1})";
  opened.editor->source->setNeedsToBeProvided();
  writeChangesAndWait(*opened.container);
  EXPECT_EQ(opened.container->projectRelativePathsToDiscard().count("design/images/a.png"), 1u);
  close(opened);
}

// A code file too large to be searched may name any picture: none the design leaves out goes.
TEST(UnusedFileSearch, ACodeFileTooLargeToSearchKeepsEveryPicture) {
  auto file = makeZipProject({{"design/document.json", R"({"version":1})"},
                              {"design/images/a.png", "a"},
                              {"code/big.js", std::string(KXDocumentContainer::maximumCodeFileSizeForDiscarding + 1, ' ')}});
  auto opened = openZipDocument(file);
  opened.editor->content = R"({"version":1,"edited":true})";
  opened.editor->source->setNeedsToBeProvided();
  writeChangesAndWait(*opened.container);
  EXPECT_EQ(opened.container->projectRelativePathsToDiscard().count("design/images/a.png"), 0u);
  close(opened);
}

// Half the pictures of a document of 3,000 (1.7 MB) and of 10,000 (12.9 MB) are no longer named:
// the close removes them within seconds, and the main loop is never held long meanwhile.
TEST(UnusedFileSearch, ADocumentOfThousandsOfPicturesHalfUnusedClosesWithinSeconds) {
  struct Case {
    int pictures;
    std::size_t bytesEach;
  } cases[] = {{3000, 330}, {10000, 1050}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.pictures) + " pictures");
    auto folder = testenv::freshFolder("close");
    auto source = folder / "source";
    std::vector<std::string> names;
    std::map<std::string, std::string> files;
    for (int i = 0; i < c.pictures; ++i) {
      auto bytes = randomBytes(c.bytesEach, static_cast<unsigned>(i));
      names.push_back(storedName(bytes));
      files["design/images/" + names.back()] = bytes;
    }
    files["design/document.json"] = designNaming(names);
    writeTree(source, files);
    auto file = zipOf(source);
    std::filesystem::remove_all(source);
    std::printf("%d pictures: a document of %.1f MB\n", c.pictures, std::filesystem::file_size(file) / 1e6);
    auto opened = openZipDocument(file);
    opened.container->mark(false);

    std::vector<std::string> named(names.begin(), names.begin() + c.pictures / 2);
    opened.editor->content = designNaming(named);
    opened.editor->source->setNeedsToBeProvided();
    writeChangesAndWait(*opened.container);
    ASSERT_EQ(opened.container->projectRelativePathsToDiscard().size(), std::size_t(c.pictures - c.pictures / 2) * 4);

    auto project = opened.container->projectDirectory();
    auto [seconds, longest] = onTheMainLoop([&](auto done) {
      close(opened);
      done();
    }, 600);
    // The files go beside the main loop, as fast as the disk lets them.
    auto images = project / "design/images";
    auto left = [&] {
      std::size_t count = 0;
      for (auto it = std::filesystem::directory_iterator(images); it != std::filesystem::directory_iterator(); ++it)
        ++count;
      return count;
    };
    auto started = Clock::now();
    EXPECT_TRUE(RunLoop::runUntil([&] { return left() == std::size_t(c.pictures / 2); }, 300));
    double removing = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("%d pictures: closed in %.2f s, the main loop held at most %.2f s, the files gone %.2f s later\n",
                c.pictures, seconds, longest, removing);
    EXPECT_LT(seconds, 60);
    EXPECT_LT(longest, 2);
    for (int i : {0, c.pictures / 2 - 1}) EXPECT_TRUE(fs::exists(project / "design/images" / names[i]));
    for (int i : {c.pictures / 2, c.pictures - 1}) {
      EXPECT_FALSE(fs::exists(project / "design/images" / names[i]));
      EXPECT_FALSE(std::filesystem::is_symlink(project / ".cache/images/512" / names[i]));
    }
    std::filesystem::remove_all(folder);
  }
}

// 10,000 pictures of names of 255 bytes that differ only in their last few, half of them named
// by the design and one by the code: the save, the search for unused pictures included, keeps
// just what is named and ends within seconds alone; the bound is loose enough for a machine
// running other tests beside it, where the save took 83 s.
TEST(UnusedFileSearch, ADocumentOfTenThousandPicturesWithLongNamesSavesWithinSeconds) {
  constexpr int pictures = 10000;
  auto folder = testenv::freshFolder("long-names");
  auto [file, names, named] = makeLongNamesDocument(folder, pictures);
  auto opened = openZipDocument(file);

  auto [seconds, longest] = saveOnTheMainLoop(opened, designNaming(named) + " ", file, 600);
  std::printf("saved in %.2f s, the main loop held at most %.2f s\n", seconds, longest);
  EXPECT_LT(seconds, 180);

  std::set<std::string> kept;
  openZip(file)->backing().forEach([&](const std::string& path, const DataReader&) { kept.insert(path); });
  for (int i : {0, 1, 2, pictures - 2}) EXPECT_TRUE(kept.count("design/images/" + names[i])) << i;
  for (int i : {3, pictures - 1}) EXPECT_FALSE(kept.count("design/images/" + names[i])) << i;
  close(opened);
  std::filesystem::remove_all(folder);
}

// Another program appends to a code file of almost 8 MB every 50 ms, so that every search of it
// finds it changed by the time its answer is in: the save ends all the same, with the design
// written. A picture only the design decides about goes; one the code names is kept.
TEST(UnusedFileSearch, ASaveEndsWhileAnotherProgramKeepsWritingACodeFile) {
  const std::string picture = randomBytes(64, 1);
  auto folder = testenv::freshFolder("busy-code");
  auto source = folder / "source";
  writeTree(source, {{"design/document.json", R"({"version":1})"},
                     {"design/images/" + storedName(picture), picture},
                     {"design/images/plain.png", "plain"},
                     {"code/busy.js", std::string(KXDocumentContainer::maximumCodeFileSizeForDiscarding - (1 << 20), ' ')}});
  auto file = zipOf(source);
  std::filesystem::remove_all(source);
  auto opened = openZipDocument(file);
  auto code = opened.container->projectDirectory() / "code/busy.js";
  auto size = std::filesystem::file_size(code);
  Appender appender(code);
  ASSERT_TRUE(appender.running());
  ASSERT_TRUE(RunLoop::runUntil([&] { return std::filesystem::file_size(code) > size; }, 30));

  const std::string design = R"({"version":2})";
  auto [seconds, longest] = saveOnTheMainLoop(opened, design, file, 60);
  std::printf("saved in %.2f s while a code file changed every 50 ms\n", seconds);
  EXPECT_LT(seconds, 60);

  auto saved = openZip(file);
  EXPECT_EQ(read(saved->backing().dataReader("design/document.json")), design);
  std::set<std::string> kept;
  saved->backing().forEach([&](const std::string& path, const DataReader&) { kept.insert(path); });
  EXPECT_FALSE(kept.count("design/images/" + storedName(picture)));
  EXPECT_TRUE(kept.count("design/images/plain.png"));
  close(opened);
  std::filesystem::remove_all(folder);
}

// The same document of 10,000 pictures opens and saves with its files read, copied and written
// beside the main loop, which never stops turning for long. A picture added and one changed while
// the save writes are changes still once it has ended; the next save writes them.
TEST(UnusedFileSearch, ADocumentOfTenThousandPicturesOpensAndSavesWithTheMainLoopFree) {
  constexpr int pictures = 10000;
  auto folder = testenv::freshFolder("open-save");
  auto document = makeLongNamesDocument(folder, pictures);
  const auto& file = document.file;
  const auto& names = document.names;
  const auto& named = document.named;
  Opened opened;
  auto [openSeconds, openLongest] = onTheMainLoop([&](auto done) {
    auto archive = openZip(file);
    auto container = KXDocumentContainer::create(archive->uuid(), file);
    ASSERT_TRUE(container) << container.error().description();
    opened.container = *container;
    opened.container->addDataSource(opened.editor->source, KXDocumentArchive::relativePathForDocumentJSON);
    opened.container->readInBackground(archive, KXDocumentContainer::ArchiveRelation::origin(false),
                                       [done](Result<void> read) {
                                         EXPECT_TRUE(read) << read.error().description();
                                         done();
                                       });
  }, 600);
  std::printf("opened in %.2f s, the main loop held at most %.2f s\n", openSeconds, openLongest);
  ASSERT_TRUE(opened.container);
  EXPECT_EQ(opened.editor->loaded, designNaming(named));
  EXPECT_LT(openSeconds, 600);
  EXPECT_LT(openLongest, 2);
  opened.container->mark(false);

  // The design names one more picture; while the file is written, a picture comes and another
  // is written anew in the working copy.
  auto project = opened.container->projectDirectory();
  const std::string late = "design/images/late.png", rewritten = "code/index.js";
  const std::string rewrittenCode = "export const picture = '" + names[1] + "'; // rewritten\n";
  opened.editor->content = designNaming(named) + " ";
  opened.editor->source->setNeedsToBeProvided();
  bool changedWhileWriting = false;
  auto [saveSeconds, saveLongest] = onTheMainLoop([&](auto done) {
    opened.container->writeChanges([&, done] {
      opened.container->saveInBackground(openZip(file), KXDocumentContainer::ArchiveRelation::origin(false),
                                         [&, done](Result<void> saved) {
                                           EXPECT_TRUE(saved) << saved.error().description();
                                           done();
                                         });
      changedWhileWriting = opened.container->isWorkingInBackground();
      ASSERT_TRUE(fs::writeAtomically(project / late, std::string_view("late")));
      ASSERT_TRUE(fs::writeAtomically(project / rewritten, std::string_view(rewrittenCode)));
      opened.container->presentedSubitemDidChange(project / late);
      opened.container->presentedSubitemDidChange(project / rewritten);
    });
  }, 600);
  std::printf("saved in %.2f s, the main loop held at most %.2f s\n", saveSeconds, saveLongest);
  EXPECT_LT(saveSeconds, 600);
  EXPECT_LT(saveLongest, 2);
  ASSERT_TRUE(changedWhileWriting) << "the save wrote on the main loop";
  opened.container->markSaved();
  std::set<std::string> kept;
  openZip(file)->backing().forEach([&](const std::string& path, const DataReader&) { kept.insert(path); });
  for (int i : {0, 1, 2, pictures - 2}) EXPECT_TRUE(kept.count("design/images/" + names[i])) << i;
  for (int i : {3, pictures - 1}) EXPECT_FALSE(kept.count("design/images/" + names[i])) << i;
  // Either the write read them, or they are changes still: whichever came first, nothing is lost.
  bool inFile = kept.count(late) && read(openZip(file)->backing().dataReader(rewritten)) == rewrittenCode;
  EXPECT_EQ(opened.container->hasManifestChanges(), !inFile) << (inFile ? "in the file" : "not in the file");

  // The next save writes them, and then nothing is left to save.
  opened.editor->content = designNaming(named);
  opened.editor->content->insert(opened.editor->content->size() - 2, R"(,{"src":"late.png"})");
  opened.editor->source->setNeedsToBeProvided();
  onTheMainLoop([&](auto done) {
    opened.container->writeChanges([&, done] {
      opened.container->saveInBackground(openZip(file), KXDocumentContainer::ArchiveRelation::origin(false),
                                         [&, done](Result<void> saved) {
                                           EXPECT_TRUE(saved) << saved.error().description();
                                           done();
                                         });
    });
  }, 600);
  opened.container->markSaved();
  EXPECT_FALSE(opened.container->hasManifestChanges());
  auto saved = openZip(file);
  EXPECT_EQ(read(saved->backing().dataReader(late)), "late");
  EXPECT_EQ(read(saved->backing().dataReader(rewritten)), rewrittenCode);
  close(opened);
  std::filesystem::remove_all(folder);
}
