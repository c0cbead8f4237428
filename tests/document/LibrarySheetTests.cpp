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

TEST(LibraryVersion, OnlyANewerVersionIsAnUpdate) {
  using Kind = LibraryVersion::Status::Kind;
  struct Case {
    std::optional<std::string> current, latest;
    Kind kind;
  };
  const Case cases[] = {{std::nullopt, "2", Kind::unavailable}, {"1", std::nullopt, Kind::upToDate},
                        {"2", "2", Kind::upToDate},             {"3", "2", Kind::upToDate},
                        {"1.10.0", "1.9.0", Kind::upToDate},    {"1.9.0", "1.10.0", Kind::outdated},
                        {"1.2", "1.2.0", Kind::upToDate},       {"1.2", "1.2.1", Kind::outdated},
                        {"1.0.0-beta", "1.0.0", Kind::outdated}};
  for (const auto& c : cases)
    EXPECT_EQ(LibraryVersion(c.current, c.latest, false).state().kind, c.kind)
        << c.current.value_or("-") << " / " << c.latest.value_or("-");
  auto newer = LibraryVersion("1.9.0", "1.10.0", false).state();
  EXPECT_EQ(newer.current, "1.9.0");
  EXPECT_EQ(newer.latest, "1.10.0");
}

// Whatever the server reports, the person can always end the sheet.
TEST(UpdateLibrarySheet, EveryStateHasAButtonThatEndsTheSheet) {
  using Kind = LibraryVersion::Status::Kind;
  for (std::optional<std::string> current : {std::optional<std::string>(), std::optional<std::string>("1")})
    for (std::optional<std::string> latest : {std::optional<std::string>(), std::optional<std::string>("1"),
                                              std::optional<std::string>("2")})
      for (bool updating : {false, true}) {
        LibraryVersion version(current, latest, updating);
        auto c = UpdateLibraryWindowController::content(version);
        bool okEnds = c.okEnabled && version.state().kind == Kind::upToDate;
        EXPECT_TRUE(okEnds || !c.cancelHidden) << current.value_or("-") << latest.value_or("-") << updating;
      }
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
  sheet.updateFunction = [&] {
    ++updates;
    return true;
  };
  sheet.libraryVersion = LibraryVersion("1", "2", false);
  sheet.ok();  // no window without a display: nothing happens
  EXPECT_EQ(updates, 0);
}
