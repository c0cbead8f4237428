#pragma once
// Cuts the bytes of a "text/event-stream" body into events, line by line: a line ends at CR LF,
// LF or CR (whichever comes first), a blank line ends an event, a line starting with a colon is
// a comment, and "retry" counts only as a field of its own with digits alone. Any thread, one
// stream per parser.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ServerSentEvent {
  std::string id;     // the last event id when this event ended
  std::string event;  // empty for an unnamed event
  std::string data;
};

class EventStreamParser {
 public:
  // An event whose lines grow beyond this is dropped whole.
  static constexpr std::size_t maximumEventSize = 8 << 20;

  struct Item {
    enum class Kind { retry, event, idOnly } kind;
    long long retry = 0;    // kind retry: milliseconds as sent
    ServerSentEvent event;  // kind event; kind idOnly carries only `event.id`
  };

  explicit EventStreamParser(std::string lastEventId = {}) : lastId_(std::move(lastEventId)), idBuffer_(lastId_) {}

  // The items completed by `bytes`, in stream order.
  std::vector<Item> feed(std::string_view bytes);
  // A new connection: a half line and a half event are thrown away; the last id stays.
  void reset();
  const std::string& lastEventId() const { return lastId_; }

 private:
  void line(std::string_view text, std::vector<Item>& out);
  void endEvent(std::vector<Item>& out);

  std::string line_;
  bool afterCR_ = false;
  bool overflow_ = false;
  bool lineStarted_ = false;
  std::size_t eventSize_ = 0;
  std::string lastId_, idBuffer_;
  std::string event_, data_;
  bool hasData_ = false;
};
