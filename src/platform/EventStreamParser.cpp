#include "EventStreamParser.h"

#include <charconv>
#include <limits>

namespace {
// Bytes that are not UTF-8 become U+FFFD, so no caller ever sees a broken string.
std::string validUtf8(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  std::size_t i = 0;
  while (i < in.size()) {
    auto c = static_cast<unsigned char>(in[i]);
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool ok = len > 0 && i + len <= in.size();
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; ok && k < len; ++k) {
      auto d = static_cast<unsigned char>(in[i + k]);
      if ((d & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (ok && ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
               (cp >= 0xD800 && cp <= 0xDFFF)))
      ok = false;
    if (ok) {
      out.append(in.substr(i, len));
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}
}  // namespace

std::vector<EventStreamParser::Item> EventStreamParser::feed(std::string_view bytes) {
  std::vector<Item> out;
  for (char c : bytes) {
    if (afterCR_ && c == '\n') {  // the LF of a CR LF already ended its line
      afterCR_ = false;
      continue;
    }
    afterCR_ = false;
    if (c == '\r' || c == '\n') {
      afterCR_ = c == '\r';
      if (!overflow_)
        line(line_, out);
      else if (!lineStarted_)
        endEvent(out);
      line_.clear();
      lineStarted_ = false;
      continue;
    }
    lineStarted_ = true;
    if (overflow_) continue;
    if (++eventSize_ > maximumEventSize) {
      overflow_ = true;
      line_.clear();
      continue;
    }
    line_ += c;
  }
  return out;
}

void EventStreamParser::reset() {
  line_.clear();
  afterCR_ = overflow_ = hasData_ = lineStarted_ = false;
  eventSize_ = 0;
  event_.clear();
  data_.clear();
  idBuffer_ = lastId_;
}

void EventStreamParser::line(std::string_view text, std::vector<Item>& out) {
  if (text.empty()) return endEvent(out);
  if (text.front() == ':') return;  // a comment
  auto colon = text.find(':');
  std::string_view name = text.substr(0, colon);
  std::string_view value;
  if (colon != std::string_view::npos) {
    value = text.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  }
  if (name == "data") {
    if (hasData_) data_ += '\n';
    data_.append(value);
    hasData_ = true;
  } else if (name == "event") {
    event_.assign(value);
  } else if (name == "id") {
    if (value.find('\0') == std::string_view::npos) idBuffer_.assign(value);
  } else if (name == "retry") {
    if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) return;
    long long ms = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
    if (ec == std::errc::result_out_of_range) ms = std::numeric_limits<long long>::max();
    Item item{};
    item.kind = Item::Kind::retry;
    item.retry = ms;
    out.push_back(std::move(item));
  }
}

void EventStreamParser::endEvent(std::vector<Item>& out) {
  bool idChanged = idBuffer_ != lastId_;
  lastId_ = idBuffer_;
  if (hasData_ && !overflow_) {
    Item item{};
    item.kind = Item::Kind::event;
    item.event = {validUtf8(lastId_), validUtf8(event_), validUtf8(data_)};
    out.push_back(std::move(item));
  } else if (idChanged) {
    Item item{};
    item.kind = Item::Kind::idOnly;
    item.event.id = validUtf8(lastId_);
    out.push_back(std::move(item));
  }
  overflow_ = hasData_ = false;
  eventSize_ = 0;
  event_.clear();
  data_.clear();
}
