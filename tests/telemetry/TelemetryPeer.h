#pragma once
// Test helper: tests/telemetry/data/telemetry_peer.js run by Node.js on 127.0.0.1, serving the
// stand-in analytics page and recording the calls that reach "/track".

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/NodeServer.h"

class TelemetryPeer {
 public:
  struct Recorded {
    std::string path;
    nlohmann::json body;
  };

  // None when the peer did not come up within 20 s.
  static std::unique_ptr<TelemetryPeer> start() {
    auto peer = std::unique_ptr<TelemetryPeer>(new TelemetryPeer());
    TelemetryPeer* raw = peer.get();
    peer->server_ =
        NodeServer::start("tests/telemetry/data/telemetry_peer.js", {"0"}, {}, [raw](const nlohmann::json& line) {
          if (line.contains("recorded"))
            raw->recorded.push_back({line["recorded"]["path"].get<std::string>(), line["recorded"]["body"]});
        });
    if (!peer->server_) return nullptr;
    return peer;
  }

  std::string base() const { return server_->base(); }
  std::vector<Recorded> recorded;

 private:
  TelemetryPeer() = default;
  std::unique_ptr<NodeServer> server_;
};
