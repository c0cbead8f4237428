#pragma once
// The link to a project server over Socket.IO. It connects at once, joins the room "preview" on
// every connection, and hands on the pushes "state", "updatePreview" and "reload". Commands sent
// while the connection is down are dropped. Main thread only.

#include <memory>

#include "platform/SocketIOClient.h"
#include "server/ServerInterface.h"

class SocketConnection final : public ServerInterface {
 public:
  static socketio::Client::Options defaultOptions();

  explicit SocketConnection(Url url, socketio::Client::Options options = defaultOptions());
  ~SocketConnection() override;

  const Url& url() const override;
  void send(const ServerCommand& command) override;

 private:
  // Owned here, so its callbacks never outlive the link.
  std::unique_ptr<socketio::Client> socketManager_;
};
