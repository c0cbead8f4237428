#pragma once
// Test helper: a server on 127.0.0.1 run by Node.js as a real child process: the Socket.IO server
// of tests/platform_io/data/peer.js (npm `socket.io`), or another script of that folder that
// prints {"port": …} once it listens.

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Url.h"
#include "support/NodeServer.h"

class NodePeer {
 public:
  // Answers nothing when the server did not come up within 20 s.
  static std::unique_ptr<NodePeer> start(int port = 0, std::map<std::string, std::string> settings = {},
                                         const std::string& script = "peer.js") {
    settings["NODE_PATH"] = Resources::path("node_modules", {}, "Server").string();
    auto server = NodeServer::start("tests/platform_io/data/" + script, {std::to_string(port)}, settings);
    if (!server) return nullptr;
    return std::unique_ptr<NodePeer>(new NodePeer(std::move(server)));
  }

  int port() const { return server_->port(); }
  pid_t pid() const { return server_->pid(); }
  Url url() const { return *Url::parse(server_->base() + "/"); }

 private:
  explicit NodePeer(std::unique_ptr<NodeServer> server) : server_(std::move(server)) {}
  std::unique_ptr<NodeServer> server_;
};
