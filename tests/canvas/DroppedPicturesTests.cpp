// Which dropped files reach the page as pictures, and the drop the page is given.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "canvas/DroppedPictures.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "support/TestEnvironment.h"

namespace fsys = std::filesystem;

TEST(DroppedPictures, OnlyPlainPictureFilesAreRead) {
  auto dir = testenv::freshFolder("dropped");
  // A PNG's signature and header: what the type is judged by.
  static const char header[] = "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x02\0\0\0\x02\x08\x06\0\0\0";
  std::string head(header, sizeof header - 1);
  Data png(head.begin(), head.end());
  ASSERT_TRUE(fs::writeInside(dir, "blue.png", png));
  ASSERT_TRUE(fs::writeInside(dir, "picture without a name", png));
  std::ofstream(dir / "notes.txt") << "not a picture";
  std::ofstream(dir / "drawing.svg") << "<svg xmlns=\"http://www.w3.org/2000/svg\"/>";
  ASSERT_EQ(mkfifo((dir / "pipe.png").c_str(), 0600), 0);
  fsys::create_directory(dir / "folder.png");
  fsys::create_symlink(dir / "blue.png", dir / "link.png");

  auto [pictures, left, notPictures] = DroppedPictures::read({dir / "notes.txt", dir / "pipe.png", dir / "folder.png", dir / "missing.png",
                                         "relative.png", dir / "blue.png", dir / "picture without a name",
                                         dir / "drawing.svg", dir / "link.png"});
  std::vector<std::pair<std::string, std::string>> got;
  for (const auto& p : pictures) got.emplace_back(p.name, p.type);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, std::string>>{{"blue.png", "image/png"},
                                                                   {"picture without a name", "image/png"},
                                                                   {"drawing.svg", "image/svg+xml"},
                                                                   {"link.png", "image/png"}}));
  ASSERT_FALSE(pictures.empty());
  EXPECT_EQ(pictures[0].bytes, png);
  EXPECT_TRUE(left.empty());
  // The file that is no picture is named, so that the person hears why it was not added; what
  // could not be read as a plain file is passed over.
  EXPECT_EQ(notPictures, std::vector<std::string>{"notes.txt"});
}

// One alert tells all a drop did not add: the pictures past its bounds and the files that are no
// pictures, each by name.
TEST(DroppedPictures, TheFilesThatAreNoPicturesAreNamedInTheAlert) {
  struct Case {
    std::vector<std::string> left, notPictures;
    std::optional<std::string> message;
    std::vector<std::string> named;
  } cases[] = {
      {{}, {}, std::nullopt, {}},
      {{}, {"notes.txt"}, "“notes.txt” was not added as a picture.", {"“notes.txt”: It is not a picture."}},
      {{}, {"a.txt", "b.pdf"}, "2 files were not added as pictures.", {"“a.txt”: It is not a picture.", "“b.pdf”"}},
      {{"big.png"}, {"notes.txt"}, "A dropped picture was not added.", {"“big.png”", "“notes.txt”: It is not a picture."}},
  };
  for (const auto& c : cases) {
    DroppedPictures::Drop drop;
    drop.left = c.left;
    drop.notPictures = c.notPictures;
    auto alert = DroppedPictures::notAddedAlert(drop);
    ASSERT_EQ(alert.has_value(), c.message.has_value());
    if (!alert) continue;
    EXPECT_EQ(alert->messageText, *c.message);
    for (const auto& n : c.named) EXPECT_NE(alert->informativeText.find(n), std::string::npos) << alert->informativeText;
  }
}

TEST(DroppedPictures, TheScriptCarriesNamesAsLiteralsAndPlacesAsNumbers) {
  DroppedPictures::Picture p{"a \"quoted\" </script> name.png", "image/png", {1, 2, 3}};
  DroppedPictures::Delivery delivery({p}, std::nan(""), 12.5);
  auto piece = delivery.next();
  ASSERT_TRUE(piece);
  EXPECT_NE(piece->find(R"(, 0, "AQID"))"), std::string::npos) << *piece;
  auto script = delivery.next();
  ASSERT_TRUE(script);
  EXPECT_NE(script->find(R"("name":"a \"quoted\" </script> name.png")"), std::string::npos) << *script;
  EXPECT_NE(script->find(", 0.0, 12.5)"), std::string::npos) << *script;
  EXPECT_FALSE(delivery.next());
}

namespace {

// A file that is typed a PNG, of `size` bytes (mostly a hole: nothing is written).
void writePicture(const fsys::path& file, std::uintmax_t size) {
  std::ofstream(file, std::ios::binary) << std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
  fsys::resize_file(file, size);
}

}  // namespace

TEST(DroppedPictures, ADropIsBoundedInCountAndInAllAndNamesWhatItLeavesOut) {
  constexpr std::uintmax_t MB = 1 << 20;
  struct Case {
    const char* what;
    std::vector<std::uintmax_t> sizes;
    std::size_t taken;  // the first this many; the rest left out
    std::vector<std::size_t> alsoTaken;
  };
  const std::vector<Case> cases = {
      {"sixteen of 5 MB, then a small one that still fits", {5 * MB, 5 * MB, 5 * MB, 5 * MB, 5 * MB, 5 * MB, 5 * MB,
        5 * MB, 5 * MB, 5 * MB, 5 * MB, 5 * MB, 5 * MB, 5 * MB, 5 * MB, 5 * MB, 1000}, 12, {16}},
      {"twenty small ones", std::vector<std::uintmax_t>(20, 1000), 16, {}},
      {"one larger than a file may be", {32 * MB + 1, 1000}, 0, {1}},
      {"two of 32 MB fill the drop", {32 * MB, 32 * MB, 1}, 2, {}},
  };
  for (const auto& c : cases) {
    auto dir = testenv::freshFolder("bounded");
    std::vector<fsys::path> files;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
      files.push_back(dir / ("p" + std::to_string(i) + ".png"));
      writePicture(files.back(), c.sizes[i]);
    }
    auto drop = DroppedPictures::read(files);
    std::vector<std::string> taken, left;
    for (std::size_t i = 0; i < files.size(); ++i) {
      bool take = i < c.taken || std::find(c.alsoTaken.begin(), c.alsoTaken.end(), i) != c.alsoTaken.end();
      (take ? taken : left).push_back(files[i].filename().string());
    }
    std::vector<std::string> got;
    std::uintmax_t total = 0;
    for (const auto& p : drop.pictures) {
      got.push_back(p.name);
      total += p.bytes.size();
    }
    EXPECT_EQ(got, taken) << c.what;
    EXPECT_EQ(drop.left, left) << c.what;
    EXPECT_LE(total, DroppedPictures::maximumTotalBytes) << c.what;
    EXPECT_EQ(DroppedPictures::leftOutAlert(drop).has_value(), !left.empty()) << c.what;
    fsys::remove_all(dir);
  }
}

TEST(DroppedPictures, ThePersonIsToldWhichPicturesWereLeftOut) {
  DroppedPictures::Drop drop;
  drop.left = {"a.png", "b.png", "c.png", "d.png", "e.png", "f.png", "g.png"};
  auto alert = DroppedPictures::leftOutAlert(drop);
  ASSERT_TRUE(alert);
  EXPECT_EQ(alert->messageText, "7 dropped pictures were not added.");
  EXPECT_EQ(alert->informativeText,
            "One drop adds at most 16 pictures of 64 MB in all, each of at most 32 MB. "
            "Left out: “a.png”, “b.png”, “c.png”, “d.png”, “e.png” and 2 more.");
  drop.left = {"only.png"};
  EXPECT_EQ(DroppedPictures::leftOutAlert(drop)->messageText, "A dropped picture was not added.");
}

TEST(DroppedPictures, NoScriptCarriesMoreThanAPieceAndThePiecesMakeThePictures) {
  Data large(DroppedPictures::pieceBytes * 5 / 2);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7 + i / 4096);
  std::vector<DroppedPictures::Picture> pictures = {
      {"large.png", "image/png", large}, {"empty.png", "image/png", {}}, {"one.gif", "image/gif", {42}}};
  DroppedPictures::Delivery delivery(pictures, 10, 20);
  std::vector<Data> rebuilt(pictures.size());
  std::size_t scripts = 0;
  std::string last;
  while (auto script = delivery.next()) {
    ++scripts;
    EXPECT_LE(script->size(), DroppedPictures::pieceBytes * 4 / 3 + 1024);
    last = *script;
    // A piece ends `, <picture>, "<Base64>")`.
    auto open = script->rfind(", \"");
    auto comma = script->rfind(", ", open - 1);
    if (open == std::string::npos || comma == std::string::npos || script->find("atob(") == std::string::npos) continue;
    std::size_t index = std::stoul(script->substr(comma + 2, open - comma - 2));
    auto bytes = crypto::base64Decode(script->substr(open + 3, script->size() - open - 5));
    ASSERT_TRUE(bytes && index < rebuilt.size());
    rebuilt[index].insert(rebuilt[index].end(), bytes->begin(), bytes->end());
  }
  EXPECT_EQ(scripts, 3u + 1u + 1u);  // three pieces of the large one, one of the small, the drop
  for (std::size_t i = 0; i < pictures.size(); ++i) EXPECT_EQ(rebuilt[i], pictures[i].bytes) << i;
  EXPECT_NE(last.find(R"([{"name":"large.png","type":"image/png"},{"name":"empty.png","type":"image/png"},)"),
            std::string::npos) << last;
  EXPECT_NE(last.find(", 10.0, 20.0)"), std::string::npos) << last;
}
