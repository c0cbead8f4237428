#include "server/ServerState.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "server/CurrentHost.h"
#include "server/ServerCommand.h"
#include "server/ServerRestartPolicy.h"

using nlohmann::json;

namespace {
json minimal() {
  return {{"running", true}, {"packages", json::array()}, {"outdated", json::array()},
          {"tasks", json::object()}, {"liveSharing", {{"status", "available"}}}};
}
}  // namespace

TEST(ServerState, DecodesTheFiveRequiredKeysAlone) {
  auto state = ServerState::fromObject(minimal());
  ASSERT_TRUE(state);
  EXPECT_TRUE(state->running);
  EXPECT_FALSE(state->url);
  EXPECT_FALSE(state->script);
  EXPECT_FALSE(state->libraryVersion);
  EXPECT_FALSE(state->liveSharing.url);
  EXPECT_EQ(state->liveSharing.status, "available");
}

TEST(ServerState, DecodesAFullStateUnchanged) {
  auto text = R"({"url":"http://127.0.0.1:5000/","running":false,"script":" serve ","packages":["a","B"],
    "outdated":[{"name":"lib","current":"1.0","wanted":"^1","latest":"2.0.0-beta","type":"devDependencies"}],
    "tasks":{"T 1":{"name":"install","context":{"packageName":"lib","packageVersion":"2.0.0-beta"}},
             "t2":{"name":"x","context":{}},"t3":{"name":"y"}},
    "libraryVersion":"1.0","liveSharing":{"status":"active","url":"http://10.0.0.2:5000/"},"extra":[1]})";
  auto state = ServerState::fromData(text);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->url, "http://127.0.0.1:5000/");
  EXPECT_FALSE(state->running);
  EXPECT_EQ(state->script, " serve ");
  EXPECT_EQ(state->packages, (std::vector<std::string>{"a", "B"}));
  ASSERT_EQ(state->outdated.size(), 1u);
  EXPECT_EQ(state->outdated[0], (ServerState::OutdatedPackage{"lib", "1.0", "^1", "2.0.0-beta", "devDependencies"}));
  ASSERT_EQ(state->tasks.size(), 3u);
  EXPECT_EQ(state->tasks["T 1"].context->packageVersion, "2.0.0-beta");
  ASSERT_TRUE(state->tasks["t2"].context) << "an empty context is a context";
  EXPECT_FALSE(state->tasks["t2"].context->packageName);
  EXPECT_FALSE(state->tasks["t3"].context);
  EXPECT_EQ(state->liveSharing.url, "http://10.0.0.2:5000/");
}

TEST(ServerState, RejectsTheWholeStateForOneBadValue) {
  auto without = [](const char* key) {
    auto j = minimal();
    j.erase(key);
    return j;
  };
  auto with = [](const char* key, json value) {
    auto j = minimal();
    j[key] = std::move(value);
    return j;
  };
  for (const char* key : {"running", "packages", "outdated", "tasks", "liveSharing"})
    EXPECT_FALSE(ServerState::fromObject(without(key))) << key;
  EXPECT_FALSE(ServerState::fromObject(with("running", 1)));
  EXPECT_FALSE(ServerState::fromObject(with("running", nullptr)));
  EXPECT_FALSE(ServerState::fromObject(with("packages", json::array({1}))));
  EXPECT_FALSE(ServerState::fromObject(with("tasks", json::array())));
  EXPECT_FALSE(ServerState::fromObject(with("url", 5)));
  EXPECT_FALSE(ServerState::fromObject(
      with("outdated", json::array({{{"name", "a"}, {"current", "1"}, {"latest", "2"}, {"type", "t"}}}))));
  EXPECT_FALSE(ServerState::fromObject(with("tasks", {{"t", {{"context", json::object()}}}})));
  EXPECT_FALSE(ServerState::fromObject(with("liveSharing", {{"url", "http://x/"}})));
  EXPECT_FALSE(ServerState::fromObject(with("liveSharing", {{"status", nullptr}})));
  EXPECT_FALSE(ServerState::fromObject(json::array()));
  EXPECT_FALSE(ServerState::fromData("{\"running\":true"));
  EXPECT_FALSE(ServerState::fromData(""));
  EXPECT_FALSE(ServerState::fromData("{\"running\":true,\"packages\":[1e99999]}")) << "no double holds it";

  auto nullUrl = ServerState::fromObject(with("url", nullptr));
  ASSERT_TRUE(nullUrl);
  EXPECT_FALSE(nullUrl->url);
}

TEST(ServerCommand, NamesEventsAndPayloads) {
  struct Expected {
    ServerCommand command;
    const char* event;
    json payload;
  };
  std::vector<Expected> all = {
      {ServerCommand::addPackage("left-pad", true), "addPackage", {{"packageName", "left-pad"}, {"isDevDependency", true}}},
      {ServerCommand::setIsDocumentDirty(false), "setIsDocumentDirty", {{"dirty", false}}},
      {ServerCommand::upgradeDependency("a", "2.0"), "upgradeDependency", {{"packageName", "a"}, {"version", "2.0"}}},
      {ServerCommand::canvasData("{}"), "canvasData", {{"canvasData", "{}"}}},
      {ServerCommand::joinRoom("preview"), "joinRoom", {{"room", "preview"}}},
      {ServerCommand::reloadClients(), "reloadClients", nullptr},
      {ServerCommand::updatePackageInfo(), "updatePackageInfo", nullptr},
      {ServerCommand::upgradeKorvelLibrary(), "upgradeKorvelLibrary", nullptr},
      {ServerCommand::startLiveSharing(), "startLiveSharing", nullptr},
      {ServerCommand::stopLiveSharing(), "stopLiveSharing", nullptr},
  };
  for (auto& e : all) {
    EXPECT_EQ(e.command.event(), e.event);
    EXPECT_EQ(e.command.socketRepresentation(), e.payload) << e.event;
  }
  EXPECT_TRUE(ServerCommand::startLiveSharing().socketRepresentation().is_null()) << "null, never an empty object";
}

TEST(ServerRestartPolicy, BacksOffQuickFailuresAndGivesUp) {
  ServerRestartPolicy policy({.quickFailure = 10, .maxQuickFailures = 3, .initialDelay = 1, .maxDelay = 3});
  EXPECT_EQ(policy.delayAfterFailure(0.5), 1.0);
  EXPECT_EQ(policy.delayAfterFailure(0.5), 2.0);
  EXPECT_EQ(policy.delayAfterFailure(0.5), 3.0) << "capped";
  EXPECT_FALSE(policy.delayAfterFailure(0.5));
  EXPECT_FALSE(policy.delayAfterFailure(0.5));
  // A server that ran well before failing starts afresh.
  EXPECT_EQ(policy.delayAfterFailure(60), 1.0);
  EXPECT_EQ(policy.delayAfterFailure(1), 2.0);
}

TEST(CurrentHost, ListsOnlyNonLoopbackIPv4Addresses) {
  for (auto& address : CurrentHost::IPv4Addresses()) {
    in_addr parsed{};
    EXPECT_EQ(inet_pton(AF_INET, address.c_str(), &parsed), 1) << address;
    EXPECT_NE(address.rfind("127.", 0), 0u) << address;
  }
}
