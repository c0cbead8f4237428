// Names of 255 bytes, the most a name may take: a picture and an asset of such names in a
// document, and the document itself saved under one, are written, reduced, saved and opened
// again, with no temporary left beside them.
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "ContainerTestSupport.h"
#include "document/storage/KXFileStatusRecord.h"

using namespace containertest;

namespace {

// A name of exactly 255 bytes of `unit`, padded with "x", ending in `extension`.
std::string longestName(const std::string& unit, const std::string& extension) {
  std::string name;
  while (name.size() + unit.size() + extension.size() <= 255) name += unit;
  name.append(255 - extension.size() - name.size(), 'x');
  return name + extension;
}

std::string png(int width, int height) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  gdk_pixbuf_fill(pixbuf, 0x3366ccff);
  gchar* buffer = nullptr;
  gsize length = 0;
  gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &length, "png", nullptr, nullptr);
  std::string out(buffer, length);
  g_free(buffer);
  g_object_unref(pixbuf);
  return out;
}

std::string entryOf(const KXDocumentArchive& archive, const std::string& path) {
  return storagetest::read(archive.backing().dataReader(path));
}

std::vector<std::string> hiddenIn(const std::filesystem::path& folder) {
  std::vector<std::string> hidden;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec); !ec && it != std::filesystem::recursive_directory_iterator();
       it.increment(ec)) {
    auto name = it->path().filename().string();
    if (name[0] == '.' && name != ".cache" && name != ".backups" && name != ".npmrc" && name != ".gitignore" &&
        name != KXFileStatusRecord::fileName)
      hidden.push_back(it->path().string());
  }
  return hidden;
}

}  // namespace

TEST(LongNames, APictureAnAssetAndADocumentOfTheLongestNamesAreWrittenSavedAndOpenedAgain) {
  const auto picture = png(1400, 1000);
  for (const std::string unit : {"p", "\u00e9", "\u65e5"}) {
    SCOPED_TRACE(unit);
    const auto image = longestName(unit, ".png");
    const auto asset = longestName(unit, ".bin");
    const auto document = longestName(unit, ".korvelx");
    ASSERT_EQ(image.size(), 255u);
    ASSERT_EQ(document.size(), 255u);
    auto files = kProject;
    files["design/images/" + image] = picture;
    auto opened = openZipDocument(makeZipProject(files));
    auto& container = *opened.container;
    // Expanded into the working copy, and its reduced copies made under its name.
    EXPECT_EQ(readFileText(container.projectDirectory() / "design/images" / image), picture);
    auto reduced = container.projectDirectory() / ".cache/images/1024" / image;
    ASSERT_TRUE(RunLoop::runUntil([&] {
      return KXDocumentContainer::reducedCopiesInProgress() == 0 &&
             std::filesystem::is_regular_file(std::filesystem::symlink_status(reduced));
    }, 60));
    auto added = container.addAsset(dataFromString("asset"), asset);
    ASSERT_TRUE(added) << added.error().description();
    EXPECT_EQ(*added, "design/assets/" + asset);

    // Saved under a name of 255 bytes, as a zip and as a folder, and opened again.
    auto folder = testenv::freshFolder("long");
    auto zip = folder / document;
    auto target = KXDocumentArchive::open(zip, KXDocumentArchive::zipDocumentType, true, std::nullopt, true);
    ASSERT_TRUE(target) << target.error().description();
    auto saved = container.save(**target, KXDocumentContainer::ArchiveRelation::copy());
    ASSERT_TRUE(saved) << saved.error().description();
    auto again = openZip(zip);
    EXPECT_EQ(entryOf(*again, "design/images/" + image), picture);
    EXPECT_EQ(entryOf(*again, "design/assets/" + asset), "asset");
    auto savedFolder = folder / longestName(unit, "");
    auto folderTarget =
        KXDocumentArchive::open(savedFolder, KXDocumentArchive::folderDocumentType, true, std::nullopt, false);
    ASSERT_TRUE(folderTarget) << folderTarget.error().description();
    saved = container.save(**folderTarget, KXDocumentContainer::ArchiveRelation::copy());
    ASSERT_TRUE(saved) << saved.error().description();
    EXPECT_EQ(readFileText(savedFolder / "design/images" / image), picture);
    EXPECT_EQ(readFileText(savedFolder / "design/assets" / asset), "asset");
    EXPECT_EQ(hiddenIn(folder), std::vector<std::string>{});
    EXPECT_EQ(hiddenIn(container.projectDirectory()), std::vector<std::string>{});
    close(opened);
  }
}
