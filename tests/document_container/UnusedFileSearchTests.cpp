// Which pictures a design and its code still name is found beside the main loop, in time that
// follows the sizes whatever the names are: a design of one long string and code files of 8 MB
// that almost name every picture at every byte save within seconds while the main loop keeps
// turning, and a picture named anywhere is kept while one named nowhere goes. The documents are
// made by the zip tool and gone after each case.
#include <chrono>
#include <set>

#include "ContainerTestSupport.h"
#include "support/ProcessMemory.h"

using namespace containertest;

namespace {

using Clock = std::chrono::steady_clock;

// The longest the main loop went without turning while it was watched.
class MainLoopWatch {
 public:
  MainLoopWatch()
      : last_(Clock::now()), timer_(Timer::scheduled(0.01, true, [this] {
          auto now = Clock::now();
          longest_ = std::max(longest_, std::chrono::duration<double>(now - last_).count());
          last_ = now;
        })) {}
  double longestSeconds() const { return longest_; }

 private:
  Clock::time_point last_;
  double longest_ = 0;
  std::unique_ptr<Timer> timer_;
};

// Picture names of 255 bytes that share all but their last few: text of the shared part
// almost names each of them at every byte.
std::string pictureName(int i) {
  std::string tail = "-" + std::to_string(i) + ".png";
  return std::string(255 - tail.size(), 'p') + tail;
}

std::filesystem::path zipOf(const std::filesystem::path& source) {
  auto file = source.parent_path() / "Search.korvelx";
  EXPECT_EQ(testenv::run("cd '" + source.string() + "' && zip -qr '" + file.string() + "' ."), 0);
  return file;
}

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
    EXPECT_LT(seconds, 10);
    EXPECT_LT(longest, 0.75);

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
