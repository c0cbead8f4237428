#include "server/SocketConnection.h"

#include <gtest/gtest.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "platform_io/NodePeer.h"
#include "support/Wait.h"

using nlohmann::json;

namespace {

socketio::Client::Options quickOptions() {
  auto options = SocketConnection::defaultOptions();
  options.reconnectionDelay = 0.05;
  options.reconnectionDelayMax = 0.3;
  return options;
}

json validState() {
  return {{"running", true}, {"packages", json::array()}, {"outdated", json::array()},
          {"tasks", json::object()}, {"liveSharing", {{"status", "starting"}}}};
}

// A link on a real Socket.IO server, and a second client that makes the server push to it.
struct Rig {
  std::unique_ptr<NodePeer> peer = NodePeer::start();
  std::unique_ptr<SocketConnection> link;
  std::unique_ptr<socketio::Client> pusher;
  std::vector<ServerState> states;
  std::vector<std::string> previews;
  std::vector<json> joins;
  int reloads = 0, connects = 0, marker = 0;

  bool setUp() {
    if (!peer) return false;
    link = std::make_unique<SocketConnection>(peer->url(), quickOptions());
    link->didUpdateState = [this](const ServerState& s) { states.push_back(s); };
    link->didUpdatePreview = [this](const std::string& p) { previews.push_back(p); };
    link->shouldReloadPreview = [this] { ++reloads; };
    link->didConnect = [this] { ++connects; };
    return connectPusher() && RunLoop::runUntil([this] { return connects > 0; }, 20.0);
  }
  bool connectPusher() {
    pusher = std::make_unique<socketio::Client>(peer->url(), quickOptions());
    pusher->on("joined", [this](const json& arguments) { joins.push_back(arguments[0]); });
    pusher->connect();
    return RunLoop::runUntil([this] { return pusher->isConnected(); }, 20.0);
  }
  // The server's counts, asked through the pusher; null when no answer came.
  json stats() {
    auto answer = std::make_shared<json>();
    pusher->on("stats", [answer](const json& arguments) { *answer = arguments[0]; });
    if (pusher->emit("stats", nullptr)) RunLoop::runUntil([&] { return !answer->is_null(); }, 20.0);
    return *answer;
  }
  // Pushes `event` with `args` to the link, then a marker; the first has been handled when the
  // marker arrives.
  void push(const std::string& event, json args) {
    std::string text = "marker " + std::to_string(++marker);
    pusher->emit("push", {{"event", event}, {"args", std::move(args)}, {"others", true}});
    pusher->emit("push", {{"event", "updatePreview"}, {"args", {text}}, {"others", true}});
    ASSERT_TRUE(RunLoop::runUntil([&] { return !previews.empty() && previews.back() == text; }, 20.0));
    previews.pop_back();
  }
};

}  // namespace

TEST(SocketConnection, HandsOnPushesThatDecode) {
  Rig rig;
  ASSERT_TRUE(rig.setUp());
  EXPECT_EQ(rig.link->url(), rig.peer->url());

  rig.push("state", {validState(), "extra", 3});
  ASSERT_EQ(rig.states.size(), 1u) << "once, also with further arguments";
  EXPECT_EQ(rig.states[0].liveSharing.status, "starting");

  auto broken = validState();
  broken.erase("liveSharing");
  rig.push("state", {broken});
  rig.push("state", json::array());
  rig.push("state", {"text"});
  EXPECT_EQ(rig.states.size(), 1u);

  rig.push("updatePreview", {42});
  rig.push("updatePreview", json::array());
  EXPECT_TRUE(rig.previews.empty());
  rig.push("updatePreview", {"{\"selection\":1}", 2});
  EXPECT_EQ(rig.previews, std::vector<std::string>{"{\"selection\":1}"});

  rig.push("reload", {1, 2});
  EXPECT_EQ(rig.reloads, 1);

  rig.link->didUpdateState = nullptr;  // a push without a handler is dropped
  rig.push("state", {validState()});
  EXPECT_EQ(rig.states.size(), 1u);
}

TEST(SocketConnection, JoinsThePreviewRoomOnEveryConnection) {
  Rig rig;
  ASSERT_TRUE(rig.setUp());
  int port = rig.peer->port();

  // The pusher hears "joined" only for its own joins; ask the server for its count instead, until
  // the link's join has arrived.
  std::function<json()> ask = [&] { return rig.stats(); };
  std::function<bool(const json&)> joined = [](const json& s) { return s.is_object() && s.value("joins", 0) >= 1; };
  json stats = testwait::askUntil(ask, joined);
  EXPECT_EQ(stats["joins"], 1);
  EXPECT_EQ(stats["lastJoin"], json({{"room", "preview"}}));

  rig.peer.reset();
  rig.peer = NodePeer::start(port);
  ASSERT_TRUE(rig.peer);
  ASSERT_TRUE(RunLoop::runUntil([&] { return rig.connects == 2; }, 20.0));
  ASSERT_TRUE(rig.connectPusher());
  stats = testwait::askUntil(ask, joined);
  EXPECT_EQ(stats["joins"], 1) << "the restarted server saw the link join again";
  EXPECT_EQ(stats["lastJoin"], json({{"room", "preview"}}));
}
