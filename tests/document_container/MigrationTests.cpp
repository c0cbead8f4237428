#include "ContainerTestSupport.h"
#include "document/storage/KXDocumentMigration.h"

using namespace containertest;

TEST(Migration, ClassicProjectsAreCopiedIntoTheNewLayoutAndTheStagingCopyGoes) {
  auto classic = testenv::freshFolder("classic") / "Landing Page.korvel";
  writeTree(classic, {{"korvel/design.ostrel", R"({"version":0})"}, {"components/Button.tsx", "button"},
                      {"icon.png", "icon"}, {"images/design/logo.png", "design logo"},
                      {"images/_ostrel/logo.png", "other logo"}, {"images/_ostrel/b.jpg", "b"},
                      {"images/design/Logo.PNG", "upper case"}, {"images/design/sub/c.png", "deeper"}});
  auto before = readTree(classic);
  std::map<std::string, std::string> seen;
  std::filesystem::path stagedAt;
  auto document = KXDocumentMigration::newDocument<int>(classic, [&](const KXDocumentArchive& staged) -> Result<std::shared_ptr<int>> {
    stagedAt = staged.backing().url();
    seen = readTree(stagedAt);
    return std::make_shared<int>(1);
  });
  ASSERT_TRUE(document);
  EXPECT_EQ(seen, (std::map<std::string, std::string>{{"design/document.json", R"({"version":0})"},
                                                       {"code/Button.tsx", "button"},
                                                       {"metadata/icon.png", "icon"},
                                                       {"design/images/logo.png", "design logo"},
                                                       {"design/images/b.jpg", "b"}}));
  EXPECT_EQ(stagedAt.parent_path(), KXDocumentContainer::baseDirectory());
  EXPECT_FALSE(fs::exists(stagedAt));
  EXPECT_EQ(readTree(classic), before);
}
