// The library sheet's words and buttons for each state the project server reports.
#include <gtest/gtest.h>

#include "document/UpdateLibraryWindowController.h"

namespace {

ServerState stateWith(std::optional<std::string> installed, std::vector<std::pair<std::string, std::string>> outdated,
                      std::vector<std::optional<std::string>> taskPackages) {
  ServerState state;
  state.libraryVersion = std::move(installed);
  for (auto& [name, latest] : outdated) state.outdated.push_back({name, "", "", latest, ""});
  int i = 0;
  for (auto& package : taskPackages) {
    ServerState::Task task{"install", std::nullopt};
    if (package) task.context = ServerState::InstallContext{package, std::nullopt};
    state.tasks["t" + std::to_string(i++)] = task;
  }
  return state;
}

}  // namespace

TEST(LibraryVersion, ReadsTheLastKorvelEntryAndKorvelInstallTasks) {
  LibraryVersion v(stateWith("1.0.0", {{"korvel", "1.1.0"}, {"react", "19"}, {"korvel", "1.2.0"}}, {std::nullopt, "react"}));
  EXPECT_EQ(v.current, "1.0.0");
  EXPECT_EQ(v.latest, "1.2.0");
  EXPECT_FALSE(v.isUpdating);
  EXPECT_TRUE(LibraryVersion(stateWith(std::nullopt, {}, {"korvel"})).isUpdating);
}

TEST(LibraryVersion, StatusComparesVersionsOnlyForEquality) {
  using Kind = LibraryVersion::Status::Kind;
  EXPECT_EQ(LibraryVersion(std::nullopt, "2", false).state().kind, Kind::unavailable);
  EXPECT_EQ(LibraryVersion("1", std::nullopt, false).state().kind, Kind::upToDate);
  EXPECT_EQ(LibraryVersion("2", "2", false).state().kind, Kind::upToDate);
  auto older = LibraryVersion("3", "2", false).state();
  EXPECT_EQ(older.kind, Kind::outdated);
  EXPECT_EQ(older.current, "3");
  EXPECT_EQ(older.latest, "2");
}

TEST(UpdateLibrarySheet, SaysWhatTheLibraryStateIs) {
  auto upToDate = UpdateLibraryWindowController::content(LibraryVersion("1.4", "1.4", false));
  EXPECT_EQ(upToDate.title, "Korvel Library is up-to-date.");
  EXPECT_EQ(upToDate.descriptionText, "This project uses Korvel Library 1.4, currently the newest version available.");
  EXPECT_EQ(upToDate.okTitle, "OK");
  EXPECT_TRUE(upToDate.cancelHidden);

  auto outdated = UpdateLibraryWindowController::content(LibraryVersion("1.3", "1.4", false));
  EXPECT_EQ(outdated.title, "A new version of Korvel Library is available.");
  EXPECT_EQ(outdated.descriptionText,
            "Korvel Library 1.4 is now available\u2014you have 1.3. Would you like to update this project?");
  EXPECT_EQ(outdated.okTitle, "Update");
  EXPECT_EQ(outdated.cancelTitle, "Cancel");
  EXPECT_TRUE(outdated.okEnabled);

  auto installing = UpdateLibraryWindowController::content(LibraryVersion(std::nullopt, std::nullopt, true));
  EXPECT_EQ(installing.title, "It looks like your project does not have the Korvel Library installed.");
  EXPECT_EQ(installing.okTitle, "Installing\u2026");
  EXPECT_FALSE(installing.okEnabled);
  EXPECT_EQ(installing.cancelTitle, "Close");
  EXPECT_EQ(UpdateLibraryWindowController::content(LibraryVersion("1", "2", true)).okTitle, "Updating\u2026");
}

TEST(UpdateLibrarySheet, ReleaseNotesPointAtTheNewestVersion) {
  EXPECT_EQ(UpdateLibraryWindowController::releaseNotesAddress(LibraryVersion("1", "2.0", false)),
            "https://korvel.io/updates/library/#v2.0");
  EXPECT_EQ(UpdateLibraryWindowController::releaseNotesAddress(LibraryVersion("1", std::nullopt, false)),
            "https://korvel.io/updates/library/");
}

TEST(UpdateLibrarySheet, OkRunsTheUpdateOnlyWhenOneIsOffered) {
  UpdateLibraryWindowController sheet;
  int updates = 0;
  sheet.updateFunction = [&] { ++updates; };
  sheet.libraryVersion = LibraryVersion("1", "2", false);
  sheet.ok();  // no window without a display: nothing happens
  EXPECT_EQ(updates, 0);
}
