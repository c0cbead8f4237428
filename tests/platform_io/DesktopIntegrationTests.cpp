// Desktop integration: the entry, the MIME package, the icon and the scheme's default handler,
// written once and kept; Exec quoting; mimeapps.list keeps what others put there.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/AppBundleInfo.h"
#include "platform/DesktopIntegration.h"
#include "platform/FileSystem.h"
#include "platform/Xdg.h"

namespace {

const AppBundleInfo bundle({{"CFBundleIdentifier", "com.korvel.x.dev"},
                            {"CFBundleDisplayName", "Korvel"},
                            {"CFBundleURLSchemes", "korvel-x"}});

std::string read(const std::filesystem::path& path) { return fs::readText(path).value_or("<missing>"); }

}  // namespace

TEST(DesktopIntegration, ExecArgumentsAreQuotedAndEscaped) {
  using DesktopIntegration::execArgument;
  EXPECT_EQ(*execArgument("/opt/korvel/bin/korvel"), "/opt/korvel/bin/korvel");
  EXPECT_EQ(*execArgument("/home/a b/korvel"), "\"/home/a b/korvel\"");
  // Inside quotes '"', '`', '$' and '\' take a backslash, and the file doubles backslashes.
  EXPECT_EQ(*execArgument("/x/\"q\"/k"), R"("/x/\\"q\\"/k")");
  EXPECT_EQ(*execArgument("/x/$HOME/k"), R"("/x/\\$HOME/k")");
  EXPECT_EQ(*execArgument("/x/a\\b/k"), R"("/x/a\\\\b/k")");
  EXPECT_EQ(*execArgument("/x/`id`/k"), R"("/x/\\`id\\`/k")");
  EXPECT_EQ(*execArgument("/x/100%/k"), "/x/100%%/k");
  EXPECT_EQ(*execArgument("/x/it's;here/k"), "\"/x/it's;here/k\"");
  EXPECT_EQ(*execArgument("/opt/Körvel/k"), "/opt/Körvel/k");
  EXPECT_FALSE(execArgument("/x/a\nb"));
  EXPECT_FALSE(execArgument("/x/a\tb"));
}

TEST(DesktopIntegration, RegistersOnceAndLeavesUnchangedFilesAlone) {
  auto executable = std::filesystem::path("/opt/My Apps/korvel");
  ASSERT_TRUE(DesktopIntegration::registerApplication(executable, bundle));
  auto data = xdg::dataHome();
  auto desktop = data / "applications" / "com.korvel.x.dev.desktop";
  std::string entry = read(desktop);
  EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_NE(entry.find("\nName=Korvel\n"), std::string::npos);
  EXPECT_NE(entry.find("\nExec=\"/opt/My Apps/korvel\" %U\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("\nMimeType=application/x-korvelx;x-scheme-handler/korvel-x;\n"), std::string::npos);
  EXPECT_NE(entry.find("\nIcon=com.korvel.x.dev\n"), std::string::npos);
  EXPECT_NE(entry.find("\nCategories=Graphics;Development;\n"), std::string::npos);
  std::string mime = read(data / "mime" / "packages" / "korvel.xml");
  EXPECT_NE(mime.find("<mime-type type=\"application/x-korvelx\">"), std::string::npos);
  EXPECT_NE(mime.find("<glob pattern=\"*.korvelx\"/>"), std::string::npos);
  EXPECT_NE(read(data / "icons/hicolor/scalable/apps/com.korvel.x.dev.svg").find("<svg"), std::string::npos);
  std::string list = read(xdg::configHome() / "mimeapps.list");
  EXPECT_NE(list.find("[Default Applications]\nx-scheme-handler/korvel-x=com.korvel.x.dev.desktop;\n"),
            std::string::npos) << list;

  // A second registration writes nothing: the files keep their inode.
  struct stat before {}, after {};
  ::stat(desktop.c_str(), &before);
  ASSERT_TRUE(DesktopIntegration::registerApplication(executable, bundle));
  ::stat(desktop.c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(read(xdg::configHome() / "mimeapps.list"), list);

  // A moved executable rewrites the entry.
  ASSERT_TRUE(DesktopIntegration::registerApplication("/usr/bin/korvel", bundle));
  EXPECT_NE(read(desktop).find("\nExec=/usr/bin/korvel %U\n"), std::string::npos);
}

TEST(DesktopIntegration, MimeAppsMergeKeepsOtherEntries) {
  std::string existing =
      "# mine\n"
      "[Default Applications]\n"
      "text/html=firefox.desktop;\n"
      "x-scheme-handler/korvel-x=old.desktop;\n"
      "\n"
      "[Added Associations]\n"
      "image/png=gimp.desktop;eog.desktop;\n"
      "x-scheme-handler/korvel-x=old.desktop;com.korvel.x.dev.desktop;\n"
      "\n"
      "[Removed Associations]\n"
      "text/plain=vim.desktop;\n";
  std::string merged =
      DesktopIntegration::mergeMimeApps(existing, "x-scheme-handler/korvel-x", "com.korvel.x.dev.desktop");
  EXPECT_EQ(merged,
            "# mine\n"
            "[Default Applications]\n"
            "text/html=firefox.desktop;\n"
            "x-scheme-handler/korvel-x=com.korvel.x.dev.desktop;\n"
            "\n"
            "[Added Associations]\n"
            "image/png=gimp.desktop;eog.desktop;\n"
            "x-scheme-handler/korvel-x=com.korvel.x.dev.desktop;old.desktop;\n"
            "\n"
            "[Removed Associations]\n"
            "text/plain=vim.desktop;\n");
  EXPECT_EQ(DesktopIntegration::mergeMimeApps(merged, "x-scheme-handler/korvel-x", "com.korvel.x.dev.desktop"), merged);

  // Sections that are missing are added; a key missing from a section goes at its end.
  std::string added = DesktopIntegration::mergeMimeApps("[Default Applications]\ntext/html=a.desktop;\n\n[Other]\nk=v\n",
                                                        "x-scheme-handler/korvel-x", "k.desktop");
  EXPECT_EQ(added,
            "[Default Applications]\ntext/html=a.desktop;\nx-scheme-handler/korvel-x=k.desktop;\n\n[Other]\nk=v\n\n"
            "[Added Associations]\nx-scheme-handler/korvel-x=k.desktop;\n");
  EXPECT_EQ(DesktopIntegration::mergeMimeApps("", "x-scheme-handler/korvel-x", "k.desktop"),
            "[Default Applications]\nx-scheme-handler/korvel-x=k.desktop;\n\n"
            "[Added Associations]\nx-scheme-handler/korvel-x=k.desktop;\n");
}
