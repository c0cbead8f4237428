#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <tuple>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "ContainerTestSupport.h"
#include "document/storage/KXDocumentError.h"
#include "export/PDFFixtures.h"
#include "platform/WaitedForWork.h"
#include "support/HostilePictures.h"
#include "support/OrientedPictures.h"
#include "zip/ZZArchive.h"

using namespace containertest;

namespace {
// The working copy of a zip project holding `files` beside its document, read; none when the read fails.
std::shared_ptr<KXDocumentContainer> readProject(std::map<std::string, std::string> files = {}) {
  files.emplace("design/document.json", R"({"version":1})");
  auto file = makeZipProject(files);
  auto archive = openZip(file);
  auto container = *KXDocumentContainer::create(archive->uuid(), file);
  if (!container->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false))) return nullptr;
  return container;
}

std::shared_ptr<KXDocumentContainer> emptyProject() {
  auto container = readProject();
  EXPECT_TRUE(container);
  return container;
}

Data imageBytes(int width, int height, const char* type) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  gdk_pixbuf_fill(pixbuf, 0x3366ccff);
  gchar* buffer = nullptr;
  gsize length = 0;
  gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &length, type, nullptr, nullptr);
  Data out(reinterpret_cast<std::uint8_t*>(buffer), reinterpret_cast<std::uint8_t*>(buffer) + length);
  g_free(buffer);
  g_object_unref(pixbuf);
  return out;
}

std::pair<int, int> sizeOf(const std::filesystem::path& file) {
  int w = 0, h = 0;
  gdk_pixbuf_get_file_info(file.c_str(), &w, &h);
  return {w, h};
}

bool waitForFile(const std::filesystem::path& p) {
  return RunLoop::runUntil([&] { return std::filesystem::is_regular_file(std::filesystem::symlink_status(p)); }, 20);
}
}  // namespace

TEST(ContainerImages, ImagesAreNamedByContent) {
  auto c = emptyProject();
  auto png = imageBytes(10, 10, "png");
  auto name = c->addImage(png);
  ASSERT_TRUE(name);
  EXPECT_EQ(name->substr(name->size() - 4), ".png");
  EXPECT_EQ(*c->addImage(png), *name);
  EXPECT_TRUE(c->addImage(imageBytes(10, 10, "jpeg"))->ends_with(".jpg"));
  auto pdf = c->addImage(greenPDF(120, 80));
  ASSERT_TRUE(pdf);
  EXPECT_EQ(sizeOf(c->projectDirectory() / "design/images" / *pdf), (std::pair<int, int>{120, 80}));
  auto broken = c->addImage(dataFromString("%PDF-1.4 not really"));
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().code, 8);
}

TEST(ContainerImages, BytesThatAreNoImageAreRefusedAndNothingIsWritten) {
  auto c = emptyProject();
  auto images = c->projectDirectory() / "design/images";
  for (const Data& bytes : {dataFromString("abc"), Data(), dataFromString("\x89PNG"), dataFromString(std::string_view("RIFF\0\0\0\0WEBPVP8 ", 16)),
                            dataFromString("<html><body>hello</body></html>")}) {
    auto name = c->addImage(bytes);
    ASSERT_FALSE(name) << *name;
    EXPECT_EQ(name.error().code, 8);
  }
  std::error_code ec;
  EXPECT_TRUE(!std::filesystem::exists(images, ec) || std::filesystem::is_empty(images, ec));
}

TEST(ContainerImages, PostScriptIsStoredAsItsPicture) {
  auto c = emptyProject();
  std::string eps = "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 30 20\n"
                    "0 0 1 setrgbcolor 0 0 moveto 30 0 lineto 30 20 lineto 0 20 lineto closepath fill\nshowpage\n";
  auto name = c->addImage(dataFromString(eps));
  ASSERT_TRUE(name) << name.error().description();
  EXPECT_TRUE(name->ends_with(".png"));
  EXPECT_EQ(sizeOf(c->projectDirectory() / "design/images" / *name), (std::pair<int, int>{30, 20}));
  GdkPixbuf* picture = gdk_pixbuf_new_from_file((c->projectDirectory() / "design/images" / *name).c_str(), nullptr);
  ASSERT_TRUE(picture);
  const guint8* pixel = gdk_pixbuf_read_pixels(picture) + 10 * gdk_pixbuf_get_rowstride(picture) + 15 * gdk_pixbuf_get_n_channels(picture);
  EXPECT_EQ((std::array<int, 3>{pixel[0], pixel[1], pixel[2]}), (std::array<int, 3>{0, 0, 255}));
  g_object_unref(picture);
  EXPECT_FALSE(c->addImage(dataFromString("%!PS-Adobe-3.0\n this is not PostScript (")));
}

TEST(ContainerImages, PastedAndProposedNamesStayInsideTheProject) {
  auto c = emptyProject();
  auto source = testenv::freshFolder("paste") / "x.png";
  ASSERT_TRUE(fs::writeAtomically(source, imageBytes(4, 4, "png")));
  EXPECT_FALSE(c->addImage("../escape.png", source));
  EXPECT_FALSE(c->addImage("sub/x.png", source));
  ASSERT_TRUE(c->addImage("x.png", source));
  ASSERT_TRUE(fs::writeAtomically(source, std::string_view("different")));
  ASSERT_TRUE(c->addImage("x.png", source));  // an existing image stays as it is
  EXPECT_NE(readFileText(c->projectDirectory() / "design/images/x.png"), "different");
  EXPECT_FALSE(c->addImage("y.png", source.parent_path() / "missing.png"));

  EXPECT_EQ(*c->addAsset(dataFromString("one"), "logo.png"), "design/assets/logo.png");
  EXPECT_EQ(*c->addAsset(dataFromString("one"), "logo.png"), "design/assets/logo.png");
  EXPECT_EQ(*c->addAsset(dataFromString("two"), "logo.png"), "design/assets/logo (1).png");
  EXPECT_EQ(*c->addAsset(dataFromString("l"), "LICENSE"), "design/assets/LICENSE.");
  EXPECT_EQ(*c->addAsset(dataFromString("<svg/>"), "icons/a.svg"), "design/assets/icons/a.svg");
  EXPECT_FALSE(c->addAsset(dataFromString("x"), "../../../escape.txt"));
  EXPECT_FALSE(c->addAsset(dataFromString("x"), "/etc/passwd"));
  EXPECT_EQ(*c->addAsset(dataFromString("<svg/>"), "icons/a.svg"), "design/assets/icons/a.svg");
  EXPECT_EQ(*c->addAsset(dataFromString("<svg a/>"), "icons/a.svg"), "design/assets/icons/a (1).svg");

  // A folder on the way that is a link out of the project is not followed.
  auto outside = testenv::freshFolder("outside");
  std::filesystem::create_directory_symlink(outside, c->projectDirectory() / "design/assets/linked");
  EXPECT_FALSE(c->addAsset(dataFromString("x"), "linked/a.txt"));
  EXPECT_FALSE(std::filesystem::exists(outside / "a.txt"));
}

TEST(ContainerImages, ReducedCopiesReplaceLinksWhereASmallerPictureIsCalledFor) {
  auto c = emptyProject();
  auto name = *c->addImage(imageBytes(4000, 3000, "png"));
  auto cache = c->projectDirectory() / ".cache/images";
  ASSERT_TRUE(waitForFile(cache / "2048" / name));
  ASSERT_TRUE(waitForFile(cache / "512" / name));
  EXPECT_EQ(sizeOf(cache / "512" / name), (std::pair<int, int>{1024, 768}));
  EXPECT_EQ(sizeOf(cache / "2048" / name), (std::pair<int, int>{4096, 3072}));

  auto small = *c->addImage(imageBytes(800, 600, "jpeg"));
  ASSERT_TRUE(waitForFile(cache / "512" / small));
  EXPECT_EQ(sizeOf(cache / "512" / small), (std::pair<int, int>{1024, 768}));
  auto head = fs::readFile(cache / "512" / small);
  EXPECT_EQ((*head)[0], 0xFF);  // a JPEG source gives JPEG copies
  EXPECT_TRUE(std::filesystem::is_symlink(cache / "1024" / small));
  EXPECT_TRUE(std::filesystem::is_symlink(cache / "2048" / small));
}

// A reduced copy is the picture as the pages draw the stored file: a photograph turned by its
// EXIF block as they turn it (the first block that names an orientation decides), not as the
// decoder's own reading would.
TEST(ContainerImages, ReducedCopiesStandAsThePagesDrawTheirPicture) {
  auto c = emptyProject();
  auto cache = c->projectDirectory() / ".cache/images";
  const Data photo = imageBytes(800, 600, "jpeg");
  auto turn = [](std::uint32_t o) { return testenv::exifSegment(testenv::exifBody(o)); };
  struct Case {
    const char* what;
    Data bytes;
    std::pair<int, int> copy;
  } cases[] = {
      {"JPEG, orientation 6", testenv::jpegWith(photo, {turn(6)}), {768, 1024}},
      {"JPEG, orientation 1 before 6", testenv::jpegWith(photo, {turn(1), turn(6)}), {1024, 768}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    auto name = c->addImage(k.bytes);
    ASSERT_TRUE(name);
    ASSERT_TRUE(waitForFile(cache / "512" / *name));
    EXPECT_EQ(sizeOf(cache / "512" / *name), k.copy);
  }
}

// A large TIFF read in strips is decoded at its largest copy's size as it is read; one that is
// turned, whole and then turned: either way every copy has the size and the pixels the pages draw.
TEST(ContainerImages, ReducedCopiesOfATIFFHaveThePagesSizesHoweverItIsDecoded) {
  const Data strips = testenv::noiseTiff(8192, 6144, 1, 0xC0), turned = testenv::tiffPicture(3000, 4000, {}, 1, {{274, 6}});
  auto c = readProject({{"design/images/strips.tiff", std::string(strips.begin(), strips.end())},
                          {"design/images/turned.tiff", std::string(turned.begin(), turned.end())}});
  ASSERT_TRUE(c);
  auto cache = c->projectDirectory() / ".cache/images";
  struct Case {
    const char *name, *size;
    std::pair<int, int> copy;
  } cases[] = {{"strips.tiff", "2048", {4096, 3072}}, {"strips.tiff", "1024", {2048, 1536}},
               {"strips.tiff", "512", {1024, 768}},   {"turned.tiff", "2048", {4096, 3072}},
               {"turned.tiff", "1024", {2048, 1536}}, {"turned.tiff", "512", {1024, 768}}};
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.size) + "/" + k.name);
    ASSERT_TRUE(waitForFile(cache / k.size / k.name));
    EXPECT_EQ(sizeOf(cache / k.size / k.name), k.copy);
  }
  // Noise of four grey levels averages to a grey between them; the turned picture is black.
  for (const auto& [name, least, most] : {std::tuple{"strips.tiff", 60, 130}, std::tuple{"turned.tiff", 0, 0}}) {
    GdkPixbuf* copy = gdk_pixbuf_new_from_file((cache / "512" / name).c_str(), nullptr);
    ASSERT_TRUE(copy) << name;
    const guchar* p = gdk_pixbuf_get_pixels(copy) + 300 * gdk_pixbuf_get_rowstride(copy) + 500 * gdk_pixbuf_get_n_channels(copy);
    EXPECT_GE(p[0], least) << name;
    EXPECT_LE(p[0], most) << name;
    EXPECT_EQ(p[0], p[2]) << name << " is grey";
    g_object_unref(copy);
  }
}

// Reduced copies, which no one waits for, wait while work someone does (an export) is under way,
// and are made once it has ended.
TEST(ContainerImages, ReducedCopiesWaitWhileAnExportIsUnderWay) {
  auto c = emptyProject();
  auto cache = c->projectDirectory() / ".cache/images";
  // Copies other tests started are made first: the one that waits is this test's.
  ASSERT_TRUE(RunLoop::runUntil([] { return KXDocumentContainer::reducedCopiesInProgress() == 0; }, 60));
  auto exporting = WaitedForWork::begin();
  auto name = *c->addImage(imageBytes(4000, 3000, "png"));
  ASSERT_TRUE(RunLoop::runUntil([] { return WaitedForWork::givingWay() >= 1; }, 20));
  EXPECT_TRUE(std::filesystem::is_symlink(cache / "512" / name));
  exporting.reset();
  ASSERT_TRUE(waitForFile(cache / "512" / name));
  EXPECT_EQ(sizeOf(cache / "512" / name), (std::pair<int, int>{1024, 768}));
}

TEST(ContainerImages, OpeningADocumentDecodesNoHostilePicture) {
  // Pictures of someone else's document: a PNG header promising 60000 × 60000 pixels, and an
  // SVG under a picture's name, which a guessing decoder would draw.
  Data bomb = testenv::pngHeader(60000, 60000);
  std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="4000" height="3000"><rect width="4000" height="3000"/></svg>)";
  Data good = imageBytes(4000, 3000, "png");
  auto c = readProject({{"design/images/bomb.png", std::string(bomb.begin(), bomb.end())},
                          {"design/images/drawing.png", svg},
                          {"design/images/good.png", std::string(good.begin(), good.end())}});
  ASSERT_TRUE(c);
  auto cache = c->projectDirectory() / ".cache/images";
  // The good picture's reduced copy marks the end of the work: one worker makes them in turn.
  ASSERT_TRUE(waitForFile(cache / "512" / "good.png"));
  std::string log;
  ASSERT_TRUE(RunLoop::runUntil([&] {
    log = stringFromData(fs::readFile(c->uuidDirectory() / KXDocumentContainer::nameForProjectLog).value_or(Data()));
    return log.find("bomb.png") != std::string::npos;
  }, 20));
  EXPECT_NE(log.find("Couldn't make reduced copies of bomb.png: The picture is too large: 60000 × 60000 pixels"),
            std::string::npos)
      << log;
  for (const char* name : {"bomb.png", "drawing.png"})
    for (const char* size : {"512", "1024", "2048"})
      EXPECT_TRUE(std::filesystem::is_symlink(cache / size / name)) << size << "/" << name << " stays a link";
}

TEST(ContainerImages, OpeningADocumentDecodesNoPictureAtMoreThanItsHeaderSays) {
  // Headers that a reader taking the wrong frame or the wrong size entry would pass as 100 × 100.
  Data jpeg = testenv::jpegLiar(30000, 30000, 100, 100), tiff = testenv::tiffPicture(15000, 15000, std::pair{100u, 100u});
  auto c = readProject({{"design/images/liar.jpg", std::string(jpeg.begin(), jpeg.end())},
                          {"design/images/liar.tiff", std::string(tiff.begin(), tiff.end())}});
  ASSERT_TRUE(c);
  std::string log;
  const std::string refused = "Couldn't make reduced copies of ";
  ASSERT_TRUE(RunLoop::runUntil([&] {
    log = stringFromData(fs::readFile(c->uuidDirectory() / KXDocumentContainer::nameForProjectLog).value_or(Data()));
    return log.find(refused + "liar.jpg") != std::string::npos && log.find(refused + "liar.tiff") != std::string::npos;
  }, 60)) << log;
  EXPECT_NE(log.find(refused + "liar.jpg: The picture is too large: 30000 × 30000 pixels"), std::string::npos) << log;
  EXPECT_NE(log.find(refused + "liar.tiff: The picture is too large: 15000 × 15000 pixels"), std::string::npos) << log;
}

TEST(ContainerImages, OpeningADocumentDecodesNoPictureAtMoreThanItsPixelsCost) {
  // A JPEG of 200 scans, each drawn in full by a progressive decoder; a PNG cut half-way through
  // its data; a PNG whose text inflates to 790 MB.
  Data scans = testenv::jpegProgressive(8192, 8192, 194), whole = imageBytes(2000, 2000, "png");
  Data cut(whole.begin(), whole.begin() + std::ptrdiff_t(whole.size() / 2));
  Data text = testenv::withTextChunks(imageBytes(1200, 900, "png"), "zTXt", 100, 7900000);
  auto c = readProject({{"design/images/scans.jpg", std::string(scans.begin(), scans.end())},
                          {"design/images/cut.png", std::string(cut.begin(), cut.end())},
                          {"design/images/text.png", std::string(text.begin(), text.end())}});
  ASSERT_TRUE(c);
  auto cache = c->projectDirectory() / ".cache/images";
  auto settled = [&](const char* name) {
    std::error_code ec;
    return std::filesystem::read_symlink(cache / "512" / name, ec).string().find("/./") != std::string::npos;
  };
  std::string log;
  ASSERT_TRUE(RunLoop::runUntil([&] {
    log = stringFromData(fs::readFile(c->uuidDirectory() / KXDocumentContainer::nameForProjectLog).value_or(Data()));
    return log.find("scans.jpg") != std::string::npos && settled("cut.png") &&
           std::filesystem::is_regular_file(std::filesystem::symlink_status(cache / "512" / "text.png"));
  }, 60)) << log;
  EXPECT_NE(log.find("Couldn't make reduced copies of scans.jpg: The picture has too many scans: 200"), std::string::npos)
      << log;
  for (const char* size : {"512", "1024", "2048"}) {
    EXPECT_TRUE(std::filesystem::is_symlink(cache / size / "scans.jpg")) << size;
    EXPECT_TRUE(std::filesystem::is_symlink(cache / size / "cut.png")) << size << ": no copy of a part of a picture";
  }
  EXPECT_EQ(sizeOf(cache / "512" / "text.png"), (std::pair<int, int>{1024, 768}));
}

TEST(ContainerImages, ImagesThatGiveNoReducedCopyAreNotTriedAgainAtTheNextOpening) {
  auto small = imageBytes(100, 80, "png"), large = imageBytes(1200, 900, "png");
  std::map<std::string, std::string> project = {
      {"design/document.json", R"({"version":1})"},
      {"design/images/notes.png", "not a picture"},
      {"design/images/small.png", std::string(small.begin(), small.end())},
      {"design/images/large.png", std::string(large.begin(), large.end())}};
  auto file = makeZipProject(project);
  auto open = [&] {
    auto archive = openZip(file);
    auto container = *KXDocumentContainer::create(archive->uuid(), file);
    EXPECT_TRUE(container->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false)));
    return container;
  };
  auto logOf = [](const KXDocumentContainer& c) { return readFileText(c.uuidDirectory() / "container.log"); };

  auto first = open();
  EXPECT_NE(logOf(*first).find("Making reduced copies of 3 image(s)"), std::string::npos);
  // Each picture is tried once: what stays a link then leads to the image by its settled path.
  auto cache = first->projectDirectory() / ".cache/images";
  auto settled = [&](const char* size, const std::string& name) {
    return std::filesystem::read_symlink(cache / size / name).string() == "../../../design/images/./" + name;
  };
  ASSERT_TRUE(RunLoop::runUntil([&] {
    std::error_code ec;
    return settled("512", "notes.png") && settled("1024", "notes.png") && settled("2048", "notes.png") &&
           settled("512", "small.png") && settled("2048", "small.png") && settled("2048", "large.png") &&
           std::filesystem::is_regular_file(std::filesystem::symlink_status(cache / "1024" / "large.png", ec));
  }, 30));
  EXPECT_EQ(sizeOf(cache / "512" / "small.png"), (std::pair<int, int>{100, 80}));
  first->invalidate();
  first.reset();

  auto second = open();
  auto log = logOf(*second);
  auto reading = log.rfind("Reading from ");
  ASSERT_NE(reading, std::string::npos);
  EXPECT_NE(log.find("preserving existing contents of project folder: true", reading), std::string::npos);
  EXPECT_EQ(log.find("Making reduced copies", reading), std::string::npos) << log.substr(reading);
}

namespace {
// A zip written entry by entry, whatever its names: what another program may hand us.
std::filesystem::path zipOf(const std::vector<std::pair<std::string, std::string>>& files) {
  auto file = testenv::freshFolder("hostile-zip") / "Project.korvelx";
  auto zip = ZZArchive::archiveWithURL(file, {{ZZOpenOptionsCreateIfMissingKey, true}});
  EXPECT_TRUE(zip);
  std::vector<std::shared_ptr<ZZArchiveEntry>> entries;
  for (const auto& [name, content] : files)
    entries.push_back(ZZArchiveEntry::archiveEntryWithFileName(name, false, [content] { return Result<Data>(dataFromString(content)); }));
  EXPECT_TRUE((*zip)->updateEntries(entries));
  return file;
}

// Hidden names in the cache and the backups, but for those of reduced copies this process is
// making right now: they are live work, not what a document or an ended run brought.
std::vector<std::string> hiddenCacheItems(const std::filesystem::path& project) {
  std::vector<std::string> found;
  std::error_code ec;
  const auto live = ".korvel-" + std::to_string(::getpid()) + "-";
  for (const char* folder : {".cache/images/512", ".cache/images/1024", ".cache/images/2048", ".backups"})
    for (auto& item : std::filesystem::directory_iterator(project / folder, ec)) {
      auto name = item.path().filename().string();
      if (name[0] == '.' && name.rfind(live, 0) != 0) found.push_back(std::string(folder) + "/" + name);
    }
  return found;
}

pid_t endedProcess() {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}
}  // namespace

// Reduced copies and settled links are made under hidden names first; a run that ends (or a
// save that comes) in between must not carry those names into the document, and a document
// that holds such names brings none of them along.
TEST(ContainerImages, NothingTemporaryOfTheCacheIsSavedAndAReopenSweepsWhatAnEndedRunLeft) {
  auto small = imageBytes(100, 80, "png");
  auto file = zipOf({{"design/document.json", R"({"version":1})"},
                     {"design/images/pic.png", std::string(small.begin(), small.end())},
                     {".cache/images/512/.settled-0a1b2c3d4e5f", "../../../design/images/./pic.png"},
                     {".cache/images/1024/.pic.png.Ab12Cd", ""},
                     {".cache/images/2048/.korvel-1-0a1b2c3d4e5f", ""},
                     {".backups/.2026-01-01 10.00.00.zip.korvel-tmp-1-Ab12Cd/design/document.json", "{}"}});
  auto open = [&] {
    auto archive = openZip(file);
    auto container = *KXDocumentContainer::create(archive->uuid(), file);
    EXPECT_TRUE(container->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false)));
    return std::pair(container, archive);
  };
  auto [container, archive] = open();
  auto project = container->projectDirectory();
  EXPECT_EQ(hiddenCacheItems(project), std::vector<std::string>{}) << "the document's temporaries came along";
  auto cache = project / ".cache/images";
  ASSERT_TRUE(RunLoop::runUntil([&] {
    return std::filesystem::read_symlink(cache / "2048" / "pic.png").string() == "../../../design/images/./pic.png";
  }, 30));

  // What a run that ended half way left: a staged link, a copy begun, a temporary of its own.
  auto ended = std::to_string(endedProcess());
  ASSERT_EQ(::symlink("../../../design/images/./pic.png", (cache / "512" / ".settled-00ff00ff00ff").c_str()), 0);
  ASSERT_EQ(::symlink("../../../design/images/./pic.png", (cache / "512" / (".korvel-" + ended + "-00ff00ff00ff")).c_str()), 0);
  writeTree(project, {{".cache/images/1024/.pic.png.Zz99Yy", ""},
                      {".cache/images/2048/.korvel-" + ended + "-0123456789ab", ""}});
  ASSERT_TRUE(container->save(*archive, KXDocumentContainer::ArchiveRelation::origin(false)));
  auto saved = ZZArchive::archiveWithURL(file, {});
  ASSERT_TRUE(saved);
  for (const auto& entry : (*saved)->entries()) {
    auto name = entry->fileName().value_or("");
    EXPECT_TRUE(name.find("/.") == std::string::npos && name.rfind(".cache/images/512/.", 0) != 0) << name;
  }
  container->invalidate();
  container.reset();

  auto [reopened, again] = open();
  EXPECT_EQ(hiddenCacheItems(reopened->projectDirectory()), std::vector<std::string>{}) << "an ended run's temporaries stay";
  EXPECT_TRUE(std::filesystem::is_symlink(reopened->projectDirectory() / ".cache/images/512/pic.png"));
}
