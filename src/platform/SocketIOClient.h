#pragma once
// A Socket.IO 5 client over an Engine.IO 4 WebSocket (libsoup), for the default namespace.
// It answers the server's pings, notices a silent server, and after a lost connection
// reconnects on its own with a randomised exponential back-off, calling the connect handler on
// every connection. Events go out with one JSON argument and come in as an argument array; an
// incoming request for acknowledgement is not answered.
//
// Threads: main thread only; handlers run on the main loop. A handler may destroy the client.
// Events emitted while not connected are dropped.

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "Url.h"

namespace socketio {

class Client {
 public:
  struct Options {
    bool compress = true;  // offer permessage-deflate
    bool reconnection = true;
    double reconnectionDelay = 1.0;     // seconds before the first retry
    double reconnectionDelayMax = 5.0;  // the retries' ceiling
    double randomizationFactor = 0.5;
    double connectTimeout = 20.0;  // from opening the WebSocket to the namespace's answer
    std::string path = "/socket.io/";
    std::size_t maxPayload = 16 * 1024 * 1024;  // largest frame accepted
    // Sent with every handshake (a server's key among them: never logged).
    std::map<std::string, std::string> headers;
  };

  // `arguments` is the JSON array of the event's arguments after its name.
  using EventHandler = std::function<void(const nlohmann::json& arguments)>;

  explicit Client(Url url);
  Client(Url url, Options options);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // The address given at creation.
  const Url& url() const;

  // One handler per event name; a later one replaces it.
  void on(const std::string& event, EventHandler handler);
  // Called on the first connection and on every reconnection.
  void onConnect(std::function<void()> handler);

  void connect();
  // Leaves the namespace and closes; no reconnection follows.
  void disconnect();
  bool isConnected() const;

  // Sends the event with one argument; answers false (and sends nothing) while not connected.
  bool emit(const std::string& event, const nlohmann::json& argument);

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace socketio
