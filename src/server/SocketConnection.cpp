#include "SocketConnection.h"

// Handlers are copied before they run: one may drop the link, and with it themselves.

#include <nlohmann/json.hpp>

socketio::Client::Options SocketConnection::defaultOptions() {
  socketio::Client::Options options;
  options.compress = true;
  options.reconnection = true;
  return options;
}

SocketConnection::SocketConnection(Url url, socketio::Client::Options options)
    : socketManager_(std::make_unique<socketio::Client>(std::move(url), std::move(options))) {
  socketManager_->on("state", [this](const nlohmann::json& arguments) {
    if (arguments.empty()) return;
    auto state = ServerState::fromObject(arguments[0]);
    if (auto handler = didUpdateState; state && handler) handler(*state);
  });
  socketManager_->on("updatePreview", [this](const nlohmann::json& arguments) {
    if (auto handler = didUpdatePreview; handler && !arguments.empty() && arguments[0].is_string())
      handler(arguments[0].get<std::string>());
  });
  socketManager_->on("reload", [this](const nlohmann::json&) {
    if (auto handler = shouldReloadPreview) handler();
  });
  socketManager_->onConnect([this] {
    send(ServerCommand::joinRoom("preview"));
    if (auto handler = didConnect) handler();
  });
  socketManager_->connect();
}

SocketConnection::~SocketConnection() = default;

const Url& SocketConnection::url() const { return socketManager_->url(); }

void SocketConnection::send(const ServerCommand& command) {
  socketManager_->emit(command.event(), command.socketRepresentation());
}
