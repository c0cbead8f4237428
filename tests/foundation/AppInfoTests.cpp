#include <gtest/gtest.h>

#include "foundation/AppInfo.h"
#include "platform/FileSystem.h"
#include "platform/Xdg.h"

namespace {

using Channel = AppInfo::Channel;

TEST(AppInfoChannel, WholeIdentifierNamesTheChannel) {
  EXPECT_EQ(AppInfo::channelFor("com.korvel.x"), Channel::production);
  EXPECT_EQ(AppInfo::channelFor("com.korvel.x.beta"), Channel::beta);
  EXPECT_EQ(AppInfo::channelFor("com.korvel.x.alpha"), Channel::alpha);
  EXPECT_EQ(AppInfo::channelFor("com.korvel.x.nightly"), Channel::nightly);
  EXPECT_EQ(AppInfo::channelFor("com.korvel.x.dev"), Channel::development);
  for (const char* id : {"com.korvel.x.beta2", "com.korvel.x.dev.local", "com.korvel.x.", "COM.KORVEL.X",
                         "org.com.korvel.x", " com.korvel.x", ""})
    EXPECT_EQ(AppInfo::channelFor(id), Channel::none) << id;
}

TEST(AppInfoBuildName, DerivedFromShortVersion) {
  EXPECT_EQ(AppInfo::buildNameFor("local"), "Dev");
  EXPECT_EQ(AppInfo::buildNameFor("Local"), "");
  EXPECT_EQ(AppInfo::buildNameFor("beta/31"), "Beta");
  EXPECT_EQ(AppInfo::buildNameFor("nightly/51"), "Nightly");
  EXPECT_EQ(AppInfo::buildNameFor("//x"), "X");
  EXPECT_EQ(AppInfo::buildNameFor("rC/1"), "RC");
  EXPECT_EQ(AppInfo::buildNameFor("31"), "");
  EXPECT_EQ(AppInfo::buildNameFor("/"), "");
  EXPECT_EQ(AppInfo::buildNameFor("local/2"), "Local");
  EXPECT_EQ(AppInfo::buildNameFor(""), "");
}

TEST(AppInfoVersions, OperatingSystemVersionDropsZeroPatch) {
  EXPECT_EQ(AppInfo::formatOperatingSystemVersion(10, 12, 6), "10_12_6");
  EXPECT_EQ(AppInfo::formatOperatingSystemVersion(10, 13, 0), "10_13");
  EXPECT_EQ(AppInfo::formatOperatingSystemVersion(6, 0, 0), "6_0");
  EXPECT_FALSE(AppInfo::operatingSystemVersion().empty());
}

TEST(AppInfoUserAgent, NamesTheRealPlatform) {
  EXPECT_EQ(AppInfo::userAgentFor("605.1.15", "Korvel", "1.2"),
            "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/605.1.15 (KHTML, like Gecko) Korvel/1.2");
  AppInfo info("Korvel", std::nullopt, std::nullopt);
  EXPECT_NE(info.userAgent().find("(X11; Linux x86_64)"), std::string::npos);
  EXPECT_NE(info.userAgent().find("AppleWebKit/" + AppInfo::webkitVersion() + " "), std::string::npos);
  EXPECT_TRUE(info.userAgent().ends_with(" Korvel/" + AppInfo::shortVersion())) << info.userAgent();
}

TEST(AppInfoUserAgent, SharedInstanceFallsBackToBundleName) {
  auto info = AppInfo::makeShared(
      AppBundleInfo(AppBundleInfo::Table{{"CFBundleName", "Studio"}, {"CFBundleExecutable", "studio"}}));
  EXPECT_TRUE(info->userAgent().ends_with(" Studio/" + AppInfo::shortVersion())) << info->userAgent();
  EXPECT_EQ(info->applicationSupportName(), "studio");

  auto named = AppInfo::makeShared(AppBundleInfo(
      AppBundleInfo::Table{{"UserAgentName", "Agent"}, {"CFBundleName", "Studio"}, {"CFBundleExecutable", "studio"}}));
  EXPECT_TRUE(named->userAgent().ends_with(" Agent/" + AppInfo::shortVersion()));
}

TEST(AppInfoDeathTest, SharedInstanceNeedsABundleName) {
  EXPECT_DEATH(AppInfo::makeShared(AppBundleInfo(AppBundleInfo::Table{{"CFBundleExecutable", "studio"}})),
               "Warning: Could not find Bundle Name");
}

TEST(AppInfoFolders, DerivedFromTheSupportFolder) {
  AppInfo info("Korvel", std::string("Studio"), std::nullopt);
  auto support = xdg::dataHome() / "Studio";
  EXPECT_EQ(info.supportURL(), support);
  EXPECT_EQ(info.ostrelDir(), support / "Ostrel");
  EXPECT_EQ(info.snippetsPath(), (support / "Snippets").string());
  EXPECT_FALSE(fs::exists(support));  // nothing is created

  // Without a name, the executable's name.
  EXPECT_EQ(AppInfo("Korvel", std::nullopt, std::nullopt).applicationSupportName(), AppInfo::executableName());
}

class NoSupportFolder : public AppInfo {
 public:
  using AppInfo::AppInfo;
  std::optional<std::filesystem::path> supportURL() const override { return std::nullopt; }
};

TEST(AppInfoFolders, GivenEngineFolderWinsEvenWithoutSupportFolder) {
  NoSupportFolder given("Korvel", std::nullopt, std::filesystem::path("/opt/engine"));
  EXPECT_EQ(given.ostrelDir(), std::filesystem::path("/opt/engine"));
  EXPECT_FALSE(given.snippetsPath());
  EXPECT_FALSE(NoSupportFolder("Korvel", std::nullopt, std::nullopt).ostrelDir());
}

// app-globals.json

TEST(OstrelGlobals, DecodesMenuWithNullsAndUnknownKeys) {
  auto g = AppInfo::decodeOstrelGlobals(R"({
    "documentVersion": 12, "extra": {"anything": [1, 2]},
    "appMenu": [
      {"label": "Edit", "role": null, "type": null, "accelerator": null, "icon": 3,
       "submenu": [{"label": "Copy", "role": "copy"}, {"type": "separator"},
                   {"label": "More", "submenu": []}]},
      {"label": "Help", "submenu": null},
      {}
    ]})");
  ASSERT_TRUE(g) << g.error().description();
  EXPECT_EQ(g->documentVersion, 12);
  ASSERT_EQ(g->appMenu.size(), 3u);
  const auto& edit = g->appMenu[0];
  EXPECT_EQ(edit.label, "Edit");
  EXPECT_FALSE(edit.role);
  EXPECT_FALSE(edit.type);
  EXPECT_FALSE(edit.accelerator);
  ASSERT_TRUE(edit.submenu);
  ASSERT_EQ(edit.submenu->size(), 3u);
  EXPECT_EQ((*edit.submenu)[0].role, "copy");
  EXPECT_EQ((*edit.submenu)[1].type, "separator");
  ASSERT_TRUE((*edit.submenu)[2].submenu);
  EXPECT_TRUE((*edit.submenu)[2].submenu->empty());
  EXPECT_FALSE(g->appMenu[1].submenu);
  EXPECT_FALSE(g->appMenu[2].label);
}

TEST(OstrelGlobals, ShippedFileDecodes) {
  auto text = fs::readText(std::filesystem::path(KORVEL_SOURCE_DIR) / "resources/Ostrel/app-globals.json");
  ASSERT_TRUE(text);
  auto g = AppInfo::decodeOstrelGlobals(*text);
  ASSERT_TRUE(g) << g.error().description();
  EXPECT_FALSE(g->appMenu.empty());
}

class OstrelGlobalsRejects : public testing::TestWithParam<const char*> {};

TEST_P(OstrelGlobalsRejects, WrongShapeGivesNoGlobals) {
  EXPECT_FALSE(AppInfo::decodeOstrelGlobals(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(
    Files, OstrelGlobalsRejects,
    testing::Values(R"({"documentVersion": 3.5, "appMenu": []})", R"({"documentVersion": "3", "appMenu": []})",
                    R"({"documentVersion": null, "appMenu": []})", R"({"documentVersion": true, "appMenu": []})",
                    R"({"documentVersion": 18446744073709551615, "appMenu": []})", R"({"documentVersion": 3})",
                    R"({"appMenu": []})", R"({"documentVersion": 3, "appMenu": null})",
                    R"({"documentVersion": 3, "appMenu": {}})", R"({"documentVersion": 3, "appMenu": [null]})",
                    R"({"documentVersion": 3, "appMenu": [{"label": 5}]})",
                    R"({"documentVersion": 3, "appMenu": [{"label": "Edit", "submenu": {}}]})",
                    R"({"documentVersion": 3, "appMenu": [{"submenu": [{"submenu": [{"type": 1}]}]}]})",
                    R"({"documentVersion": 3, "appMenu": [{"role": ["copy"]}]})",
                    R"({"documentVersion": 3, "appMenu": [{"accelerator": false}]})",
                    R"({"documentVersion": 3, "appMenu": [{"submenu": "Edit"}]})",
                    R"([{"documentVersion": 3, "appMenu": []}])", R"({"documentVersion": 3, "appMenu": []} trailing)",
                    ""));

}  // namespace
