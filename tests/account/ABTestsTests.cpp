// A/B decisions: what a record stores, what stays live, and the tutorial decision that sticks.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "account/ABTests.h"
#include "account/UserInfo.h"
#include "foundation/SharedNames.h"
#include "platform/Defaults.h"
#include "support/TestEnvironment.h"

namespace {

struct Decisions : testing::Test {
  Decisions() {
    defaults.set(UserDefaultsABTestDecisions, nlohmann::json::object());
    ABTests reset(defaults);
  }
  static UserInfo record(std::optional<std::map<std::string, Experiment>> experiments) {
    UserInfo info{"u", "e", {}, {}, {}, {}, {}, {}};
    info.experiments = std::move(experiments);
    return info;
  }
  Defaults defaults{testenv::freshFolder("ab") / "defaults.json"};
};

TEST_F(Decisions, TheTutorialDecisionSticksAndOthersFollowTheRecord) {
  defaults.set(UserDefaultsABTestDecisions, {{"tutorialButtonCta", "A"}, {"X", "1"}});
  ABTests::save(record(std::map<std::string, Experiment>{{"tutorialButtonCta", {"B"}}, {"Y", {"2"}}}), false, defaults);
  EXPECT_EQ(defaults.value(UserDefaultsABTestDecisions), (nlohmann::json{{"tutorialButtonCta", "A"}, {"Y", "2"}}));

  ABTests::save(record(std::nullopt), false, defaults);
  EXPECT_EQ(defaults.value(UserDefaultsABTestDecisions), (nlohmann::json{{"tutorialButtonCta", "A"}}));
}

TEST_F(Decisions, NothingStoredAndNoExperimentsStoresAnEmptyTable) {
  defaults.remove(UserDefaultsABTestDecisions);
  ABTests::save(record(std::nullopt), true, defaults);
  EXPECT_EQ(defaults.value(UserDefaultsABTestDecisions), nlohmann::json::object());
  EXPECT_TRUE(ABTests::experiments().empty());
}

TEST_F(Decisions, OnlyAnUpdatingSaveChangesTheLiveTable) {
  ABTests::save(record(std::map<std::string, Experiment>{{"color", {"Blue"}}}), false, defaults);
  EXPECT_FALSE(ABTests::isActive("color", "Blue"));
  int calls = 0;
  ABTests::withVariant("color", [&](const std::string&) { ++calls; });
  EXPECT_EQ(calls, 0);

  ABTests::save(record(std::map<std::string, Experiment>{{"color", {"Blue"}}}), true, defaults);
  EXPECT_TRUE(ABTests::isActive("color", "Blue"));
  EXPECT_FALSE(ABTests::isActive("color", "blue"));
  ABTests::withVariant("color", [&](const std::string& variant) {
    ++calls;
    EXPECT_EQ(variant, "Blue");
  });
  EXPECT_EQ(calls, 1);

  // A later start loads what the last save stored.
  ABTests::save(record(std::map<std::string, Experiment>{{"color", {"Red"}}}), false, defaults);
  ABTests reloaded(defaults);
  EXPECT_TRUE(ABTests::isActive("color", "Red"));
}

TEST_F(Decisions, AStoredTableWithANonTextValueIsNotLoadedButItsTutorialTextIsCarried) {
  ABTests::save(record(std::map<std::string, Experiment>{{"keep", {"1"}}}), true, defaults);
  defaults.set(UserDefaultsABTestDecisions, {{"tutorialButtonCta", "A"}, {"n", 3}});
  ABTests ignored(defaults);
  EXPECT_TRUE(ABTests::isActive("keep", "1"));
  ABTests::save(record(std::nullopt), false, defaults);
  EXPECT_EQ(defaults.value(UserDefaultsABTestDecisions), (nlohmann::json{{"tutorialButtonCta", "A"}}));
  defaults.setString(UserDefaultsABTestDecisions, "corrupt");
  ABTests::save(record(std::nullopt), false, defaults);
  EXPECT_EQ(defaults.value(UserDefaultsABTestDecisions), nlohmann::json::object());
}

}  // namespace
