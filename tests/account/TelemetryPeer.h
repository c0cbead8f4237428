#pragma once
// Test helper: tests/account/data/telemetry_peer.js run by Node.js on 127.0.0.1, serving the
// stand-in analytics page and recording the calls that reach "/track".

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/JsonCoder.h"
#include "platform/Process.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"

class TelemetryPeer {
 public:
  struct Recorded {
    std::string path;
    nlohmann::json body;
  };

  // None when the peer did not come up within 20 s.
  static std::unique_ptr<TelemetryPeer> start() {
    auto peer = std::unique_ptr<TelemetryPeer>(new TelemetryPeer());
    Process::Options options;
    options.executable = Resources::path("bin/node", {}, "Node");
    options.arguments = {std::string(KORVEL_SOURCE_DIR) + "/tests/account/data/telemetry_peer.js", "0"};
    options.environment = Process::currentEnvironment();
    options.terminationGrace = 1.0;
    TelemetryPeer* raw = peer.get();
    Process::Handlers handlers;
    handlers.line = [raw](const std::string& line, Process::Stream) {
      auto parsed = JsonCoder::parse(line);
      if (!parsed || !parsed->is_object()) return;
      if (parsed->contains("port")) raw->port_ = (*parsed)["port"].get<int>();
      if (parsed->contains("recorded"))
        raw->recorded.push_back({(*parsed)["recorded"]["path"].get<std::string>(), (*parsed)["recorded"]["body"]});
    };
    auto launched = Process::launch(options, handlers);
    if (!launched) return nullptr;
    peer->process_ = std::move(*launched);
    if (!RunLoop::runUntil([raw] { return raw->port_ > 0; }, 20.0)) return nullptr;
    return peer;
  }

  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<Recorded> recorded;

 private:
  TelemetryPeer() = default;
  std::unique_ptr<Process> process_;
  int port_ = 0;
};
