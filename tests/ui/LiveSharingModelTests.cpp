#include <gtest/gtest.h>

#include "ui/LiveSharingModel.h"

using Kind = MirrorPopoverState::Kind;

TEST(LiveSharingModel, MapsStatusesToStatesTheButtonCanServe) {
  struct Case {
    std::string status;
    std::optional<std::string> url;
    Kind kind;
    std::string button;
    bool enabled;
  } cases[] = {
      {"unavailable", std::nullopt, Kind::unavailable, "Start", false},
      {"available", std::nullopt, Kind::available, "Start", true},
      {"starting", std::nullopt, Kind::starting, "Starting\u2026", false},
      {"stopping", std::nullopt, Kind::stopping, "Stopping\u2026", false},
      {"active", "http://127.0.0.1:8123/", Kind::active, "Stop", true},
      {"active", std::nullopt, Kind::error, "Contact Support", true},
      {"active", "not an address", Kind::error, "Contact Support", true},
      {"Active", "http://127.0.0.1:8123/", Kind::error, "Contact Support", true},
      {"", std::nullopt, Kind::error, "Contact Support", true},
  };
  for (const auto& c : cases) {
    LiveSharingModel model;
    EXPECT_TRUE(model.apply(c.status, c.url)) << c.status;
    EXPECT_EQ(model.state().kind, c.kind) << c.status;
    EXPECT_EQ(model.state().buttonTitle(), c.button) << c.status;
    EXPECT_EQ(model.state().buttonEnabled(), c.enabled) << c.status;
    EXPECT_EQ(model.copyableAddress().has_value(), c.kind == Kind::active) << c.status;
  }
  LiveSharingModel fresh;
  EXPECT_FALSE(fresh.state().buttonEnabled());
  EXPECT_EQ(fresh.state().message(), LiveSharingModel::noServerText);
}

TEST(LiveSharingModel, NeverSticksOnStartingAndFollowsNewAddresses) {
  LiveSharingModel model;
  model.apply("available", std::nullopt);
  EXPECT_TRUE(model.start(true));
  EXPECT_EQ(model.state().kind, Kind::starting);
  // The server answering with the status it had before still applies.
  EXPECT_TRUE(model.apply("available", std::nullopt));
  EXPECT_EQ(model.state().kind, Kind::available);
  // A start the server never answers fails.
  model.start(true);
  EXPECT_TRUE(model.startTimedOut());
  EXPECT_EQ(model.state().message(), LiveSharingModel::errorText);
  EXPECT_TRUE(model.apply("available", std::nullopt));
  // Without a server link nothing claims to start.
  EXPECT_TRUE(model.start(false));
  EXPECT_EQ(model.state().kind, Kind::unavailable);

  model.apply("active", "http://127.0.0.1:1/");
  EXPECT_EQ(model.copyableAddress(), "http://127.0.0.1:1/");
  EXPECT_FALSE(model.apply("active", "http://127.0.0.1:1/"));
  EXPECT_TRUE(model.apply("active", "http://127.0.0.1:2/"));
  EXPECT_EQ(model.state().url, "http://127.0.0.1:2/");
  model.apply("stopping", std::nullopt);
  EXPECT_EQ(model.copyableAddress(), std::nullopt);
  EXPECT_FALSE(model.startTimedOut());
  model.apply("active", "http://127.0.0.1:2/");
  EXPECT_TRUE(model.serverGone());
  EXPECT_EQ(model.state().kind, Kind::unavailable);
  EXPECT_EQ(model.copyableAddress(), std::nullopt);
}
