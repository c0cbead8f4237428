// What a rendered page may read: addresses moved to the private scheme, and the files served.

#include <gtest/gtest.h>

#include <filesystem>

#include "export/RenderFileAccess.h"
#include "platform/FileSystem.h"
#include "platform/Url.h"
#include "support/TestEnvironment.h"

namespace stdfs = std::filesystem;

namespace {

TEST(RenderFileAccess, AddressesOfTheProjectMoveToThePrivateSchemeAndNoOthers) {
  auto project = testenv::freshFolder() / "proj #1";
  ASSERT_TRUE(fs::createDirectories(project));
  std::string own = Url::fileURL(project, true)->absoluteString();
  std::string base = RenderFileAccess::baseAddress(project);
  EXPECT_EQ(base, "korvel-page" + own.substr(4));
  EXPECT_NE(base.find("proj%20%231/"), std::string::npos);
  EXPECT_EQ(RenderFileAccess::baseAddress({}), "korvel-page:///");
  std::string html = "<img src=\"" + own + "a.png\"><img src=\"file:///etc/hostname\">";
  EXPECT_EQ(RenderFileAccess::rewriteFileAddresses(html, project),
            "<img src=\"" + base + "a.png\"><img src=\"file:///etc/hostname\">");
  EXPECT_EQ(RenderFileAccess::fromFileAddress("file:///a/b"), "korvel-page:///a/b");
  EXPECT_FALSE(RenderFileAccess::fromFileAddress("http://a/b"));
}

TEST(RenderFileAccess, ServesOnlyTheProjectsFiles) {
  auto project = testenv::freshFolder("project"), outside = testenv::freshFolder("outside");
  ASSERT_TRUE(fs::writeAtomically(project / "a.png", std::string_view("A")));
  ASSERT_TRUE(fs::writeAtomically(outside / "secret", std::string_view("S")));
  stdfs::create_symlink(outside / "secret", project / "link.png");
  std::string base = RenderFileAccess::baseAddress(project);
  struct Case {
    std::string address;
    bool served;
  } cases[] = {
      {base + "a.png", true},
      {base + "a.png?x=1#y", true},
      {base + "link.png", false},
      {base + "../" + outside.filename().string() + "/secret", false},
      {*RenderFileAccess::fromFileAddress(Url::fileURL(outside / "secret")->absoluteString()), false},
      {"korvel-page:///etc/hostname", false},
      {"korvel-page://otherhost/etc/hostname", false},
      {Url::fileURL(project / "a.png")->absoluteString(), false},  // only the private scheme
  };
  for (const auto& c : cases) EXPECT_EQ(RenderFileAccess::open(c.address, project).has_value(), c.served) << c.address;
  EXPECT_FALSE(RenderFileAccess::open(base + "a.png", {}));
  EXPECT_EQ(RenderFileAccess::mediaType("x/a.png"), "image/png");
}

}  // namespace
