// The files that a drag's "text/uri-list" names.
#include <gtest/gtest.h>

#include "platform/URIList.h"

namespace fsys = std::filesystem;
using namespace std::string_literals;

TEST(URIList, OnlyLocalFilesInOrderAndNoMoreThanTheLimit) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<fsys::path> files;
  };
  const std::vector<Case> cases = {
      {"one file, CR LF", "file:///tmp/a%20b.png\r\n", {"/tmp/a b.png"}},
      {"two files, LF, no end", "file:///x/1.png\nfile:///x/2.jpg", {"/x/1.png", "/x/2.jpg"}},
      {"comments and blank lines", "# from a file manager\r\n\r\n  file:///x/c.png  \r\n", {"/x/c.png"}},
      {"web and other addresses", "http://example.invalid/a.png\r\nmailto:a@b\r\nrelative.png\r\n", {}},
      {"another machine's file", "file://elsewhere/x/d.png\r\nfile://localhost/x/e.png\r\n", {"/x/e.png"}},
      {"an escaped NUL names nothing", "file:///x/a%00b.png\r\n", {}},
      {"a NUL in the text", "file:///x/a\0.png\r\nfile:///x/f.png"s, {"/x/f.png"}},
      {"nothing", "", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(URIList::localFiles(c.text, 16), c.files) << c.what;
  std::string many;
  for (int i = 0; i < 40; ++i) many += "file:///x/" + std::to_string(i) + ".png\r\n";
  auto limited = URIList::localFiles(many, 16);
  ASSERT_EQ(limited.size(), 16u);
  EXPECT_EQ(limited.back(), fsys::path("/x/15.png"));
}
