#include "platform/SocketIOClient.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "platform_io/NodePeer.h"
#include "support/Wait.h"

using nlohmann::json;

namespace {

socketio::Client::Options quickOptions() {
  socketio::Client::Options options;
  options.reconnectionDelay = 0.05;
  options.reconnectionDelayMax = 0.3;
  options.connectTimeout = 5.0;
  return options;
}

// A client that records connections and the events it is told to watch.
struct Recorder {
  std::unique_ptr<socketio::Client> client;
  int connects = 0;
  std::map<std::string, std::vector<json>> received;

  Recorder(const Url& url, socketio::Client::Options options = quickOptions())
      : client(std::make_unique<socketio::Client>(url, options)) {
    client->onConnect([this] { ++connects; });
    watch("stats");
  }
  void watch(const std::string& event) {
    client->on(event, [this, event](const json& arguments) { received[event].push_back(arguments); });
  }
  bool waitFor(const std::string& event, size_t count = 1) {
    return RunLoop::runUntil([&] { return received[event].size() >= count; }, 20.0);
  }
  bool waitForConnects(int count) {
    return RunLoop::runUntil([&] { return connects >= count && client->isConnected(); }, 20.0);
  }
  json stats() {
    size_t before = received["stats"].size();
    client->emit("stats", nullptr);
    EXPECT_TRUE(waitFor("stats", before + 1));
    return received["stats"].empty() ? json() : received["stats"].back()[0];
  }
};

}  // namespace

TEST(SocketIOClient, CarriesEventsBothWays) {
  auto peer = NodePeer::start();
  ASSERT_TRUE(peer);
  Recorder r(peer->url());
  r.watch("echo");
  r.watch("withAck");
  EXPECT_FALSE(r.client->emit("echo", "too early")) << "nothing goes out before the connection";
  r.client->connect();
  ASSERT_TRUE(r.waitForConnects(1));
  EXPECT_EQ(r.client->url(), peer->url());

  json argument = {{"text", "caf\u00e9 \u2713"}, {"n", 3}, {"list", {1, nullptr, true}}};
  EXPECT_TRUE(r.client->emit("echo", argument));
  EXPECT_TRUE(r.client->emit("echo", nullptr));
  ASSERT_TRUE(r.waitFor("echo", 2));
  EXPECT_EQ(r.received["echo"][0], json::array({argument}));
  EXPECT_EQ(r.received["echo"][1], json::array({nullptr}));

  // Several arguments, none, and an event that asks for an acknowledgement.
  r.client->emit("push", {{"event", "echo"}, {"args", {1, "two"}}});
  r.client->emit("push", {{"event", "echo"}, {"args", json::array()}});
  r.client->emit("askForAck", nullptr);
  ASSERT_TRUE(r.waitFor("echo", 4));
  ASSERT_TRUE(r.waitFor("withAck"));
  EXPECT_EQ(r.received["echo"][2], json::array({1, "two"}));
  EXPECT_EQ(r.received["echo"][3], json::array());
  EXPECT_EQ(r.received["withAck"][0], json::array({{{"asked", true}}}));
  EXPECT_EQ(r.stats()["connections"], 1) << "the link is still the first one";
}

TEST(SocketIOClient, CompressesLargeEventsWhenOffered) {
  std::string big(300000, 'x');
  for (size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>('a' + i % 26);
  for (bool compress : {true, false}) {
    auto peer = NodePeer::start();
    ASSERT_TRUE(peer);
    auto options = quickOptions();
    options.compress = compress;
    Recorder r(peer->url(), options);
    r.watch("echo");
    r.client->connect();
    ASSERT_TRUE(r.waitForConnects(1));
    auto extensions = r.stats()["extensions"].get<std::string>();
    EXPECT_EQ(extensions.find("permessage-deflate") != std::string::npos, compress) << extensions;
    r.client->emit("echo", big);
    ASSERT_TRUE(r.waitFor("echo"));
    EXPECT_EQ(r.received["echo"][0][0], big);
  }
}

TEST(SocketIOClient, AnswersPingsAndNoticesASilentServer) {
  // Pongs may come late on a loaded machine: the server waits long for each, and pings often.
  auto peer = NodePeer::start(0, {{"PEER_PING_INTERVAL", "100"}, {"PEER_PING_TIMEOUT", "5000"}});
  ASSERT_TRUE(peer);
  Recorder r(peer->url());
  r.client->connect();
  ASSERT_TRUE(r.waitForConnects(1));
  // Many ping intervals pass; the server keeps the connection because every ping is answered.
  RunLoop::runUntil([] { return false; }, 1.5);
  auto stats = r.stats();
  EXPECT_EQ(stats["connections"], 1);
  EXPECT_EQ(stats["disconnects"], 0);

  // A stopped server sends no pings: the client gives up on it, and comes back when it wakes.
  ASSERT_EQ(kill(peer->pid(), SIGSTOP), 0);
  EXPECT_TRUE(RunLoop::runUntil([&] { return !r.client->isConnected(); }, 20.0));
  ASSERT_EQ(kill(peer->pid(), SIGCONT), 0);
  EXPECT_TRUE(r.waitForConnects(2));
}

TEST(SocketIOClient, ReconnectsToARestartedServerAndCallsConnectAgain) {
  auto peer = NodePeer::start();
  ASSERT_TRUE(peer);
  int port = peer->port();
  Recorder r(peer->url());
  r.watch("joined");
  r.client->onConnect([&] {
    ++r.connects;
    r.client->emit("joinRoom", {{"room", "preview"}});
  });
  r.client->connect();
  ASSERT_TRUE(r.waitFor("joined"));

  peer.reset();
  EXPECT_TRUE(RunLoop::runUntil([&] { return !r.client->isConnected(); }, 20.0));
  peer = NodePeer::start(port);
  ASSERT_TRUE(peer) << "port " << port << " could not be taken again";
  ASSERT_TRUE(r.waitFor("joined", 2));
  EXPECT_EQ(r.connects, 2);
  EXPECT_EQ(r.received["joined"][1][0]["joins"], 1) << "the new server saw the room joined";
  EXPECT_EQ(r.received["joined"][1][0]["payload"]["room"], "preview");
}

TEST(SocketIOClient, StaysAwayAfterDisconnectAndSurvivesItsOwnEnd) {
  auto peer = NodePeer::start();
  ASSERT_TRUE(peer);
  {
    Recorder r(peer->url());
    r.client->connect();
    ASSERT_TRUE(r.waitForConnects(1));
    r.client->disconnect();
    EXPECT_FALSE(r.client->isConnected());
    RunLoop::runUntil([] { return false; }, 0.5);
    EXPECT_EQ(r.connects, 1);
  }
  // A handler that destroys its own client.
  Recorder r(peer->url());
  r.client->on("echo", [&](const json&) { r.client.reset(); });
  r.client->connect();
  ASSERT_TRUE(r.waitForConnects(1));
  r.client->emit("push", {{"event", "echo"}, {"args", {1}}});
  r.client->emit("push", {{"event", "echo"}, {"args", {2}}});
  EXPECT_TRUE(RunLoop::runUntil([&] { return !r.client; }, 20.0));

  // The server hears of the second end when it hears of it: ask until it has.
  Recorder stats(peer->url());
  stats.client->connect();
  ASSERT_TRUE(stats.waitForConnects(1));
  std::function<json()> ask = [&] { return stats.stats(); };
  std::function<bool(const json&)> bothEnded = [](const json& s) {
    return s.is_object() && s.value("disconnects", 0) >= 2;
  };
  EXPECT_EQ(testwait::askUntil(ask, bothEnded)["disconnects"], 2);
}

TEST(SocketIOClient, KeepsTryingWhileNothingListens) {
  auto peer = NodePeer::start();
  ASSERT_TRUE(peer);
  int port = peer->port();
  peer.reset();
  Recorder r(*Url::parse("http://127.0.0.1:" + std::to_string(port) + "/"));
  r.client->connect();
  RunLoop::runUntil([] { return false; }, 0.5);
  EXPECT_FALSE(r.client->isConnected());
  peer = NodePeer::start(port);
  ASSERT_TRUE(peer);
  EXPECT_TRUE(r.waitForConnects(1));
}
