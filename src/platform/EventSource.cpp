#include "EventSource.h"

#include <libsoup/soup.h>

#include <algorithm>
#include <cmath>

#include "Defaults.h"
#include "GObjectPtr.h"
#include "HttpSession.h"
#include "RunLoop.h"

namespace {
constexpr gsize readSize = 64 * 1024;
}

std::optional<EventSourceState> eventSourceStateFromRaw(long raw) {
  if (raw < 0 || raw > 2) return std::nullopt;
  return static_cast<EventSourceState>(raw);
}

// One request and its body; callbacks of a transfer that was replaced or dropped find `done` set.
struct EventSource::Transfer {
  std::weak_ptr<EventSource> owner;
  GObjectPtr<SoupMessage> message;
  GObjectPtr<GCancellable> cancellable{g_cancellable_new()};
  GObjectPtr<GInputStream> stream;
  guint idle = 0;
  bool timedOut = false;
  bool done = false;

  ~Transfer() { stopIdle(); }

  void stopIdle() {
    if (idle) g_source_remove(idle);
    idle = 0;
  }
  // A half-open connection sends nothing and never ends: silence for this long ends it.
  void armIdle(double seconds, const std::shared_ptr<Transfer>& self) {
    stopIdle();
    if (seconds <= 0) return;
    idle = g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(seconds * 1000),
        [](gpointer data) -> gboolean {
          if (auto t = static_cast<std::weak_ptr<Transfer>*>(data)->lock()) {
            t->idle = 0;
            t->timedOut = true;
            g_cancellable_cancel(t->cancellable.get());
          }
          return G_SOURCE_REMOVE;
        },
        new std::weak_ptr<Transfer>(self), [](gpointer p) { delete static_cast<std::weak_ptr<Transfer>*>(p); });
  }
  void abandon() {
    done = true;
    stopIdle();
    g_cancellable_cancel(cancellable.get());
  }

  Error errorFrom(GError* error) const {
    std::string text = error ? error->message : "the stream failed";
    if (timedOut) return Error(HttpErrorDomain, HttpErrorTimedOut, "no data for too long");
    if (error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
      return Error(HttpErrorDomain, HttpErrorCancelled, "cancelled");
    return Error(HttpErrorDomain, HttpErrorCannotConnect, text);
  }

  static void read(std::shared_ptr<Transfer> self) {
    GInputStream* stream = self->stream.get();
    GCancellable* cancellable = self->cancellable.get();
    g_input_stream_read_bytes_async(stream, readSize, G_PRIORITY_DEFAULT, cancellable, &Transfer::didRead,
                                    new std::shared_ptr<Transfer>(std::move(self)));
  }

  static void didSend(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::shared_ptr<Transfer>> keep(static_cast<std::shared_ptr<Transfer>*>(data));
    auto self = *keep;
    GError* error = nullptr;
    GObjectPtr<GInputStream> stream(soup_session_send_finish(SOUP_SESSION(source), result, &error));
    auto owner = self->owner.lock();
    if (self->done || !owner) {
      g_clear_error(&error);
      return;
    }
    if (!stream) {
      Error e = self->errorFrom(error);
      g_clear_error(&error);
      owner->ended(*self, std::move(e));
      return;
    }
    self->stream = std::move(stream);
    self->armIdle(owner->options_.idleTimeout, self);
    owner->responded(*self);
    if (!self->done) read(self);
  }

  static void didRead(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::shared_ptr<Transfer>> keep(static_cast<std::shared_ptr<Transfer>*>(data));
    auto self = *keep;
    GError* error = nullptr;
    GBytes* bytes = g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, &error);
    auto owner = self->owner.lock();
    if (self->done || !owner) {
      g_clear_error(&error);
      if (bytes) g_bytes_unref(bytes);
      return;
    }
    if (!bytes) {
      Error e = self->errorFrom(error);
      g_clear_error(&error);
      owner->ended(*self, std::move(e));
      return;
    }
    gsize size = 0;
    auto* p = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    if (size == 0) {
      g_bytes_unref(bytes);
      owner->ended(*self, std::nullopt);
      return;
    }
    self->armIdle(owner->options_.idleTimeout, self);
    owner->received(*self, p, size);
    g_bytes_unref(bytes);
    if (!self->done) read(self);
  }
};

Result<std::shared_ptr<EventSource>> EventSource::create(const std::string& url,
                                                         std::map<std::string, std::string> headers) {
  return create(url, std::move(headers), Options());
}

Result<std::shared_ptr<EventSource>> EventSource::create(const std::string& url,
                                                         std::map<std::string, std::string> headers, Options options) {
  auto parsed = Url::parse(url);
  if (!parsed || (parsed->scheme() != "http" && parsed->scheme() != "https"))
    return fail(EventSourceErrorDomain, 0, "not an http(s) address: " + url);
  auto source = std::shared_ptr<EventSource>(new EventSource(std::move(*parsed), std::move(headers), options));
  source->connect();
  return source;
}

EventSource::EventSource(Url url, std::map<std::string, std::string> headers, Options options)
    : url_(std::move(url)), headers_(std::move(headers)), options_(options) {
  if (!options_.session) options_.session = &HttpSession::shared();
  if (!options_.defaults) options_.defaults = &Defaults::standard();
  retryTime_ = std::clamp(options_.retryTime, minimumRetryTime, maximumRetryTime);
  std::string port = url_.port() >= 0 ? std::to_string(url_.port()) : std::string();
  lastEventIDKey_ = std::string(DefaultsKey) + "." + url_.scheme() + "." + url_.host() + "." + port + "." + url_.path();
}

EventSource::~EventSource() {
  if (transfer_) transfer_->abandon();
  if (reconnection_) g_source_remove(reconnection_);
}

std::optional<std::string> EventSource::lastEventID() const {
  return options_.defaults->string(lastEventIDKey_);
}

void EventSource::setLastEventID(const std::string& id) {
  if (lastEventID().value_or("") == id) return;
  // An empty id means "none": nothing is sent back then.
  if (id.empty())
    options_.defaults->remove(lastEventIDKey_);
  else
    options_.defaults->setString(lastEventIDKey_, id);
  options_.defaults->synchronize();
}

void EventSource::connect() {
  if (reconnection_) g_source_remove(reconnection_);
  reconnection_ = 0;
  if (transfer_) transfer_->abandon();
  auto transfer = std::make_shared<Transfer>();
  transfer->owner = weak_from_this();
  transfer->message.reset(soup_message_new("GET", url_.absoluteString().c_str()));
  if (!transfer->message) {
    transfer_.reset();
    state_ = EventSourceState::closed;
    failed(Error(EventSourceErrorDomain, 0, "not a valid request address"));
    return;
  }
  SoupMessageHeaders* headers = soup_message_get_request_headers(transfer->message.get());
  for (const auto& [name, value] : headers_) soup_message_headers_replace(headers, name.c_str(), value.c_str());
  auto last = lastEventID();
  if (last && !last->empty()) soup_message_headers_replace(headers, "Last-Event-Id", last->c_str());
  soup_message_headers_replace(headers, "Accept", "text/event-stream");
  soup_message_headers_replace(headers, "Cache-Control", "no-cache");
  parser_ = EventStreamParser(last.value_or(""));
  state_ = EventSourceState::connecting;
  transfer_ = transfer;
  transfer->armIdle(options_.idleTimeout, transfer);
  soup_session_send_async(options_.session->soupSession(), transfer->message.get(), G_PRIORITY_DEFAULT,
                          transfer->cancellable.get(), &Transfer::didSend, new std::shared_ptr<Transfer>(transfer));
}

void EventSource::close() {
  state_ = EventSourceState::closed;
  closed_ = true;
  if (reconnection_) g_source_remove(reconnection_);
  reconnection_ = 0;
  // The transfer completes with the cancellation error, which reaches the error callback.
  if (transfer_) {
    transfer_->stopIdle();
    g_cancellable_cancel(transfer_->cancellable.get());
  }
}

void EventSource::responded(Transfer& transfer) {
  auto self = shared_from_this();
  guint status = soup_message_get_status(transfer.message.get());
  if (status == SOUP_STATUS_NO_CONTENT) {  // the server says: do not come back
    transfer.abandon();
    transfer_.reset();
    close();
    return;
  }
  if (status < 200 || status > 299) {
    transfer.abandon();
    transfer_.reset();
    state_ = EventSourceState::closed;
    failed(Error(EventSourceErrorDomain, EventSourceBadStatus, "the stream answered HTTP " + std::to_string(status))
               .with("status", std::to_string(status)));
    return;
  }
  const char* type =
      soup_message_headers_get_content_type(soup_message_get_response_headers(transfer.message.get()), nullptr);
  if (!type || g_ascii_strcasecmp(type, "text/event-stream") != 0) {
    std::string got = type ? type : "";
    transfer.abandon();
    transfer_.reset();
    state_ = EventSourceState::closed;
    failed(Error(EventSourceErrorDomain, EventSourceBadContentType,
                 "the stream is not text/event-stream but " + (got.empty() ? std::string("untyped") : got))
               .with("contentType", got));
    return;
  }
  state_ = EventSourceState::open;
  failuresInARow_ = 0;
  if (onOpen_) {
    auto callback = onOpen_;
    callback();
  }
}

void EventSource::received(Transfer& transfer, const char* bytes, std::size_t size) {
  auto self = shared_from_this();
  for (auto& item : parser_.feed(std::string_view(bytes, size))) {
    if (transfer.done) return;  // a callback closed or reconnected
    if (item.kind == EventStreamParser::Item::Kind::retry) {
      retryTime_ = std::clamp(item.retry, minimumRetryTime, maximumRetryTime);
      continue;
    }
    setLastEventID(item.event.id);
    if (item.kind != EventStreamParser::Item::Kind::event) continue;
    std::optional<std::string> id;
    if (!item.event.id.empty()) id = item.event.id;
    if (item.event.event.empty()) {
      if (auto callback = onMessage_) callback(id, "message", item.event.data);
    } else if (auto found = listeners_.find(item.event.event); found != listeners_.end()) {
      auto handler = found->second;
      handler(id, item.event.event, item.event.data);
    }
  }
}

void EventSource::ended(Transfer& transfer, std::optional<Error> error) {
  auto self = shared_from_this();
  transfer.done = true;
  transfer.stopIdle();
  if (transfer_.get() == &transfer) transfer_.reset();
  state_ = EventSourceState::closed;
  bool cancelled = error && error->code == HttpErrorCancelled && error->domain == HttpErrorDomain;
  if (error && !cancelled) return failed(std::move(*error));
  if (onError_) {
    auto callback = onError_;
    callback(error);
  } else {
    errorBeforeSetErrorCallBack_ = error;
  }
  if (!closed_ && !cancelled) scheduleReconnection(retryTime_);
}

void EventSource::failed(Error error) {
  ++failuresInARow_;
  if (onError_) {
    auto callback = onError_;
    callback(error);
  } else {
    errorBeforeSetErrorCallBack_ = error;
  }
  if (closed_ || transfer_) return;  // the callback closed or connected again
  long long cap = std::max(maximumBackoff, retryTime_);
  long long delay = retryTime_;
  for (int i = 1; i < failuresInARow_ && delay < cap; ++i) delay *= 2;
  scheduleReconnection(std::min(delay, cap));
}

void EventSource::scheduleReconnection(long long delay) {
  if (reconnection_ || transfer_) return;
  reconnection_ = g_timeout_add_full(
      G_PRIORITY_DEFAULT, static_cast<guint>(std::max(0LL, delay)),
      [](gpointer data) -> gboolean {
        if (auto self = static_cast<std::weak_ptr<EventSource>*>(data)->lock()) {
          self->reconnection_ = 0;
          if (!self->closed_) self->connect();
        }
        return G_SOURCE_REMOVE;
      },
      new std::weak_ptr<EventSource>(weak_from_this()),
      [](gpointer p) { delete static_cast<std::weak_ptr<EventSource>*>(p); });
}

void EventSource::onOpen(std::function<void()> callback) {
  onOpen_ = std::move(callback);
}

void EventSource::onError(ErrorHandler callback) {
  onError_ = std::move(callback);
  if (errorBeforeSetErrorCallBack_ && onError_) {
    auto error = std::move(errorBeforeSetErrorCallBack_);
    errorBeforeSetErrorCallBack_.reset();
    auto handler = onError_;
    handler(error);
  }
}

void EventSource::onMessage(MessageHandler callback) {
  onMessage_ = std::move(callback);
}

void EventSource::addEventListener(const std::string& event, MessageHandler handler) {
  listeners_[event] = std::move(handler);
}

void EventSource::removeEventListener(const std::string& event) {
  listeners_.erase(event);
}

std::vector<std::string> EventSource::events() const {
  std::vector<std::string> names;
  for (const auto& [name, handler] : listeners_) names.push_back(name);
  return names;
}

std::string EventSource::basicAuth(const std::string& username, const std::string& password) {
  std::string plain = username + ":" + password;
  gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(plain.data()), plain.size());
  std::string out = std::string("Basic ") + encoded;
  g_free(encoded);
  return out;
}
