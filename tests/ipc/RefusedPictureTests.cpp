// Pictures chosen in the panel, dropped on the page or handed over by it: an animated WebP is
// inserted as it came, so that it keeps moving; a file that is no picture is not, and the person
// is told which and why.

#include <gtest/gtest.h>

#include <tuple>

#include "IPCTestSupport.h"
#include "canvas/RefusedPictures.h"
#include "export/Bitmap.h"
#include "platform/Alert.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/ImageData.h"
#include "platform/Panels.h"
#include "platform/RunLoop.h"
#include "support/AnimatedPictures.h"
#include "support/TestEnvironment.h"

using namespace ipctest;

namespace {

class ChosenFiles : public Panels {
 public:
  explicit ChosenFiles(std::vector<std::filesystem::path> files) : files_(std::move(files)) {}
  std::vector<std::filesystem::path> runOpenPanel(const OpenPanelOptions&, GtkWindow*) override { return files_; }
  std::optional<SavePanelResult> runSavePanel(const SavePanelOptions&, GtkWindow*) override { return std::nullopt; }

 private:
  std::vector<std::filesystem::path> files_;
};

class KeptAlerts : public Alert {
 public:
  explicit KeptAlerts(std::vector<AlertSpec>& kept) : kept_(kept) {}
  int runModal(const AlertSpec& a, GtkWindow*) override {
    kept_.push_back(a);
    return closeResponse(a);
  }
  void beginSheet(const AlertSpec& a, GtkWindow*, std::function<void(int)> done) override {
    kept_.push_back(a);
    if (done) done(closeResponse(a));
  }

 private:
  std::vector<AlertSpec>& kept_;
};

// Alerts kept while this lives.
struct Alerts {
  Alerts() { Alert::setShared(std::make_unique<KeptAlerts>(kept)); }
  ~Alerts() { Alert::setShared(nullptr); }
  std::vector<AlertSpec> kept;
};

std::string dataURL(const std::string& type, const Data& bytes) {
  return "data:" + type + ";base64," + crypto::base64Encode(bytes);
}

const std::vector<testenv::Colour> colours{{255, 0, 0}, {0, 0, 255}};

}  // namespace

// Each road a picture comes in by: the animated WebP stored byte for byte at its size, the text
// named in one alert that says it is no picture.
TEST(RefusedPictures, AnAnimatedWebPIsInsertedAsItCameAndATextFileIsRefusedAloud) {
  auto folder = testenv::freshFolder("refused");
  const Data moving = testenv::animatedWebP(folder, 60, 40, colours, 100);
  ASSERT_FALSE(moving.empty()) << "img2webp made no animation";
  ASSERT_GT(ImageData::checkedBitmap(moving)->frames, 1u);
  const Data text = dataFromString("Shopping list: bread, milk.\n");
  ASSERT_TRUE(fs::writeAtomically(folder / "moving.webp", moving));
  ASSERT_TRUE(fs::writeAtomically(folder / "notes.png", text));

  struct Road {
    const char* what;
    std::function<void(Harness&)> ask;
    std::size_t events;  // the page hears this many
  } roads[] = {
      {"Choose Image",
       [&](Harness& h) {
         Panels::setShared(std::make_unique<ChosenFiles>(
             std::vector<std::filesystem::path>{folder / "moving.webp", folder / "notes.png"}));
         h.request("ChooseImageDialog");
       },
       1},
      {"a drop the page hands over as a list",
       [&](Harness& h) {
         h.request("ChooseImageDialogDrop",
                   nlohmann::json::array({{{"file", dataURL("image/webp", moving)}, {"originalFilename", "moving.webp"}},
                                          {{"file", dataURL("image/png", text)}, {"originalFilename", "notes.png"}}}));
       },
       1},
      {"a drop the page hands over one by one",
       [&](Harness& h) {
         for (auto [bytes, type, name] : {std::tuple{&moving, "image/webp", "moving.webp"},
                                          std::tuple{&text, "image/png", "notes.png"}})
           h.request("DocumentReceivedImage", {{"file", dataURL(type, *bytes)},
                                               {"mousePoint", {{"x", 5}, {"y", 6}}},
                                               {"originalFilename", name}});
       },
       1},
  };
  for (const auto& road : roads) {
    Alerts alerts;
    Harness h;
    h.document->storesImages = true;
    road.ask(h);
    ASSERT_TRUE(RunLoop::runUntil([&] { return h.events.size() >= road.events && !alerts.kept.empty(); }, 60))
        << road.what;
    ASSERT_EQ(h.document->storedImages.size(), 1u) << road.what;
    EXPECT_EQ(h.document->storedImages[0], moving) << road.what << ": stored as it came";
    std::string said = h.events[0].arguments.dump();
    EXPECT_NE(said.find("60"), std::string::npos) << road.what << ": " << said;
    EXPECT_NE(said.find("40"), std::string::npos) << road.what << ": " << said;
    ASSERT_EQ(alerts.kept.size(), 1u) << road.what;
    EXPECT_EQ(alerts.kept[0].messageText, "“notes.png” was not added as a picture.") << road.what;
    EXPECT_NE(alerts.kept[0].informativeText.find("not a picture"), std::string::npos)
        << road.what << ": " << alerts.kept[0].informativeText;
    Panels::setShared(nullptr);
  }
}

// The alert names the first few files and counts the rest; each with why, as a sentence.
TEST(RefusedPictures, TheAlertNamesEachFileWithWhy) {
  struct Case {
    std::vector<RefusedPictures::Refusal> refused;
    std::optional<std::string> message, details;
  } cases[] = {
      {{}, std::nullopt, std::nullopt},
      {{{"a.txt", RefusedPictures::notAPicture}}, "“a.txt” was not added as a picture.", "“a.txt”: It is not a picture."},
      {{{"", "The picture is too large"}}, "A file was not added as a picture.", "A file: The picture is too large."},
      {{{"a", "x"}, {"b", ""}}, "2 files were not added as pictures.", "“a”: x.\n“b”: It is not a picture."},
      {{{"1", "x."}, {"2", "x."}, {"3", "x."}, {"4", "x."}, {"5", "x."}, {"6", "x."}, {"7", "x."}},
       "7 files were not added as pictures.", "“1”: x.\n“2”: x.\n“3”: x.\n“4”: x.\n“5”: x.\nAnd 2 more not added."},
  };
  for (const auto& c : cases) {
    auto alert = RefusedPictures::alert(c.refused);
    ASSERT_EQ(alert.has_value(), c.message.has_value());
    if (!alert) continue;
    EXPECT_EQ(alert->messageText, *c.message);
    EXPECT_EQ(alert->informativeText, *c.details);
    EXPECT_TRUE(alert->buttons.empty());
  }
  EXPECT_EQ(RefusedPictures::reason(Error{"d", 1, "The data is not a picture that can be read"}),
            "The data is not a picture that can be read.");
}
