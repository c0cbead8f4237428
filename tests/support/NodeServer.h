#pragma once
// Test helper: a Node.js script run as a child process on 127.0.0.1 that prints {"port": …}
// once it listens. Every other JSON line it prints goes to `onLine`. Dropping it stops the
// server. Link korvel_platform_io to use it.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/JsonCoder.h"
#include "platform/Process.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"

class NodeServer {
 public:
  using LineHandler = std::function<void(const nlohmann::json& line)>;

  // None when the server did not come up within 20 s. `script` is relative to the source tree.
  static std::unique_ptr<NodeServer> start(const std::string& script, std::vector<std::string> arguments = {"0"},
                                           std::map<std::string, std::string> environment = {},
                                           LineHandler onLine = {}) {
    auto server = std::unique_ptr<NodeServer>(new NodeServer());
    Process::Options options;
    options.executable = Resources::path("bin/node", {}, "Node");
    options.arguments = {std::string(KORVEL_SOURCE_DIR) + "/" + script};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    auto env = Process::currentEnvironment();
    for (auto& [key, value] : environment) env[key] = value;
    options.environment = env;
    options.terminationGrace = 1.0;
    NodeServer* raw = server.get();
    Process::Handlers handlers;
    handlers.line = [raw, onLine = std::move(onLine)](const std::string& line, Process::Stream) {
      auto parsed = JsonCoder::parse(line);
      if (!parsed || !parsed->is_object()) return;
      if (parsed->contains("port") && (*parsed)["port"].is_number_integer()) raw->port_ = (*parsed)["port"].get<int>();
      if (onLine) onLine(*parsed);
    };
    auto launched = Process::launch(options, handlers);
    if (!launched) return nullptr;
    server->process_ = std::move(*launched);
    if (!RunLoop::runUntil([raw] { return raw->port_ > 0; }, 20.0)) return nullptr;
    return server;
  }

  int port() const { return port_; }
  pid_t pid() const { return process_->pid(); }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  NodeServer() = default;
  std::unique_ptr<Process> process_;
  int port_ = 0;
};
