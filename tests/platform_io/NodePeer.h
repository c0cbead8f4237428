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

#include "platform/JsonCoder.h"
#include "platform/Process.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "platform/Url.h"

class NodePeer {
 public:
  // Answers nothing when the server did not come up within 20 s.
  static std::unique_ptr<NodePeer> start(int port = 0, std::map<std::string, std::string> settings = {},
                                         const std::string& script = "peer.js") {
    auto peer = std::unique_ptr<NodePeer>(new NodePeer());
    Process::Options options;
    options.executable = Resources::path("bin/node", {}, "Node");
    options.arguments = {std::string(KORVEL_SOURCE_DIR) + "/tests/platform_io/data/" + script, std::to_string(port)};
    auto environment = Process::currentEnvironment();
    environment["NODE_PATH"] = Resources::path("node_modules", {}, "Server").string();
    for (auto& [key, value] : settings) environment[key] = value;
    options.environment = environment;
    options.terminationGrace = 1.0;
    NodePeer* raw = peer.get();
    Process::Handlers handlers;
    handlers.line = [raw](const std::string& line, Process::Stream) {
      auto parsed = JsonCoder::parse(line);
      if (parsed && parsed->is_object() && parsed->contains("port")) raw->port_ = (*parsed)["port"].get<int>();
    };
    auto launched = Process::launch(options, handlers);
    if (!launched) return nullptr;
    peer->process_ = std::move(*launched);
    if (!RunLoop::runUntil([raw] { return raw->port_ > 0; }, 20.0)) return nullptr;
    return peer;
  }

  int port() const { return port_; }
  pid_t pid() const { return process_->pid(); }
  Url url() const { return *Url::parse("http://127.0.0.1:" + std::to_string(port_) + "/"); }

 private:
  NodePeer() = default;
  std::unique_ptr<Process> process_;
  int port_ = 0;
};
