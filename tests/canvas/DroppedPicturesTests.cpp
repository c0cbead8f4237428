// Which dropped files reach the page as pictures, and the drop the page is given.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <fstream>

#include "canvas/DroppedPictures.h"
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

  auto pictures = DroppedPictures::read({dir / "notes.txt", dir / "pipe.png", dir / "folder.png", dir / "missing.png",
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
}

TEST(DroppedPictures, TheScriptCarriesNamesAsLiteralsAndPlacesAsNumbers) {
  DroppedPictures::Picture p{"a \"quoted\" </script> name.png", "image/png", {1, 2, 3}};
  auto script = DroppedPictures::dropScript({p}, std::nan(""), 12.5);
  EXPECT_NE(script.find(R"("name":"a \"quoted\" </script> name.png")"), std::string::npos) << script;
  EXPECT_NE(script.find(R"("data":"AQID")"), std::string::npos);
  EXPECT_NE(script.find(", 0.0, 12.5)"), std::string::npos) << script;
}
