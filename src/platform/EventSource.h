#pragma once
// A client for a server-sent event stream ("text/event-stream"): one long GET over the shared
// HTTP session whose body is cut into events and handed to callbacks on the main loop. The id of
// the last event is kept in the user defaults per address and sent back as "Last-Event-Id" with
// every later request. An ended stream reconnects after `retryTime`; a failed one (no answer, an
// answer other than 2xx or of another type, no byte for `idleTimeout`) after a delay that doubles
// with every failure in a row. 204 ends it for good. Main thread only.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Error.h"
#include "EventStreamParser.h"
#include "Url.h"

class Defaults;
class HttpSession;

enum class EventSourceState : long { connecting = 0, open = 1, closed = 2 };
std::optional<EventSourceState> eventSourceStateFromRaw(long raw);

inline constexpr const char* EventSourceErrorDomain = "EventSource";
enum EventSourceErrorCode : long {
  EventSourceBadStatus = 1,       // user info "status"
  EventSourceBadContentType = 2,  // user info "contentType"
};

class EventSource : public std::enable_shared_from_this<EventSource> {
 public:
  using MessageHandler =
      std::function<void(const std::optional<std::string>& id, const std::string& event, const std::string& data)>;
  using ErrorHandler = std::function<void(const std::optional<Error>& error)>;

  static constexpr const char* DefaultsKey = "com.tepal.eventSource.lastEventId";
  static constexpr long long initialRetryTime = 3000;
  // What a stream may ask for: no tighter loop than this, no longer silence than that.
  static constexpr long long minimumRetryTime = 100;
  static constexpr long long maximumRetryTime = 3600 * 1000;
  // Failures in a row wait retryTime × 2^(n-1), at most this long (or retryTime when longer).
  static constexpr long long maximumBackoff = 60 * 1000;

  struct Options {
    HttpSession* session = nullptr;          // the shared session when none
    Defaults* defaults = nullptr;            // the standard defaults when none
    double idleTimeout = 90;                 // seconds without a byte before the connection counts as dead
    long long retryTime = initialRetryTime;  // until the stream sends its own
  };

  // Starts connecting at once. An address that is not an absolute http(s) URL is an error.
  static Result<std::shared_ptr<EventSource>> create(const std::string& url,
                                                     std::map<std::string, std::string> headers = {});
  static Result<std::shared_ptr<EventSource>> create(const std::string& url, std::map<std::string, std::string> headers,
                                                     Options options);
  ~EventSource();
  EventSource(const EventSource&) = delete;
  EventSource& operator=(const EventSource&) = delete;

  EventSourceState readyState() const { return state_; }
  long long retryTime() const { return retryTime_; }
  const std::string& lastEventIDKey() const { return lastEventIDKey_; }
  std::optional<std::string> lastEventID() const;

  // Starts a new request; a client closed before runs this one transfer and no reconnection.
  void connect();
  // Stops the transfer and any waiting reconnection for good.
  void close();

  void onOpen(std::function<void()> callback);
  // An error that came while no callback was set is handed to the new one at once.
  void onError(ErrorHandler callback);
  // Unnamed events, with the event name "message".
  void onMessage(MessageHandler callback);
  void addEventListener(const std::string& event, MessageHandler handler);
  void removeEventListener(const std::string& event);
  std::vector<std::string> events() const;

  static std::string basicAuth(const std::string& username, const std::string& password);

 private:
  struct Transfer;
  EventSource(Url url, std::map<std::string, std::string> headers, Options options);
  void responded(Transfer& transfer);
  void received(Transfer& transfer, const char* bytes, std::size_t size);
  void ended(Transfer& transfer, std::optional<Error> error);
  void failed(Error error);
  void scheduleReconnection(long long delay);
  void setLastEventID(const std::string& id);

  Url url_;
  std::map<std::string, std::string> headers_;
  Options options_;
  std::string lastEventIDKey_;
  std::function<void()> onOpen_;
  ErrorHandler onError_;
  MessageHandler onMessage_;
  std::map<std::string, MessageHandler> listeners_;
  std::optional<Error> errorBeforeSetErrorCallBack_;
  long long retryTime_ = initialRetryTime;
  int failuresInARow_ = 0;
  EventSourceState state_ = EventSourceState::closed;
  bool closed_ = false;
  std::shared_ptr<Transfer> transfer_;
  unsigned reconnection_ = 0;  // GLib source of a waiting reconnection
  EventStreamParser parser_;
};
