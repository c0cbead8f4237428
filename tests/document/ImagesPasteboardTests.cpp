// The images pasteboard shared by every document: names in, plain names out.
#include <gtest/gtest.h>

#include <vector>

#include "document/ImagesPasteboard.h"

TEST(ImagesPasteboard, HoldsNameToPathInTheCopyingProjectAndKeepsTheLastOfARepeatedName) {
  ImagesPasteboard board;
  board.writeImages({"a.png", "b.svg", "a.png"}, "/p/design/images");
  auto images = board.readImages();
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images["a.png"], "/p/design/images/a.png");
  board.writeImages({}, "/p/design/images");
  EXPECT_TRUE(board.readImages().empty());
}

TEST(ImagesPasteboard, OnlySinglePlainNamesCount) {
  for (const std::string& bad : std::vector<std::string>{"", ".", "..", "a/b.png", "../x.png", "/etc/passwd", std::string("a\0b", 3)})
    EXPECT_FALSE(ImagesPasteboard::isPlainName(bad)) << bad;
  EXPECT_TRUE(ImagesPasteboard::isPlainName("photo 1.png"));
  EXPECT_TRUE(ImagesPasteboard::isPlainName("..hidden.png"));
}
