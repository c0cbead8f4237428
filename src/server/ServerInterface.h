#pragma once
// The link to a running project server as its controller sees it: the server's pushes as
// handlers, commands as events. Main thread only; handlers run on the main loop.

#include <functional>
#include <string>

#include "platform/Url.h"
#include "server/ServerCommand.h"
#include "server/ServerState.h"

class ServerInterface {
 public:
  virtual ~ServerInterface() = default;

  virtual const Url& url() const = 0;

  std::function<void(const ServerState& state)> didUpdateState;
  std::function<void(const std::string& previewData)> didUpdatePreview;
  std::function<void()> shouldReloadPreview;
  // After every connection, first or renewed, once the link is back in its room.
  std::function<void()> didConnect;

  virtual void send(const ServerCommand& command) = 0;
};
