#include "SocketIOClient.h"

#include <libsoup/soup.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include <nlohmann/json.hpp>

#include "GObjectPtr.h"
#include "JsonCoder.h"
#include "RunLoop.h"
#include "SocketIOPacket.h"

namespace socketio {

namespace {

std::string webSocketAddress(const Url& url, const std::string& path) {
  std::string scheme = url.scheme() == "https" || url.scheme() == "wss" ? "wss" : "ws";
  std::string host = url.host();
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  std::string address = scheme + "://" + host;
  if (url.port() >= 0) address += ":" + std::to_string(url.port());
  address += path.empty() || path.front() != '/' ? "/" + path : path;
  if (address.back() != '/') address += "/";
  return address + "?EIO=4&transport=websocket";
}

double milliseconds(const nlohmann::json& object, const char* key, double fallback) {
  auto it = object.find(key);
  return it != object.end() && it->is_number() && it->get<double>() >= 0 ? it->get<double>() : fallback;
}

}  // namespace

struct Client::Impl : std::enable_shared_from_this<Client::Impl> {
  enum class Phase { idle, opening, handshaking, connected, waitingToReconnect };

  Url url;
  Options options;
  std::map<std::string, EventHandler> handlers;
  std::function<void()> connectHandler;

  Phase phase = Phase::idle;
  bool destroyed = false;
  int attempts = 0;  // failed tries since the last connection
  GObjectPtr<SoupSession> session;
  GObjectPtr<GCancellable> cancellable;
  GObjectPtr<SoupWebsocketConnection> connection;
  gulong messageSignal = 0, closedSignal = 0;
  std::unique_ptr<Timer> reconnectTimer, handshakeTimer, pingTimer;
  double pingDeadline = 45.0;  // pingInterval + pingTimeout, from the open packet

  Impl(Url u, Options o) : url(std::move(u)), options(std::move(o)) {}

  void open() {
    phase = Phase::opening;
    if (!session) {
      session.reset(soup_session_new());
      // Not every libsoup 3 offers permessage-deflate by default; ask for it, or refuse it.
      soup_session_remove_feature_by_type(session.get(), SOUP_TYPE_WEBSOCKET_EXTENSION_MANAGER);
      if (options.compress) {
        soup_session_add_feature_by_type(session.get(), SOUP_TYPE_WEBSOCKET_EXTENSION_MANAGER);
        soup_session_add_feature_by_type(session.get(), SOUP_TYPE_WEBSOCKET_EXTENSION_DEFLATE);
      }
    }
    GObjectPtr<SoupMessage> message(soup_message_new("GET", webSocketAddress(url, options.path).c_str()));
    if (!message) {  // an address libsoup refuses will not get better by retrying
      phase = Phase::idle;
      return;
    }
    SoupMessageHeaders* requestHeaders = soup_message_get_request_headers(message.get());
    for (const auto& [name, value] : options.headers)
      soup_message_headers_replace(requestHeaders, name.c_str(), value.c_str());
    cancellable.reset(g_cancellable_new());
    std::weak_ptr<Impl> weak = shared_from_this();
    handshakeTimer = Timer::scheduled(options.connectTimeout, false, [weak] {
      if (auto self = weak.lock()) self->lost();
    });
    soup_session_websocket_connect_async(session.get(), message.get(), nullptr, nullptr, G_PRIORITY_DEFAULT,
                                         cancellable.get(), onOpened, new std::weak_ptr<Impl>(weak));
  }

  static void onOpened(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::weak_ptr<Impl>> weak(static_cast<std::weak_ptr<Impl>*>(data));
    GError* error = nullptr;
    GObjectPtr<SoupWebsocketConnection> connection(
        soup_session_websocket_connect_finish(SOUP_SESSION(source), result, &error));
    auto self = weak->lock();
    if (error) {
      bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
      g_error_free(error);
      if (self && !cancelled && self->phase == Phase::opening) self->lost();
      return;
    }
    if (!self || self->phase != Phase::opening) {
      if (connection) soup_websocket_connection_close(connection.get(), SOUP_WEBSOCKET_CLOSE_GOING_AWAY, nullptr);
      return;
    }
    self->attach(std::move(connection));
  }

  void attach(GObjectPtr<SoupWebsocketConnection> c) {
    connection = std::move(c);
    soup_websocket_connection_set_max_incoming_payload_size(connection.get(), options.maxPayload);
    soup_websocket_connection_set_keepalive_interval(connection.get(), 0);
    messageSignal = g_signal_connect(connection.get(), "message", G_CALLBACK(onMessage), this);
    closedSignal = g_signal_connect(connection.get(), "closed", G_CALLBACK(onClosed), this);
    phase = Phase::handshaking;
  }

  // Forgets the WebSocket without a word to anyone.
  void detach() {
    if (cancellable) g_cancellable_cancel(cancellable.get());
    cancellable.reset();
    handshakeTimer.reset();
    pingTimer.reset();
    if (!connection) return;
    g_signal_handler_disconnect(connection.get(), messageSignal);
    g_signal_handler_disconnect(connection.get(), closedSignal);
    if (soup_websocket_connection_get_state(connection.get()) == SOUP_WEBSOCKET_STATE_OPEN)
      soup_websocket_connection_close(connection.get(), SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
    connection.reset();
  }

  // Both hold the connection and us: what they call may let go of either.
  static void onClosed(SoupWebsocketConnection* connection, gpointer data) {
    auto keep = GObjectPtr<SoupWebsocketConnection>::retain(connection);
    auto self = static_cast<Impl*>(data)->shared_from_this();
    self->lost();
  }

  static void onMessage(SoupWebsocketConnection* connection, gint type, GBytes* message, gpointer data) {
    if (type != SOUP_WEBSOCKET_DATA_TEXT) return;
    auto keep = GObjectPtr<SoupWebsocketConnection>::retain(connection);
    gsize size = 0;
    auto* bytes = static_cast<const char*>(g_bytes_get_data(message, &size));
    auto self = static_cast<Impl*>(data)->shared_from_this();
    self->received(std::string_view(bytes ? bytes : "", size));
  }

  void send(const std::string& frame) {
    if (connection && soup_websocket_connection_get_state(connection.get()) == SOUP_WEBSOCKET_STATE_OPEN)
      soup_websocket_connection_send_text(connection.get(), frame.c_str());
  }

  void armPingTimer() {
    std::weak_ptr<Impl> weak = shared_from_this();
    pingTimer = Timer::scheduled(pingDeadline, false, [weak] {
      if (auto self = weak.lock()) self->lost();  // the server went silent
    });
  }

  void received(std::string_view frame) {
    if (frame.empty()) return;
    switch (static_cast<EnginePacket>(frame[0])) {
      case EnginePacket::open: {
        auto handshake = JsonCoder::parse(frame.substr(1));
        if (handshake && handshake->is_object()) {
          double interval = milliseconds(*handshake, "pingInterval", 25000.0);
          double timeout = milliseconds(*handshake, "pingTimeout", 20000.0);
          pingDeadline = std::max(0.1, (interval + timeout) / 1000.0);
        }
        armPingTimer();
        send(std::string(1, static_cast<char>(EnginePacket::message)) + Packet{Packet::Type::connect, "/", {}, {}}.encode());
        break;
      }
      case EnginePacket::ping:
        armPingTimer();
        send(std::string(1, static_cast<char>(EnginePacket::pong)));
        break;
      case EnginePacket::close:
        lost();
        break;
      case EnginePacket::message:
        if (auto packet = Packet::decode(frame.substr(1)); packet && packet->nsp == "/") handle(*packet);
        break;
      default:
        break;
    }
  }

  void handle(const Packet& packet) {
    switch (packet.type) {
      case Packet::Type::connect:
        if (phase != Phase::handshaking) return;
        phase = Phase::connected;
        attempts = 0;
        handshakeTimer.reset();
        if (auto handler = connectHandler) handler();
        break;
      case Packet::Type::event: {
        if (phase != Phase::connected) return;
        auto payload = JsonCoder::parse(packet.data);
        if (!payload || !payload->is_array() || payload->empty() || !(*payload)[0].is_string()) return;
        auto it = handlers.find((*payload)[0].get<std::string>());
        if (it == handlers.end()) return;
        auto handler = it->second;  // the handler may replace itself
        payload->erase(payload->begin());
        handler(*payload);
        break;
      }
      case Packet::Type::disconnect:  // the server let us go: don't push back in
        detach();
        phase = Phase::idle;
        break;
      case Packet::Type::connectError:
        lost();
        break;
      default:
        break;
    }
  }

  void lost() {
    if (destroyed || phase == Phase::idle || phase == Phase::waitingToReconnect) return;
    detach();
    if (!options.reconnection) {
      phase = Phase::idle;
      return;
    }
    phase = Phase::waitingToReconnect;
    double delay = options.reconnectionDelay * std::pow(2.0, std::min(attempts, 16));
    if (options.randomizationFactor > 0) {
      double deviation = g_random_double() * options.randomizationFactor * delay;
      delay = g_random_boolean() ? delay + deviation : delay - deviation;
    }
    delay = std::min(delay, options.reconnectionDelayMax);
    ++attempts;
    std::weak_ptr<Impl> weak = shared_from_this();
    reconnectTimer = Timer::scheduled(delay, false, [weak] {
      auto self = weak.lock();
      if (!self || self->phase != Phase::waitingToReconnect) return;
      self->reconnectTimer.reset();
      self->open();
    });
  }

  void close() {
    reconnectTimer.reset();
    if (phase == Phase::connected)
      send(std::string(1, static_cast<char>(EnginePacket::message)) + Packet{Packet::Type::disconnect, "/", {}, {}}.encode());
    detach();
    phase = Phase::idle;
  }
};

Client::Client(Url url) : Client(std::move(url), Options()) {}

Client::Client(Url url, Options options) : impl_(std::make_shared<Impl>(std::move(url), std::move(options))) {}

Client::~Client() {
  impl_->close();
  impl_->destroyed = true;
  impl_->handlers.clear();
  impl_->connectHandler = nullptr;
}

const Url& Client::url() const { return impl_->url; }

void Client::on(const std::string& event, EventHandler handler) { impl_->handlers[event] = std::move(handler); }

void Client::onConnect(std::function<void()> handler) { impl_->connectHandler = std::move(handler); }

void Client::connect() {
  if (impl_->phase != Impl::Phase::idle) return;
  impl_->attempts = 0;
  impl_->open();
}

void Client::disconnect() { impl_->close(); }

bool Client::isConnected() const { return impl_->phase == Impl::Phase::connected; }

bool Client::emit(const std::string& event, const nlohmann::json& argument) {
  if (!isConnected()) return false;
  Packet packet{Packet::Type::event, "/", {}, JsonCoder::dump(nlohmann::json::array({event, argument}))};
  impl_->send(std::string(1, static_cast<char>(EnginePacket::message)) + packet.encode());
  return true;
}

}  // namespace socketio
