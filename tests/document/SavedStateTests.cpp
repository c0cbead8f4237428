// Saved means saved, for a person: pictures inserted through the editor page and saved leave a
// document that is not Edited, whatever korvel makes of them in its working copy meanwhile; and
// a folder document whose manifest is a named pipe or a socket is refused at once, by name.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <nlohmann/json.hpp>

#include "DocumentTestSupport.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "document/storage/KXDocumentContainer.h"
#include "export/Bitmap.h"
#include "platform/Crypto.h"
#include "platform/ErrorWording.h"
#include "platform/FileSystem.h"
#include "platform/UniqueFd.h"
#include "support/SolidBitmap.h"
#include "support/TestEnvironment.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

using SavedState = ControllerTest;

// Hands the page a picture file as a drop does: a data URL and a place.
bool dropOnPage(KXDocument& document, const Data& png, const std::string& name, int x) {
  std::string file = "data:image/png;base64," + crypto::base64Encode(png);
  return evaluate(document, "fetch(" + nlohmann::json(file).dump() + ").then(function (r) { return r.blob(); })"
                            ".then(function (b) { OstrelStandIn.sendFiles([new File([b], " + nlohmann::json(name).dump() +
                            ", {type: 'image/png'})], {x: " + std::to_string(x) + ", y: 20}); }); true")
      .has_value();
}

std::size_t imageLayers(KXDocument& document) {
  auto found = evaluate(document, "(OstrelStandIn.documentJSON.pages[0].layers || [])"
                                  ".filter(function (l) { return l.type === 'image'; }).length");
  return found && found->is_number() ? found->get<std::size_t>() : 0;
}

// Every reduced copy in the working copy made or settled as a link to its picture.
bool reducedCopiesSettled(const fsys::path& project) {
  if (KXDocumentContainer::reducedCopiesInProgress() != 0) return false;
  std::error_code ec;
  for (const auto& item : fsys::directory_iterator(project / "design/images", ec))
    for (const char* size : {"512", "1024", "2048"}) {
      auto copy = project / ".cache/images" / size / item.path().filename();
      std::error_code link;
      auto target = fsys::read_symlink(copy, link);
      if (!fsys::is_regular_file(fsys::symlink_status(copy)) && (link || target.string().find("/./") == std::string::npos))
        return false;
    }
  return !ec;
}

}  // namespace

// Pictures inserted through the editor page, larger than every reduced size and between two of
// them: once their reduced copies are made, a save leaves the document unedited, and so does the
// next one; the working copy's log counts no file changed while it was written.
TEST_F(SavedState, ASaveAfterPicturesWereInsertedIsNotEdited) {
  auto source = dir / "source";
  writeProject(source, "Pictures");
  auto zip = dir / "Pictures.korvelx";
  makeZip(source, zip);
  auto document = openWith(*controller, zip);
  ASSERT_TRUE(document);
  ASSERT_TRUE(waitForEditor(*document));
  ASSERT_TRUE(dropOnPage(*document, ImageEncoding::png(testenv::solidBitmap(2400, 1600, 20, 120, 200)), "wide.png", 10));
  ASSERT_TRUE(waitFor([&] { return imageLayers(*document) == 1; }, 120));
  ASSERT_TRUE(dropOnPage(*document, ImageEncoding::png(testenv::solidBitmap(1400, 900, 200, 120, 20)), "mid.png", 300));
  ASSERT_TRUE(waitFor([&] { return imageLayers(*document) == 2; }, 120));
  auto project = document->container()->projectDirectory();
  ASSERT_TRUE(waitFor([&] { return reducedCopiesSettled(project); }, 120));
  ASSERT_TRUE(waitFor([&] { return document->isDocumentEdited(); }, 30));

  for (int save = 1; save <= 2; ++save) {
    auto error = saveAndWait(*document, zip, KXDocument::zipType, 0);
    ASSERT_FALSE(error) << error->description();
    EXPECT_FALSE(document->isDocumentEdited()) << "save " << save;
  }
  auto log = readFile(document->container()->uuidDirectory() / KXDocumentContainer::nameForProjectLog);
  for (std::size_t at = log.find("files changed while it was written: "); at != std::string::npos;
       at = log.find("files changed while it was written: ", at + 1))
    EXPECT_EQ(log.compare(at, 37, "files changed while it was written: 0"), 0) << log;
  auto stored = documentInZip(zip);
  ASSERT_TRUE(stored);
  EXPECT_NE(stored->dump().find("wide.png"), std::string::npos);
}

namespace {

std::vector<UniqueFd> sockets;

void plantSocket(const fsys::path& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(fd);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.string().size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  sockets.push_back(std::move(fd));
}

}  // namespace

// A folder document whose manifest is a named pipe or a socket: the opening ends within seconds,
// refused with the file named and what it is, and nothing is left open or opening.
TEST_F(SavedState, AFolderWhoseManifestIsAPipeOrASocketIsRefusedAtOnce) {
  struct Case {
    const char* kind;
    std::function<void(const fsys::path&)> plant;
  } cases[] = {
      {"a named pipe", [](const fsys::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"a socket", plantSocket},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    auto folder = dir / (std::string("Planted ") + (c.kind + 2));
    writeProject(folder, "Planted");
    auto manifest = folder / "_project.korvelxproj";
    c.plant(manifest);
    std::optional<std::optional<Error>> outcome;
    controller->openDocument(folder, true, [&](std::shared_ptr<Document>, bool, std::optional<Error> error) {
      outcome = std::move(error);
    });
    // A bound that only catches an opening held by the pipe: one still held is let go by a writer.
    bool ended = waitFor([&] { return outcome.has_value(); }, 30);
    if (!ended) ::close(::open(manifest.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(waitFor([&] { return outcome.has_value(); }, 60));
    EXPECT_TRUE(ended) << "the opening waited on the manifest";
    ASSERT_TRUE(*outcome) << "the folder opened";
    const Error& error = **outcome;
    auto suggestion = error.info(ErrorWording::recoverySuggestionKey).value_or("");
    EXPECT_NE(suggestion.find("“_project.korvelxproj” is " + std::string(c.kind)), std::string::npos)
        << error.description();
    EXPECT_FALSE(controller->isOpening(folder));
    EXPECT_TRUE(controller->documents().empty());
  }
}
