// The project server stops answering as the editor page asks for the design: frozen as it starts
// and then killed, or killed before it answers. The page edits nothing until the restarted server
// gives it the design, and korvel writes no design from a page that hasn't reported holding it:
// the file keeps its design and every picture.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "DocumentTestSupport.h"
#include "canvas/OstrelError.h"
#include "canvas/OstrelViewController.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "document/storage/KXDocumentArchive.h"
#include "platform/JsonCoder.h"
#include "platform/RunLoop.h"
#include "server/ServerController.h"
#include "support/TestEnvironment.h"

using namespace doctests;

namespace {

constexpr int pictureCount = 200;

std::string pictureName(int i) { return "picture-" + std::to_string(i) + ".png"; }

// A zip of `pictureCount` pictures, every one of them shown by the design's one page, and no code
// that names them: a design that doesn't name a picture leaves it to the unused-file search.
std::filesystem::path makePicturesDocument(const std::filesystem::path& folder) {
  auto source = folder / "source";
  writeProject(source, "Pictures");
  nlohmann::json layers = nlohmann::json::array();
  for (int i = 0; i < pictureCount; ++i) {
    std::ofstream(source / "design" / "images" / pictureName(i), std::ios::binary)
        << std::string(512, static_cast<char>('a' + i % 26)) << i;
    layers.push_back({{"id", "image-" + std::to_string(i)}, {"type", "image"}, {"image", pictureName(i)},
                      {"x", i}, {"y", i}, {"width", 10}, {"height", 10}});
  }
  nlohmann::json design = {{"version", 1},
                           {"pages", nlohmann::json::array({{{"id", "page-1"}, {"name", "Pictures"}, {"layers", layers}}})}};
  std::ofstream(source / "design" / "document.json") << JsonCoder::dump(design, JsonCoder::Style::pretty);
  auto zip = folder / "Pictures.korvelx";
  makeZip(source, zip);
  std::filesystem::remove_all(source);
  return zip;
}

// The pictures a zip holds, by name.
std::set<std::string> picturesIn(const std::filesystem::path& zip) {
  std::set<std::string> names;
  auto archive = KXDocumentArchive::open(zip, KXDocumentArchive::zipDocumentType, false, std::nullopt, true);
  if (!archive) return names;
  const std::string images = std::string(KXDocumentArchive::relativePathForImages) + "/";
  (*archive)->backing().forEach([&](const std::string& path, const DataReader&) {
    if (path.rfind(images, 0) == 0) names.insert(path.substr(images.size()));
  });
  return names;
}

// What a design shows: every layer's text or picture.
std::set<std::string> shownIn(const std::optional<nlohmann::json>& design) {
  std::set<std::string> shown;
  if (!design || !design->contains("pages")) return shown;
  for (const auto& page : (*design)["pages"])
    for (const auto& layer : page.value("layers", nlohmann::json::array())) {
      if (layer.contains("image")) shown.insert(layer["image"].get<std::string>());
      if (layer.contains("text")) shown.insert(layer["text"].get<std::string>());
    }
  return shown;
}

bool holdsEveryPicture(const std::set<std::string>& names) {
  for (int i = 0; i < pictureCount; ++i)
    if (!names.count(pictureName(i))) return false;
  return true;
}

class UnfetchedDesign : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    trace = dir / "server-trace.jsonl";
    setenv("KORVEL_SERVER_TRACE", trace.c_str(), 1);
    // The server listens a moment after it starts, so that the test has it in hand before the page
    // can ask it anything, however loaded the machine.
    setenv("KORVEL_SERVER_TEST", "slow-start=1500", 1);
  }
  void TearDown() override {
    unsetenv("KORVEL_SERVER_TRACE");
    unsetenv("KORVEL_SERVER_TEST");
    ControllerTest::TearDown();
  }

  // The process of the server that started last.
  pid_t lastServer() {
    pid_t pid = 0;
    std::istringstream lines(readFile(trace));
    for (std::string line; std::getline(lines, line);) {
      auto record = JsonCoder::parse(line);
      if (record && record->value("event", "") == "start") pid = (*record)["pid"].get<pid_t>();
    }
    return pid;
  }

  // The document's server as soon as it has said where it listens, before any link to it or
  // any ask of the page reaches it: frozen there, or killed.
  pid_t stopServerAsItStarts(KXDocument& document, int signal) {
    EXPECT_TRUE(waitFor([&] {
      auto* server = document.serverController();
      return server && server->currentServerURL();
    }, 60));
    pid_t pid = lastServer();
    EXPECT_GT(pid, 0);
    if (pid > 0) {
      EXPECT_EQ(kill(pid, signal), 0);
    }
    return pid;
  }

  bool pageSays(KXDocument& document, const std::string& expression) {
    auto answer = evaluate(document, expression);
    return answer && answer->is_boolean() && answer->get<bool>();
  }

  // The person clicks Add Text in the page as it waits for its design: nothing changes and
  // nothing is reported as an edit; the page says why.
  void addTextBeforeTheDesign(KXDocument& document) {
    EXPECT_TRUE(pageSays(document, "(function () { var button = document.getElementById('add-text');"
                                   " var disabled = button.disabled; button.click(); var s = window.OstrelStandIn;"
                                   " return disabled && s.addLayer('text') === null && !s.holdsDesign &&"
                                   " !s.documentJSON && s.posted.indexOf('DocumentDirty') < 0; })()"));
    EXPECT_TRUE(pageSays(document, "/not loaded/.test(document.getElementById('status').textContent)"));
    EXPECT_FALSE(document.isDocumentEdited());
    EXPECT_FALSE(document.ostrelViewController().holdsDocumentDesign());
  }

  std::filesystem::path trace;
};

}  // namespace

TEST_F(UnfetchedDesign, AnEditWaitsForTheDesignOfTheRestartedServerAndTheSaveKeepsEveryPicture) {
  struct Case {
    const char* name;
    bool frozenWhileThePageAsks;
  };
  for (const Case& c : {Case{"frozen as the page asks, then killed", true}, Case{"killed before it answers", false}}) {
    SCOPED_TRACE(c.name);
    auto folder = testenv::freshFolder("unfetched");
    auto zip = makePicturesDocument(folder);
    ASSERT_EQ(picturesIn(zip).size(), static_cast<std::size_t>(pictureCount));
    {
      auto document = openWith(*controller, zip);
      ASSERT_TRUE(document);
      auto pid = stopServerAsItStarts(*document, c.frozenWhileThePageAsks ? SIGSTOP : SIGKILL);
      ASSERT_GT(pid, 0);
      if (c.frozenWhileThePageAsks) {
        // The page was told the frozen server's address and waits for its answer.
        ASSERT_TRUE(waitFor([&] { return pageSays(*document, "window.OstrelStandIn.designAsks > 0"); }, 60));
        addTextBeforeTheDesign(*document);
        ASSERT_EQ(kill(pid, SIGKILL), 0);
      }
      // The server korvel starts again gives the page its design, which it reports.
      ASSERT_TRUE(waitFor([&] { return document->ostrelViewController().holdsDocumentDesign(); }, 120));
      EXPECT_NE(lastServer(), pid);
      EXPECT_TRUE(pageSays(*document, "window.OstrelStandIn.documentJSON.pages[0].layers.length === " +
                                          std::to_string(pictureCount)));
      EXPECT_FALSE(document->isDocumentEdited());

      ASSERT_TRUE(pageSays(*document, "typeof window.OstrelStandIn.addLayer('text') === 'string'"));
      ASSERT_TRUE(waitFor([&] { return document->isDocumentEdited(); }, 30));
      auto error = saveAndWait(*document, zip, KXDocument::zipType, static_cast<int>(SaveOperation::save));
      ASSERT_FALSE(error) << error->description();
      EXPECT_FALSE(document->isDocumentEdited());
      document->close();
    }
    auto saved = documentInZip(zip);
    auto shown = shownIn(saved);
    EXPECT_TRUE(shown.count("Text")) << "the edit";
    EXPECT_TRUE(holdsEveryPicture(shown)) << "the design shows every picture";
    EXPECT_TRUE(holdsEveryPicture(picturesIn(zip)));

    auto again = openWith(*controller, zip);
    ASSERT_TRUE(again);
    ASSERT_TRUE(waitFor([&] { return again->ostrelViewController().holdsDocumentDesign(); }, 60));
    EXPECT_FALSE(again->isDocumentEdited());
    EXPECT_TRUE(pageSays(*again, "window.OstrelStandIn.documentJSON.pages[0].layers.some(function (l) {"
                                 " return l.text === 'Text'; })"));
    again->close();
    std::filesystem::remove_all(folder);
  }
}

// A page that makes a design of its own while its server doesn't answer, and reports it as an
// edit, as the page once did: korvel doesn't ask it for its design. The save says why in an alert,
// the document stays edited, and the file, the working copy and the search for unused files keep
// the document's design and every picture. Once the restarted server gives the page the design,
// that is what a save writes.
TEST_F(UnfetchedDesign, ADesignFromAPageThatNeverGotTheDocumentsIsNotWritten) {
  auto zip = makePicturesDocument(dir);
  auto document = openWith(*controller, zip);
  ASSERT_TRUE(document);
  auto pid = stopServerAsItStarts(*document, SIGSTOP);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(waitFor([&] { return pageSays(*document, "window.OstrelStandIn.designAsks > 0"); }, 60));
  ASSERT_TRUE(pageSays(*document, "(function () { var s = window.OstrelStandIn; s.documentJSON = {version: 1,"
                                  " pages: [{id: 'page-1', name: 'Page 1', layers: [{id: 'text-1', type: 'text',"
                                  " text: 'Own'}]}]}; window._ipc.send('DocumentDirty'); return true; })()"));
  ASSERT_TRUE(waitFor([&] { return document->isDocumentEdited(); }, 30));

  person().alertAnswers.push_back(Alert::firstButtonReturn);
  auto before = person().alertsShown.size();
  auto outcome = std::make_shared<std::optional<std::optional<Error>>>();
  document->saveDocument([outcome](std::optional<Error> error) { *outcome = std::move(error); });
  ASSERT_TRUE(waitFor([&] { return outcome->has_value(); }, 90));
  ASSERT_TRUE(**outcome) << "the save wrote a design the page never received";
  EXPECT_EQ((**outcome)->domain, OstrelError::domain);
  EXPECT_EQ((**outcome)->code, OstrelError::designNotHeldCode);
  ASSERT_EQ(person().alertsShown.size(), before + 1);
  EXPECT_EQ(person().alertsShown.back().messageText, "The document can't be saved.");
  EXPECT_NE(person().alertsShown.back().informativeText.find("never received this document's design"),
            std::string::npos)
      << person().alertsShown.back().informativeText;
  EXPECT_TRUE(document->isDocumentEdited());
  EXPECT_TRUE(holdsEveryPicture(shownIn(documentInZip(zip))));
  EXPECT_TRUE(holdsEveryPicture(picturesIn(zip)));

  // The minute's pass writes nothing of it either, and its search for unused files keeps them all.
  ASSERT_TRUE(writeChangesAndWait(*document));
  auto working = document->container()->projectDirectory();
  auto design = JsonCoder::parse(readFile(working / KXDocumentArchive::relativePathForDocumentJSON));
  ASSERT_TRUE(design);
  EXPECT_TRUE(holdsEveryPicture(shownIn(*design)));
  for (int i = 0; i < pictureCount; ++i)
    EXPECT_TRUE(std::filesystem::exists(working / KXDocumentArchive::relativePathForImages / pictureName(i))) << i;
  EXPECT_TRUE(document->isDocumentEdited());

  // The restarted server gives the page the document's design in place of its own.
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_TRUE(waitFor([&] { return document->ostrelViewController().holdsDocumentDesign(); }, 120));
  auto error = saveAndWait(*document, zip, KXDocument::zipType, static_cast<int>(SaveOperation::save));
  ASSERT_FALSE(error) << error->description();
  EXPECT_FALSE(document->isDocumentEdited());
  auto shown = shownIn(documentInZip(zip));
  EXPECT_FALSE(shown.count("Own"));
  EXPECT_TRUE(holdsEveryPicture(shown));
  document->close();
  EXPECT_TRUE(holdsEveryPicture(picturesIn(zip)));
}

// A page that holds its design keeps it when its server ends and starts again: an edit the working
// copy doesn't hold yet stays in the window, and the save writes it with every picture.
TEST_F(UnfetchedDesign, AnEditNotYetWrittenOutlivesARestartOfTheServer) {
  auto zip = makePicturesDocument(dir);
  auto document = openWith(*controller, zip);
  ASSERT_TRUE(document);
  ASSERT_TRUE(waitFor([&] { return document->ostrelViewController().holdsDocumentDesign(); }, 60));
  ASSERT_TRUE(pageSays(*document, "typeof window.OstrelStandIn.addLayer('text') === 'string'"));
  ASSERT_TRUE(waitFor([&] { return document->isDocumentEdited(); }, 30));
  auto heard = [&] {
    auto count = evaluate(*document, "OstrelStandIn.received.filter(e => e.event === 'DocumentSetURL').length");
    return count && count->is_number() ? count->get<int>() : -1;
  };
  auto before = heard();
  auto pid = lastServer();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  // The page hears the new server's address, and every ask it made of a server has been answered.
  ASSERT_TRUE(waitFor([&] {
    return heard() > before && pageSays(*document, "OstrelStandIn.designAsks === OstrelStandIn.designAnswers");
  }, 120));
  EXPECT_TRUE(document->ostrelViewController().holdsDocumentDesign());
  EXPECT_TRUE(pageSays(*document, "window.OstrelStandIn.documentJSON.pages[0].layers.some(function (l) {"
                                  " return l.text === 'Text'; })"));
  auto error = saveAndWait(*document, zip, KXDocument::zipType, static_cast<int>(SaveOperation::save));
  ASSERT_FALSE(error) << error->description();
  auto shown = shownIn(documentInZip(zip));
  EXPECT_TRUE(shown.count("Text"));
  EXPECT_TRUE(holdsEveryPicture(shown)) << shown.size() << " shown; " << pageDiagnosis(*document);
  document->close();
  EXPECT_TRUE(holdsEveryPicture(picturesIn(zip)));
}
