// The exporter's steps as the page sees them, the overwrite question, and the design images.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "export/ExportFileWriter.h"
#include "export/HTMLRenderer.h"
#include "export/OstrelExporter.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"
#include "support/Wait.h"

namespace stdfs = std::filesystem;

namespace {

// A renderer that never produces anything, like a page that fails: the writer must say so.
class FailingRenderer : public HTMLRenderer {
 public:
  std::shared_ptr<Work> addWork(std::shared_ptr<Work> w, BitmapCallback c) override {
    MainQueue::async([c] { c(std::nullopt); });
    return w;
  }
  std::shared_ptr<Work> addWork(std::shared_ptr<Work> w, PDFCallback c) override {
    MainQueue::async([c] { c(std::nullopt); });
    return w;
  }
};

struct Person : OstrelExporterDelegate {
  std::optional<stdfs::path> file, folder;
  bool overwrite = true;
  std::vector<std::string> log;
  std::vector<ExportProgress> reports;
  std::function<void()> beforeOverwriteAnswer;

  void selectExportURL(const std::string& name, ExportQualityOptions q,
                       std::function<void(std::optional<stdfs::path>)> done) override {
    log.push_back("file " + name + " " + std::to_string(q.rawValue));
    done(file);
  }
  void selectExportFolder(ExportQualityOptions q, std::function<void(std::optional<stdfs::path>)> done) override {
    log.push_back("folder " + std::to_string(q.rawValue));
    done(folder);
  }
  void decideOverwrite(int existing, std::function<void(bool)> done) override {
    log.push_back("overwrite? " + std::to_string(existing));
    if (beforeOverwriteAnswer) beforeOverwriteAnswer();
    done(overwrite);
  }
  void report(ExportProgress p) override { reports.push_back(p); }
  std::vector<ExportOutcome> outcomes;
  void finished(const ExportOutcome& o) override { outcomes.push_back(o); }
};

using P = OstrelExporterDelegate::ExportProgress;

nlohmann::json request(nlohmann::json outputs, nlohmann::json images = nlohmann::json::array()) {
  return {{"inputs", {{"1x", {{{"html", "<p>page</p>"}, {"svg", "<svg>s</svg>"}, {"width", 10}, {"height", 10}}}}}},
          {"images", images},
          {"fonts", nlohmann::json::array()},
          {"outputs", outputs}};
}
nlohmann::json out(const std::string& name, const std::string& type, const std::string& scale = "1x") {
  return {{"name", name}, {"type", type}, {"keyPath", {{"scale", scale}, {"index", 0}}}};
}

struct Export {
  std::shared_ptr<Person> person = std::make_shared<Person>();
  FailingRenderer renderer;
  stdfs::path project = testenv::freshFolder("project");
  int completions = 0;
  bool allWritten = false;

  void go(const nlohmann::json& json) {
    auto d = OstrelExportsDescriptor::decode(json);
    ASSERT_TRUE(d);
    OstrelExporter::create(project, renderer)->exportDescriptor(*d, person, [this](bool ok) {
      ++completions;
      allWritten = ok;
    });
    // Over when it completed, or when its last report shows every step done or none (ended).
    EXPECT_TRUE(testwait::waitFor([this] {
      const auto& r = person->reports;
      return completions > 0 || (!r.empty() && r.back().progress == r.back().work);
    }));
  }
  void image(const std::string& name, const std::string& content) {
    ASSERT_TRUE(fs::createDirectories(project / "images/design"));
    std::ofstream(project / "images/design" / name) << content;
  }
};

std::string read(const stdfs::path& p) {
  auto t = fs::readText(p);
  return t ? *t : "(missing)";
}

TEST(Exporter, OneFileGoesThroughTheSavePanel) {
  Export run;
  run.person->file = testenv::freshFolder() / "chosen";  // no extension: the name's is added
  run.go(request({out("a.html", "html")}));
  EXPECT_EQ(run.person->log, std::vector<std::string>{"file a.html 0"});
  EXPECT_EQ(run.person->reports, (std::vector<P>{{0, 2}, {1, 2}, {2, 2}}));
  EXPECT_EQ(run.completions, 1);
  EXPECT_EQ(read(stdfs::path(run.person->file->string() + ".html")), "<p>page</p>");
}

TEST(Exporter, FolderExportReportsEveryStepAndWritesText) {
  Export run;
  run.person->folder = testenv::freshFolder();
  run.image("a.png", "A");
  run.image("b.png", "B");
  run.image("c.png", "C");
  run.go(request({out("x/page.html", "html"), out("page.svg", "svg")}, {"a.png", "b.png", "c.png"}));
  EXPECT_EQ(run.person->log, (std::vector<std::string>{"folder 0", "overwrite? 0"}));
  EXPECT_EQ(run.person->reports, (std::vector<P>{{0, 6}, {1, 6}, {4, 6}, {5, 6}, {6, 6}}));
  EXPECT_EQ(run.completions, 1);
  EXPECT_TRUE(run.allWritten);
  EXPECT_EQ(read(*run.person->folder / "x/page.html"), "<p>page</p>");
  EXPECT_EQ(read(*run.person->folder / "page.svg"), "<svg>s</svg>");
  EXPECT_EQ(read(*run.person->folder / "images/design/b.png"), "B");
}

TEST(Exporter, NothingIsReplacedBeforeThePersonAgrees) {
  Export run;
  run.person->folder = testenv::freshFolder();
  run.image("a.png", "new");
  ASSERT_TRUE(fs::createDirectories(*run.person->folder / "images/design"));
  std::ofstream(*run.person->folder / "images/design/a.png") << "old";
  std::ofstream(*run.person->folder / "page.html") << "old page";
  ASSERT_TRUE(fs::createDirectories(*run.person->folder / "folder.svg"));
  run.person->overwrite = false;
  run.go(request({out("page.html", "html"), out("folder.svg", "svg"), out("new.html", "html")}, {"a.png"}));
  EXPECT_EQ(run.person->log.back(), "overwrite? 3");  // a file, a folder and an image
  EXPECT_EQ(run.person->reports.back(), P::zero());
  EXPECT_EQ(run.completions, 0);
  EXPECT_EQ(read(*run.person->folder / "images/design/a.png"), "old");
  EXPECT_EQ(read(*run.person->folder / "page.html"), "old page");
  EXPECT_FALSE(fs::exists(*run.person->folder / "new.html"));
}

TEST(Exporter, SkippingTheCheckAsksWithNothingExisting) {
  Export run;
  run.person->folder = testenv::freshFolder();
  std::ofstream(*run.person->folder / "page.html") << "old page";
  Defaults::standard().setBool(OstrelExporter::skipFileExistChecksKey, true);
  run.go(request({out("page.html", "html"), out("b.html", "html")}));
  Defaults::standard().remove(OstrelExporter::skipFileExistChecksKey);
  EXPECT_EQ(run.person->log.back(), "overwrite? 0");
  EXPECT_EQ(read(*run.person->folder / "page.html"), "<p>page</p>");
}

TEST(Exporter, EndsEarlyWithZero) {
  struct Case {
    const char* what;
    nlohmann::json json;
    bool giveFolder;
    std::vector<P> reports;
  };
  const Case cases[] = {
      {"broken key path", request({out("a.png", "png", "9x"), out("b.png", "png")}), true, {{0, 3}, {0, 0}}},
      {"unsafe image name", request({out("a.html", "html")}, {"../../etc/x"}), true, {{0, 3}, {0, 0}}},
      {"cancelled panel", request({out("a.html", "html"), out("b.html", "html")}), false, {{0, 3}, {0, 0}}},
      {"no outputs", request(nlohmann::json::array()), true, {{0, 1}, {1, 1}}},
  };
  for (const auto& c : cases) {
    Export run;
    if (c.giveFolder) run.person->folder = testenv::freshFolder();
    run.go(c.json);
    EXPECT_EQ(run.person->reports, c.reports) << c.what;
    EXPECT_EQ(run.completions, 0) << c.what;
  }
}

TEST(Exporter, FailedWritesShowTheExportDidNotComplete) {
  Export run;
  run.person->folder = testenv::freshFolder();
  run.image("a.png", "A");
  run.go(request({out("a.png", "png"), out("a.html", "html")}, {"a.png", "missing.png"}));
  // Every step is counted, then the last report says the export did not complete.
  EXPECT_EQ(run.person->reports, (std::vector<P>{{0, 5}, {1, 5}, {3, 5}, {4, 5}, {5, 5}, {0, 0}}));
  EXPECT_EQ(run.completions, 1);
  EXPECT_FALSE(run.allWritten);
  EXPECT_FALSE(fs::exists(*run.person->folder / "a.png"));
}

using O = OstrelExporterDelegate::ExportOutcome;

TEST(Exporter, TheOutcomeCountsWhatWasWrittenOrSaysWhyItStopped) {
  auto notAFolder = testenv::freshFolder() / "notes.txt";
  std::ofstream(notAFolder) << "a file where a folder should be";
  struct Case {
    const char* what;
    std::optional<stdfs::path> folder;
    bool overwrite;
    std::vector<std::string> images;
    O outcome;
  };
  const Case cases[] = {
      {"two files and two images", testenv::freshFolder(), true, {"a.png", "b.png"}, {4, 4, false, ""}},
      {"two files", testenv::freshFolder(), true, {}, {2, 2, false, ""}},
      {"chooser cancelled", std::nullopt, true, {}, {0, 2, true, ""}},
      {"overwrite declined", testenv::freshFolder(), false, {}, {0, 2, true, ""}},
      {"no folder there", notAFolder / "out", true, {}, {0, 2, false, "The folder “out” doesn't exist."}},
  };
  for (const auto& c : cases) {
    Export run;
    run.image("a.png", "A");
    run.image("b.png", "B");
    run.person->folder = c.folder;
    run.person->overwrite = c.overwrite;
    if (c.folder && !c.overwrite) std::ofstream(*c.folder / "page.html") << "old";
    run.go(request({out("page.html", "html"), out("page.svg", "svg")}, c.images));
    ASSERT_EQ(run.person->outcomes.size(), 1u) << c.what;
    EXPECT_EQ(run.person->outcomes[0], c.outcome) << c.what << ": " << run.person->outcomes[0].reason;
    // Nothing is left behind by the look at whether the folder takes files.
    if (c.folder && c.overwrite && stdfs::is_directory(*c.folder)) {
      for (const auto& item : stdfs::directory_iterator(*c.folder)) {
        EXPECT_EQ(item.path().filename().string().find("korvel-tmp"), std::string::npos) << item.path();
      }
    }
  }
}

TEST(Exporter, AFolderWithoutWritePermissionIsNamedInTheOutcome) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions don't hold for the superuser";
  auto folder = testenv::freshFolder("locked");
  stdfs::permissions(folder, stdfs::perms::owner_read | stdfs::perms::owner_exec);
  Export run;
  run.person->folder = folder;
  run.go(request({out("page.html", "html"), out("page.svg", "svg")}));
  stdfs::permissions(folder, stdfs::perms::owner_all);
  ASSERT_EQ(run.person->outcomes.size(), 1u);
  EXPECT_EQ(run.person->outcomes[0].reason, "You don't have permission to save in “" + folder.filename().string() + "”.");
}

TEST(ExportFileWriter, MissingImageNeverRemovesTheOldCopy) {
  auto project = testenv::freshFolder(), target = testenv::freshFolder();
  ASSERT_TRUE(fs::createDirectories(project / "images/design"));
  ASSERT_TRUE(fs::createDirectories(target / "images/design"));
  std::ofstream(project / "images/design/b.png") << "new b";
  std::ofstream(target / "images/design/a.png") << "old a";
  EXPECT_EQ(ExportFileWriter::copyImages({"a.png", "b.png", "../escape.png"}, project, target), 2);
  EXPECT_EQ(read(target / "images/design/a.png"), "old a");
  EXPECT_EQ(read(target / "images/design/b.png"), "new b");
  EXPECT_FALSE(fs::exists(target / "images/escape.png"));
  EXPECT_EQ(ExportFileWriter::copyImages({"b.png"}, project, project), 0);  // same place: left alone
  EXPECT_EQ(read(project / "images/design/b.png"), "new b");
}

}  // namespace

namespace {

TEST(ExportFileWriter, ExportsWriteNothingThroughPlantedLinks) {
  auto outside = testenv::freshFolder("outside");
  ASSERT_TRUE(fs::writeAtomically(outside / "victim", std::string_view("keep")));
  ASSERT_TRUE(fs::writeAtomically(outside / "secret.png", std::string_view("secret")));
  Export run;
  run.person->folder = testenv::freshFolder("export");
  const stdfs::path design = *run.person->folder / "images/design";
  run.image("a.png", "A");
  stdfs::create_symlink(outside / "secret.png", run.project / "images/design/leak.png");
  ASSERT_TRUE(fs::createDirectories(design));
  // At the copy's old temporary name, at an image's name, at an output's name, and a folder.
  stdfs::create_symlink(outside / "victim", design / "a.png.korvel-copy");
  stdfs::create_symlink(outside / "victim", *run.person->folder / "frame.html");
  stdfs::create_symlink(outside, *run.person->folder / "sub");
  run.go(request({out("frame.html", "html"), out("frame.svg", "svg"), out("sub/inner.svg", "svg")}, {"a.png", "leak.png"}));

  EXPECT_EQ(read(outside / "victim"), "keep");
  EXPECT_FALSE(fs::exists(outside / "inner.svg"));
  EXPECT_EQ(read(design / "a.png"), "A");
  EXPECT_FALSE(fs::exists(design / "leak.png"));  // a project image that leads outside is left out
  EXPECT_FALSE(stdfs::is_symlink(*run.person->folder / "frame.html"));
  EXPECT_EQ(read(*run.person->folder / "frame.html"), "<p>page</p>");
  EXPECT_EQ(read(*run.person->folder / "frame.svg"), "<svg>s</svg>");
  // The leaked image and the output through the linked folder count as failures.
  EXPECT_EQ(run.completions, 1);
  EXPECT_FALSE(run.allWritten);
  EXPECT_EQ(ExportFileWriter::copyImages({"a.png", "leak.png"}, run.project, *run.person->folder), 1);
}

TEST(ExportFileWriter, OneFileExportReplacesALinkAtTheChosenName) {
  auto outside = testenv::freshFolder("outside");
  ASSERT_TRUE(fs::writeAtomically(outside / "victim.html", std::string_view("keep")));
  Export run;
  auto chosen = testenv::freshFolder("chosen") / "frame.html";
  stdfs::create_symlink(outside / "victim.html", chosen);
  run.person->file = chosen;
  run.go(request({out("frame.html", "html")}));
  EXPECT_EQ(run.completions, 1);
  EXPECT_EQ(read(outside / "victim.html"), "keep");
  EXPECT_FALSE(stdfs::is_symlink(chosen));
  EXPECT_EQ(read(chosen), "<p>page</p>");
}

}  // namespace
