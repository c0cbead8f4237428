// A document's cost follows the size of its design: one far larger than a design may be is
// refused before anything is written, whatever its zip's size, and a large one opens, is edited
// and saves with memory to spare. Documents are made by the zip tool, their designs streamed to
// it, and gone after each case.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <thread>

#include "ContainerTestSupport.h"
#include "document/storage/KXExpansionBudget.h"
#include "platform/Crypto.h"
#include "platform/ErrorWording.h"

using namespace containertest;

namespace {

// A design of about `bytes` bytes of pages, whose last page names `lastName`, streamed to the
// zip tool through a pipe; the document holds `images` beside it.
std::filesystem::path designDocument(const std::filesystem::path& folder, std::uint64_t bytes,
                                     const std::string& lastName, const std::map<std::string, std::string>& images) {
  auto source = folder / "source";
  writeTree(source, images);
  std::filesystem::create_directories(source / "design");
  auto file = folder / "Design.korvelx";
  std::string generator =
      "import sys\n"
      "n, last = int(sys.argv[1]), sys.argv[2]\n"
      "w = sys.stdout.buffer.write\n"
      "w(b'{\"version\":1,\"pages\":[')\n"
      "page = b'{\"name\":\"Page\",\"layers\":[{\"kind\":\"text\",\"text\":\"Lorem ipsum \\\\u00e9\",\"x\":12.5}]},'\n"
      "block = page * 1024\n"
      "for _ in range(n // len(block) + 1): w(block)\n"
      "w(('{\"name\":\"%s\"}]}' % last).encode())\n";
  std::ofstream(folder / "design.py") << generator;
  // The zip tool records what it read from a pipe as a pipe: the entry is made a plain file's,
  // in place in the central directory.
  std::string plainFile =
      "import struct, sys\n"
      "f = open(sys.argv[1], 'r+b'); data = f.read()\n"
      "at = struct.unpack_from('<I', data, len(data) - 6)[0]\n"
      "while data[at:at + 4] == b'PK\\x01\\x02':\n"
      "    n, e, c = struct.unpack_from('<HHH', data, at + 28)\n"
      "    if data[at + 46:at + 46 + n] == b'design/document.json':\n"
      "        f.seek(at + 38); f.write(struct.pack('<I', 0o100644 << 16))\n"
      "    at += 46 + n + e + c\n";
  std::ofstream(folder / "plain.py") << plainFile;
  std::string names = "design/document.json";
  for (const auto& [path, content] : images) names += " '" + path + "'";
  EXPECT_EQ(testenv::run("cd '" + source.string() + "' && mkfifo design/document.json && "
                         "{ python3 ../design.py " + std::to_string(bytes) + " '" + lastName +
                         "' > design/document.json & } && zip -q -FI '" + file.string() + "' " + names +
                         " && python3 ../plain.py '" + file.string() + "'"),
            0);
  std::filesystem::remove_all(source);
  return file;
}

// The highest resident memory of this process while `body` runs, looked at every few
// milliseconds, in MB.
long peakResidentMegabytes(const std::function<void()>& body) {
  auto resident = [] {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, residentPages = 0;
    statm >> pages >> residentPages;
    return residentPages * (::sysconf(_SC_PAGESIZE) / 1024) / 1024;
  };
  std::atomic<bool> running = true;
  std::atomic<long> peak = resident();
  std::thread sampler([&] {
    while (running) {
      peak = std::max(peak.load(), resident());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  body();
  running = false;
  sampler.join();
  return std::max(peak.load(), resident());
}

std::set<std::string> namesIn(const std::filesystem::path& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(folder, ec)) names.insert(item.path().filename().string());
  return names;
}

std::string imageNamed(const std::string& content) {
  auto digest = crypto::sha1(std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()));
  return KXDocumentContainer::contentName(Data(digest.begin(), digest.end())) + ".png";
}

// Reads the folder document made in `folder` whose design is a sparse file of `size` bytes,
// which takes no room on the disk; what the read answered.
Result<void> readFolderWithDesignOf(const std::filesystem::path& folder, std::uint64_t size) {
  writeTree(folder, kProject);
  std::filesystem::resize_file(folder / "design/document.json", size);
  auto archive = folderArchive(folder, false);
  auto container = KXDocumentContainer::create(archive);
  if (!container) return fail(container.error());
  FakeEditor editor;
  (*container)->addDataSource(editor.source, KXDocumentArchive::relativePathForDocumentJSON);
  auto read = (*container)->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false));
  (*container)->invalidate();
  (void)(*container)->deleteContainer(false);
  return read;
}

}  // namespace

// The sizes the design of a document of a megabyte or two may claim: refused, at once, naming
// the sizes, with nothing written; or opened, edited and saved.
TEST(DesignSize, ADesignTooLargeIsRefusedAndALargeOneOpensIsEditedAndSaves) {
  std::string named = "named picture", dropped = "dropped picture";
  std::map<std::string, std::string> images = {{"design/images/" + imageNamed(named), named},
                                               {"design/images/" + imageNamed(dropped), dropped}};
  struct Case {
    const char* what;
    std::uint64_t bytes;
    bool opens;
  } cases[] = {
      {"1,000 MB", 1000'000'000, false},
      {"200 MB", 200'000'000, false},
      {"20 MB", 20'000'000, true},
  };
  auto base = KXDocumentContainer::baseDirectory();
  std::filesystem::create_directories(base);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto folder = testenv::freshFolder("design-size");
    auto file = designDocument(folder, c.bytes, imageNamed(named), images);
    auto archive = openZip(file);
    auto declared = dynamic_cast<const KXZipArchiveBacking&>(archive->backing()).declaredSizes();
    ASSERT_GT(declared["design/document.json"], c.bytes);
    auto before = namesIn(base);
    auto started = std::chrono::steady_clock::now();
    long peak = peakResidentMegabytes([&] {
      auto made = KXDocumentContainer::create(archive->uuid(), file);
      ASSERT_TRUE(made);
      auto container = *made;
      FakeEditor editor;
      container->addDataSource(editor.source, KXDocumentArchive::relativePathForDocumentJSON);
      auto opened = container->read(*archive, KXDocumentContainer::ArchiveRelation::origin(false));
      if (!c.opens) {
        ASSERT_FALSE(opened);
        auto heading = opened.error().info(ErrorWording::failureReasonKey).value_or("");
        auto reason = opened.error().info(ErrorWording::recoverySuggestionKey).value_or("");
        EXPECT_EQ(heading, "\u201cDesign.korvelx\u201d can't be opened.");
        for (auto size : {declared["design/document.json"], KXDocumentContainer::maximumDataSourceSize})
          EXPECT_NE(reason.find(KXExpansionBudget::describeSize(size)), std::string::npos) << reason;
        container->invalidate();
        (void)container->deleteContainer(false);
        return;
      }
      ASSERT_TRUE(opened) << opened.error().description();
      EXPECT_EQ(editor.source->data().size(), declared["design/document.json"]);

      // An edit of the first page; the picture the design never names is left out of the save.
      std::string design(editor.source->data().begin(), editor.source->data().end());
      design.replace(design.find("\"Page\""), 6, "\"Edited\"");
      editor.content = design;
      editor.source->setNeedsToBeProvided();
      writeChangesAndWait(*container);
      auto saved = container->save(*archive, KXDocumentContainer::ArchiveRelation::origin(false));
      ASSERT_TRUE(saved) << saved.error().description();
      container->invalidate();
      (void)container->deleteContainer(false);

      auto reopened = openZip(file);
      EXPECT_EQ(read(reopened->backing().dataReader("design/document.json")), design);
      std::set<std::string> files;
      reopened->backing().forEach([&](const std::string& path, const DataReader&) { files.insert(path); });
      EXPECT_TRUE(files.count("design/images/" + imageNamed(named)));
      EXPECT_FALSE(files.count("design/images/" + imageNamed(dropped)));
    });
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s: %s in %.1f s, at most %ld MB resident\n", c.what, c.opens ? "opened, edited, saved" : "refused",
                seconds, peak);
    EXPECT_LT(peak, 1000);
    EXPECT_EQ(namesIn(base), before) << "the document left a working copy or a copy aside";
    std::filesystem::remove_all(folder);
  }
}

// The same rule holds for a folder document and for a working copy taken up again, whose
// unsaved edits are kept aside before the opening gives it up.
TEST(DesignSize, AFolderOrAWorkingCopyHoldingTooLargeADesignIsRefused) {
  auto folder = testenv::freshFolder("design-size-folder");
  auto read = readFolderWithDesignOf(folder, 200'000'000);
  ASSERT_FALSE(read);
  EXPECT_NE(read.error().info(ErrorWording::recoverySuggestionKey).value_or("").find("200.0 MB"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(folder / "design/document.json"), 200'000'000u);

  // The working copy's design grew, not the file's: the alert gives the copy's size, says its
  // edits were kept and where, now rather than at the next opening.
  auto file = makeZipProject(kProject);
  auto opened = openZipDocument(file);
  auto workingCopy = opened.container->projectDirectory();
  auto uuid = opened.container->uuid();
  std::ofstream(workingCopy / "code/index.js") << "export const unsaved = 1";
  std::filesystem::resize_file(workingCopy / "design/document.json", 150'000'000);
  close(opened);
  auto again = KXDocumentContainer::create(uuid, file);
  ASSERT_TRUE(again);
  FakeEditor editor2;
  (*again)->addDataSource(editor2.source, KXDocumentArchive::relativePathForDocumentJSON);
  auto reread = (*again)->read(*openZip(file), KXDocumentContainer::ArchiveRelation::origin(false));
  ASSERT_FALSE(reread);
  ASSERT_TRUE((*again)->setAsideCopy());
  auto aside = *(*again)->setAsideCopy();
  EXPECT_EQ(readFileText(aside / "code/index.js"), "export const unsaved = 1");
  auto reason = reread.error().info(ErrorWording::recoverySuggestionKey).value_or("");
  EXPECT_EQ(reread.error().info(ErrorWording::failureReasonKey), "\u201cProject.korvelx\u201d can't be opened.");
  EXPECT_NE(reason.find("unsaved edits"), std::string::npos) << reason;
  EXPECT_NE(reason.find("150.0 MB"), std::string::npos) << reason;
  EXPECT_NE(reason.find(aside.string()), std::string::npos) << reason;
  EXPECT_FALSE(KXDocumentContainer::setAsideCopyToAnnounce(uuid)) << "announced twice";
  (*again)->invalidate();
  (void)(*again)->deleteContainer(false);
  std::filesystem::remove_all(aside);
}

// At the bound the alerts of opening and of saving tell the sizes apart, in bytes where the shorter
// form shows them alike.
TEST(DesignSize, TheAlertTellsADesignJustPastTheBoundFromTheBound) {
  const auto bound = KXDocumentContainer::maximumDataSourceSize;
  auto bytes = [](std::uint64_t n) {
    auto digits = std::to_string(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<std::size_t>(at), ",");
    return digits + " bytes";
  };
  struct Case {
    std::uint64_t size;
    std::string told, bound;
  } cases[] = {
      {bound + 1, bytes(bound + 1), bytes(bound)},
      {bound * 2, KXExpansionBudget::describeSize(bound * 2), KXExpansionBudget::describeSize(bound)},
  };
  for (const auto& c : cases) {
    auto read = readFolderWithDesignOf(testenv::freshFolder("design-size-bound"), c.size);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().info(ErrorWording::recoverySuggestionKey),
              "Its design (\u201cdesign/document.json\u201d) takes " + c.told + ", and a design may take at most " +
                  c.bound + ".");
    // And so does the save that refuses such a design.
    EXPECT_EQ(KXDocumentContainer::designTooLargeToSave(c.size).info(ErrorWording::recoverySuggestionKey),
              "Its design takes " + c.told + ", and a design may take at most " + c.bound +
                  ". Its edits stay in the open window.");
  }
  EXPECT_EQ(KXDocumentContainer::designTooLargeToSave(std::nullopt).info(ErrorWording::recoverySuggestionKey),
            "Its design takes more than " + KXExpansionBudget::describeSize(bound) +
                ", and a design may take at most " + KXExpansionBudget::describeSize(bound) +
                ". Its edits stay in the open window.");
}

// What the editor hands over beyond what a document may hold is never written: the file would be
// refused at its next opening. The design on disk stays as it was and the document stays edited.
TEST(DesignSize, ADesignLargerThanADocumentMayHoldIsNotWritten) {
  auto file = makeZipProject(kProject);
  auto opened = openZipDocument(file);
  auto design = opened.container->projectDirectory() / "design/document.json";
  auto before = readFileText(design);
  for (std::uint64_t size : {KXDocumentContainer::maximumDataSourceSize + 1, KXDocumentContainer::maximumDataSourceSize}) {
    SCOPED_TRACE(size);
    std::string content(size, ' ');
    content.front() = '{';
    content.back() = '}';
    opened.editor->content = std::move(content);
    opened.editor->source->setNeedsToBeProvided();
    writeChangesAndWait(*opened.container);
    bool fits = size <= KXDocumentContainer::maximumDataSourceSize;
    EXPECT_EQ(opened.container->hasUnwrittenChanges(), !fits);
    // What the save then reports is why, not that more changes were made.
    auto reason = opened.container->unwrittenChangesReason();
    EXPECT_EQ(reason.has_value(), !fits);
    if (reason) {
      EXPECT_EQ(reason->info(ErrorWording::failureReasonKey), "The document can't be saved.");
    }
    EXPECT_EQ(std::filesystem::file_size(design), fits ? size : before.size());
  }
  close(opened);
}
