// The recent documents in the desktop's list: only what korvel noted as a document, never a
// place the file chooser noted under korvel's name.

#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include <cstring>
#include <fstream>

#include "platform/GtkPersonInterfaces.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"
#include "support/TestEnvironment.h"

namespace {

std::string uriOf(const std::filesystem::path& p) {
  gchar* uri = g_filename_to_uri(p.c_str(), nullptr, nullptr);
  std::string out = uri ? uri : "";
  g_free(uri);
  return out;
}

bool listed(const std::filesystem::path& p) {
  GtkRecentInfo* info = gtk_recent_manager_lookup_item(gtk_recent_manager_get_default(), uriOf(p).c_str(), nullptr);
  if (info) gtk_recent_info_unref(info);
  return info != nullptr;
}

}  // namespace

TEST(RecentDocuments, OnlyNotedDocumentsAndNeverTheChoosersPlaces) {
  ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
  g_set_application_name("korvel-test");
  installGtkPersonInterfaces();
  auto folder = testenv::freshFolder("recents");
  auto document = folder / "Landing Page.korvelx";
  std::ofstream(document) << "zip";
  auto exportFolder = folder / "export1";
  std::filesystem::create_directories(exportFolder);
  auto elsewhere = folder / "shared.png";
  std::ofstream(elsewhere) << "png";

  auto* manager = gtk_recent_manager_get_default();
  RecentDocuments::shared().noteNewRecentDocumentURL(document);
  // What the chooser does with every chosen place: noted under the application's name, with no
  // group (the chooser's own call looks the type up in the background first).
  auto chooserNotes = [&](const std::filesystem::path& place) {
    gchar* exec = g_strdup_printf("%s %%u", g_get_prgname());
    GtkRecentData data{};
    data.app_name = const_cast<gchar*>(g_get_application_name());
    data.app_exec = exec;
    data.mime_type = const_cast<gchar*>("application/octet-stream");
    gtk_recent_manager_add_full(manager, uriOf(place).c_str(), &data);
    g_free(exec);
  };
  chooserNotes(exportFolder);
  chooserNotes(document);
  // Another program's entry for a place korvel's chooser also handed out.
  GtkRecentData other{};
  other.app_name = const_cast<gchar*>("viewer");
  other.app_exec = const_cast<gchar*>("viewer %u");
  other.mime_type = const_cast<gchar*>("image/png");
  gtk_recent_manager_add_full(manager, uriOf(elsewhere).c_str(), &other);
  chooserNotes(elsewhere);

  EXPECT_EQ(RecentDocuments::shared().recentDocumentURLs(), std::vector<std::filesystem::path>{document});

  forgetPlacesTheChooserNoted({exportFolder, document, elsewhere});
  EXPECT_FALSE(listed(exportFolder)) << "a place only the chooser noted stays in the list";

  // The chooser's own call notes the place only once it has looked up its type: that, too, goes.
  auto later = folder / "export2";
  std::filesystem::create_directories(later);
  gtk_recent_manager_add_item(manager, uriOf(later).c_str());
  forgetPlacesTheChooserNoted({later});
  EXPECT_TRUE(RunLoop::runUntil([&] { return !listed(later); }, 15)) << "the chooser's late note stayed";
  EXPECT_TRUE(listed(document));
  EXPECT_TRUE(listed(elsewhere)) << "another program's entry went";
  EXPECT_EQ(RecentDocuments::shared().recentDocumentURLs(), std::vector<std::filesystem::path>{document});
}

// The toolkit reads the first byte of the group list to tell whether there are groups, and that
// byte is part of the first name's address: a name at such an address loses korvel's group.
TEST(RecentDocuments, TheGroupIsKeptWhereverItsNameLies) {
  ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
  auto* manager = gtk_recent_manager_get_default();
  auto folder = testenv::freshFolder("recent-groups");
  auto note = [&](const std::filesystem::path& place, gchar** groups) {
    std::ofstream(place) << "zip";
    GtkRecentData data{};
    data.app_name = const_cast<gchar*>("korvel-test");
    data.app_exec = const_cast<gchar*>("korvel-test %u");
    data.mime_type = const_cast<gchar*>("application/zip");
    data.groups = groups;
    gtk_recent_manager_add_full(manager, uriOf(place).c_str(), &data);
    GtkRecentInfo* info = gtk_recent_manager_lookup_item(manager, uriOf(place).c_str(), nullptr);
    bool grouped = info && gtk_recent_info_has_group(info, "korvel-document");
    if (info) gtk_recent_info_unref(info);
    return grouped;
  };
  gchar** ours = recentDocumentGroups();
  ASSERT_TRUE(ours && ours[0] && !ours[1]);
  EXPECT_STREQ(ours[0], "korvel-document");
  unsigned char first = 0;
  std::memcpy(&first, &ours[0], 1);
  EXPECT_NE(first, 0);
  EXPECT_TRUE(note(folder / "b.korvelx", ours));
}
