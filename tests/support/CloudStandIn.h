#pragma once
// Test helper: the stand-in cloud service of tools/cloud-standin run by Node.js as a child on
// 127.0.0.1, with its control routes (known tokens, switches, recorded calls).

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/HttpSession.h"
#include "platform/JsonCoder.h"
#include "platform/RunLoop.h"
#include "platform/Url.h"
#include "support/NodeServer.h"

class CloudStandIn {
 public:
  // Nothing when the service did not come up within 20 s.
  static std::unique_ptr<CloudStandIn> start() {
    auto server = NodeServer::start("tools/cloud-standin/server.js");
    if (!server) return nullptr;
    auto service = std::unique_ptr<CloudStandIn>(new CloudStandIn());
    service->server_ = std::move(server);
    return service;
  }

  int port() const { return server_->port(); }
  std::string base() const { return server_->base(); }

  // One request to the service, answered on the main loop; the JSON answer, or none.
  std::optional<nlohmann::json> call(const std::string& method, const std::string& path,
                                     const std::optional<nlohmann::json>& body = std::nullopt) {
    HttpRequest request(*Url::parse(base() + path));
    request.method = method;
    if (body) {
      std::string text = JsonCoder::dump(*body);
      request.body.assign(text.begin(), text.end());
      request.contentType = "application/json";
    }
    std::optional<Result<HttpResponse>> answer;
    session_.send(std::move(request), [&](Result<HttpResponse> r) { answer = std::move(r); });
    RunLoop::runUntil([&] { return answer.has_value(); }, 20.0);
    if (!answer || !*answer || (**answer).status != 200) return std::nullopt;
    auto parsed = JsonCoder::parse(std::string((**answer).body.begin(), (**answer).body.end()));
    if (!parsed) return std::nullopt;
    return std::move(*parsed);
  }
  bool addUser(const std::string& token, const nlohmann::json& user) {
    return call("POST", "/_standin/users", nlohmann::json{{"token", token}, {"user", user}}).has_value();
  }
  bool setSwitches(const nlohmann::json& switches) { return call("POST", "/_standin/switches", switches).has_value(); }
  // How many requests of a kind ("studioMe", "subscribe") arrived.
  long count(const std::string& kind) {
    auto answer = call("GET", "/_standin/counts");
    return answer && answer->contains(kind) ? (*answer)[kind].get<long>() : -1;
  }

 private:
  CloudStandIn() = default;
  std::unique_ptr<NodeServer> server_;
  HttpSession session_;
};
