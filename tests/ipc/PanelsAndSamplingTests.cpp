// The panels and the colour sampler the page asks for, answered by test stand-ins for the person.

#include <gtest/gtest.h>

#include "IPCTestSupport.h"
#include "export/Bitmap.h"
#include "export/WebP.h"
#include "platform/Alert.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/Panels.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"
#include "support/TestEnvironment.h"
#include "ui/RWColorSampler.h"

using namespace ipctest;

namespace {

struct PanelLog {
  std::vector<OpenPanelOptions> opened;
  std::vector<SavePanelOptions> saved;
  std::vector<GtkWindow*> parents;
  std::vector<std::filesystem::path> answer;
  std::optional<SavePanelResult> saveAnswer;
};

class RecordingPanels : public Panels {
 public:
  explicit RecordingPanels(PanelLog& log) : log_(log) {}
  std::vector<std::filesystem::path> runOpenPanel(const OpenPanelOptions& options, GtkWindow* parent) override {
    log_.opened.push_back(options);
    log_.parents.push_back(parent);
    return log_.answer;
  }
  std::optional<SavePanelResult> runSavePanel(const SavePanelOptions& options, GtkWindow* parent) override {
    log_.saved.push_back(options);
    log_.parents.push_back(parent);
    return log_.saveAnswer;
  }

 private:
  PanelLog& log_;
};

struct PanelHarness : Harness {
  PanelHarness() {
    Panels::setShared(std::make_unique<RecordingPanels>(log));
    document->storesImages = true;
  }
  ~PanelHarness() { Panels::setShared(nullptr); }
  bool answered(std::size_t count = 1) { return RunLoop::runUntil([&] { return events.size() >= count; }, 30); }
  PanelLog log;
};

class FakeLoupe : public RWColorSampler::Loupe {
 public:
  explicit FakeLoupe(bool can) : can_(can) {}
  bool canSample() const override { return can_; }
  void show(RWColorSampler&) override { ++shown; }
  void hide() override { ++hidden; }
  int shown = 0, hidden = 0;

 private:
  bool can_;
};

class RecordingAlert : public Alert {
 public:
  explicit RecordingAlert(std::vector<std::string>& texts) : texts_(texts) {}
  int runModal(const AlertSpec& a, GtkWindow*) override {
    texts_.push_back(a.messageText);
    return firstButtonReturn;
  }
  void beginSheet(const AlertSpec& a, GtkWindow*, std::function<void(int)> done) override {
    texts_.push_back(a.messageText);
    if (done) done(firstButtonReturn);
  }

 private:
  std::vector<std::string>& texts_;
};

std::filesystem::path writeFile(const std::filesystem::path& folder, const std::string& name, const Data& bytes) {
  auto path = folder / name;
  EXPECT_TRUE(fs::writeAtomically(path, bytes));
  return path;
}

}  // namespace

TEST(Panels, ChosenImagesAreStoredInPanelOrderAndUnreadableOnesLeftOut) {
  PanelHarness h;
  auto folder = testenv::freshFolder("chosen");
  h.log.answer = {writeFile(folder, "a.png", ImageEncoding::png(*Bitmap::make(3, 2))), folder / "missing.png",
                  writeFile(folder, "b.webp", WebP::encode(*Bitmap::make(5, 4), 1.0f)),
                  writeFile(folder, "c.png", dataFromString("not an image"))};
  h.request("ChooseImageDialog");
  EXPECT_TRUE(h.log.opened.empty()) << "the panel waits until the request has returned";
  ASSERT_TRUE(h.answered());
  ASSERT_EQ(h.log.opened.size(), 1u);
  auto& options = h.log.opened[0];
  EXPECT_TRUE(options.allowsMultipleSelection);
  EXPECT_EQ(options.prompt, "Open");
  EXPECT_FALSE(options.attachToActiveWindow);
  std::vector<std::string> extensions;
  for (auto& t : options.types) extensions.push_back(t.extension);
  EXPECT_EQ(extensions, (std::vector<std::string>{"png", "jpg", "jpeg", "gif", "apng", "tiff", "webp"}));
  ASSERT_EQ(h.events.size(), 1u);
  EXPECT_EQ(h.events[0].name, "ChooseImageDialog");
  auto list = h.events[0].arguments[0];
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(nlohmann::json::parse(list[0].get<std::string>()),
            nlohmann::json::parse(R"({"imageName": "image-1", "originalImageName": "",
              "imageSize": {"width": 3, "height": 2, "pixelWidth": 3, "pixelHeight": 2}})"));
  EXPECT_EQ(nlohmann::json::parse(list[1].get<std::string>())["imageSize"]["pixelWidth"], 5);

  h.log.answer.clear();
  h.request("ChooseImageDialog");
  ASSERT_TRUE(h.answered(2));
  EXPECT_EQ(h.events[1].arguments, nlohmann::json::parse("[[]]"));
}

TEST(Panels, PanelsAttachToTheDocumentsWindowAndAnswerOnceEvenWithoutOne) {
  PanelHarness h;
  auto* window = reinterpret_cast<GtkWindow*>(&h);  // only compared, never used
  h.document->window = window;
  h.request("ShowSaveDialog", R"({"defaultPath": "/somewhere/else/logo.png", "message": "Where?"})");
  ASSERT_TRUE(h.answered());
  h.document->window = nullptr;
  h.log.saveAnswer = SavePanelResult{"/tmp/chosen.png", ""};
  h.request("ShowSaveDialog", R"({"buttonLabel": "Keep"})");
  ASSERT_TRUE(h.answered(2));
  EXPECT_EQ(h.log.parents, (std::vector<GtkWindow*>{window, nullptr}));
  EXPECT_EQ(h.log.saved[0].nameFieldValue, "logo.png");
  EXPECT_EQ(h.log.saved[0].message, "Where?");
  EXPECT_EQ(h.log.saved[0].prompt, "");
  EXPECT_EQ(h.log.saved[1].prompt, "Keep");
  EXPECT_EQ(h.events[0].arguments, nlohmann::json::array({""}));
  EXPECT_EQ(h.events[1].arguments, nlohmann::json::array({"/tmp/chosen.png"}));
  RunLoop::runUntil([] { return false; }, 0.2);
  EXPECT_EQ(h.events.size(), 2u);

  // Requests of the wrong shape open nothing and answer nothing.
  h.request("ShowSaveDialog", "[]");
  h.request("ChooseFileDialog", R"(["png", 3])");
  h.request("ChooseMetadataImageDialog", R"({"filename": "a.png", "other": 1})");
  h.request("ChooseMetadataImageDialog", R"({"filename": ""})");
  RunLoop::runUntil([] { return false; }, 0.2);
  EXPECT_EQ(h.events.size(), 2u);
  EXPECT_EQ(h.log.opened.size(), 0u);
}

TEST(Panels, AChosenFileBecomesAnAssetAndCancelAnswersEmpty) {
  PanelHarness h;
  auto folder = testenv::freshFolder("asset");
  h.log.answer = {writeFile(folder, "data.csv", dataFromString("a,b"))};
  h.request("ChooseFileDialog", R"(["csv", "json"])");
  ASSERT_TRUE(h.answered());
  EXPECT_EQ(h.events[0].arguments, nlohmann::json::array({"design/assets/data.csv"}));
  EXPECT_EQ(h.log.opened[0].types.size(), 2u);
  EXPECT_FALSE(h.log.opened[0].allowsMultipleSelection);
  h.log.answer.clear();
  h.request("ChooseFileDialog", "[]");
  ASSERT_TRUE(h.answered(2));
  EXPECT_EQ(h.events[1].arguments, nlohmann::json::array({""}));
}

TEST(Panels, MetadataImagesLandUnderTheLastPieceOfTheirNameOnly) {
  PanelHarness h;
  auto project = testenv::freshFolder("project");
  ASSERT_TRUE(fs::createDirectories(project / "metadata"));
  h.document->project = project;
  auto folder = testenv::freshFolder("meta");
  Data picture = ImageEncoding::png(*Bitmap::make(2, 2));
  h.log.answer = {writeFile(folder, "pic.png", picture)};
  struct Case {
    const char* filename;
    const char* written;  // none: nothing written
  };
  const Case cases[] = {{"../icons/logo.png", "logo.png"}, {"a/b:c.png", "c.png"}, {"my logo.png", nullptr},
                        {"logo.png/", nullptr}, {"..", nullptr}};
  for (const auto& c : cases) {
    std::filesystem::remove_all(project / "metadata");
    std::filesystem::create_directories(project / "metadata");
    h.request("ChooseMetadataImageDialog", nlohmann::json{{"filename", c.filename}});
    std::size_t expected = h.log.opened.size() + 1;
    ASSERT_TRUE(RunLoop::runUntil([&] { return h.log.opened.size() == expected; }, 30)) << c.filename;
    std::vector<std::string> found;
    for (auto& entry : std::filesystem::directory_iterator(project / "metadata")) found.push_back(entry.path().filename());
    EXPECT_EQ(found, c.written ? std::vector<std::string>{c.written} : std::vector<std::string>{}) << c.filename;
    if (c.written) {
      EXPECT_EQ(fs::readFile(project / "metadata" / c.written).value_or(Data()), picture);
    }
  }
  EXPECT_TRUE(h.events.empty());
}

TEST(Panels, DroppedImagesAreStoredInOrderWithoutSVG) {
  Harness h;
  h.document->storesImages = true;
  auto url = [](const std::string& type, const Data& d) { return "data:" + type + ";base64," + crypto::base64Encode(d); };
  nlohmann::json items = nlohmann::json::array(
      {{{"file", url("image/png", ImageEncoding::png(*Bitmap::make(3, 3)))}, {"originalFilename", "a.png"}},
       {{"file", url("image/svg+xml", dataFromString("<svg/>"))}, {"originalFilename", "b.svg"}},
       "not an object",
       {{"file", url("image/webp", WebP::encode(*Bitmap::make(6, 5), 1.0f))}, {"originalFilename", "c.webp"}},
       {{"file", url("image/png", ImageEncoding::png(*Bitmap::make(3, 3)))}}});
  h.request("ChooseImageDialogDrop", items);
  ASSERT_TRUE(RunLoop::runUntil([&] { return !h.events.empty(); }, 30));
  ASSERT_EQ(h.events.size(), 1u);
  auto list = h.events[0].arguments[0];
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(nlohmann::json::parse(list[1].get<std::string>())["imageSize"]["pixelHeight"], 5);
  h.document.reset();
  h.request("ChooseImageDialogDrop", items);
  ASSERT_TRUE(RunLoop::runUntil([&] { return h.events.size() >= 2; }, 30));
  EXPECT_EQ(h.events[1].arguments, nlohmann::json::parse("[[]]"));
}

TEST(ColorSampling, APickAnswersAsRGBAAndALaterRequestAnswersTheEarlierWithNoColour) {
  auto& sampler = RWColorSampler::shared();
  auto owned = std::make_unique<FakeLoupe>(true);
  auto* loupe = owned.get();
  sampler.setLoupe(std::move(owned));
  Harness first, second;
  first.request("GetColorSample");
  second.request("GetColorSample");
  ASSERT_EQ(first.events.size(), 1u);
  EXPECT_EQ(first.events[0].name, "GetColorSample");
  EXPECT_EQ(first.events[0].arguments, nlohmann::json::array());
  EXPECT_TRUE(second.events.empty());
  sampler.windowClickedWithColor(Color{1, 0, 0, 0.5});
  sampler.windowDidResignKey();  // hiding after the click finds nobody waiting
  ASSERT_EQ(second.events.size(), 1u);
  EXPECT_EQ(second.events[0].arguments, nlohmann::json::array({"rgba(255, 0, 0, 0.50)"}));
  EXPECT_EQ(first.events.size(), 1u);
  EXPECT_EQ(loupe->shown, 2);

  // Escape, or any other dismissal, answers with no colour.
  first.request("GetColorSample");
  sampler.windowDidResignKey();
  EXPECT_EQ(first.events.back().arguments, nlohmann::json::array());
  EXPECT_EQ(first.events.size(), 2u);
}

TEST(ColorSampling, WhereTheScreenCannotBeReadThePersonIsToldAndThePageGetsNoColour) {
  std::vector<std::string> alerts;
  Alert::setShared(std::make_unique<RecordingAlert>(alerts));
  RWColorSampler::shared().setLoupe(std::make_unique<FakeLoupe>(false));
  Harness h;
  h.request("GetColorSample");
  Alert::setShared(nullptr);
  ASSERT_EQ(h.events.size(), 1u);
  EXPECT_EQ(h.events[0].arguments, nlohmann::json::array());
  EXPECT_EQ(alerts, std::vector<std::string>{RWColorSampler::unavailableMessage});
  EXPECT_FALSE(RWColorSampler::shared().isShowing());
}

TEST(ColorSampling, LoupeGeometryCentresOnThePointer) {
  using G = RWColorSamplerGeometry;
  EXPECT_EQ(G::capture(100.7, 50.2), (G::Rect{94, 44, 13, 13}));
  EXPECT_EQ(G::capture(0, 0), (G::Rect{-6, -6, 13, 13}));
  EXPECT_EQ(G::window(100.7, 50.2), (G::Rect{40, -10, 121, 121}));
  EXPECT_EQ(G::label(), (G::Rect{29, 73, 64, 18}));
  EXPECT_EQ(G::centreSquare(), (G::Rect{56, 56, 8, 8}));
  EXPECT_TRUE(G::contains(G::window(10, 10), 10, 10));
  EXPECT_FALSE(G::contains(G::window(10, 10), 200, 10));
}

TEST(FileViewer, OnlyAnAbsolutePathIsRevealed) {
  struct Recording : Workspace {
    std::vector<std::filesystem::path>* shown;
    bool openFile(const std::filesystem::path&) override { return false; }
    void activateFileViewerSelecting(const std::vector<std::filesystem::path>& items) override {
      shown->insert(shown->end(), items.begin(), items.end());
    }
  };
  std::vector<std::filesystem::path> shown;
  auto workspace = std::make_unique<Recording>();
  workspace->shown = &shown;
  Workspace::setShared(std::move(workspace));
  Harness h;
  h.request("ShowPathInFileViewer", R"("/tmp/x.png")");
  h.request("ShowPathInFileViewer", R"("x.png")");
  h.request("ShowPathInFileViewer", R"(["/tmp/y.png"])");
  Workspace::setShared(nullptr);
  EXPECT_EQ(shown, std::vector<std::filesystem::path>{"/tmp/x.png"});
  EXPECT_TRUE(h.events.empty());
}
