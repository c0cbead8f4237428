#include "JsonCoder.h"

#include <algorithm>
#include <cmath>
#include <istream>

#include <nlohmann/json.hpp>

#include "RWLog.h"

namespace JsonCoder {

namespace {

// How deep `text` nests arrays and objects, counted without parsing, stopping past `limit`.
std::size_t nestingDepth(std::string_view text, std::size_t limit) {
  std::size_t depth = 0, deepest = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > limit) break;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

std::string tooLargeText(std::size_t maximumSize) {
  return "the layout would be larger than " + std::to_string(maximumSize) + " bytes";
}

Error malformed(std::size_t position, const nlohmann::json::exception& e) {
  Error error(ErrorDomain, 1, e.what());
  error.with("byte", std::to_string(position));
  return error;
}

// Hands on the strings of a text and keeps nothing of it; stops at the first error.
class StringVisitor final : public nlohmann::json::json_sax_t {
 public:
  explicit StringVisitor(const std::function<bool(std::string_view)>& visit) : visit_(visit) {}

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t& value) override { return visited(value); }
  bool binary(binary_t&) override { return true; }
  bool key(string_t& value) override { return visited(value); }
  bool start_object(std::size_t) override { return deeper(); }
  bool end_object() override { return shallower(); }
  bool start_array(std::size_t) override { return deeper(); }
  bool end_array() override { return shallower(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::json::exception& e) override {
    error_ = malformed(position, e);
    return false;
  }

  std::optional<Error> error_;
  bool stopped_ = false;

 private:
  bool visited(const string_t& value) {
    stopped_ = !visit_(value);
    return !stopped_;
  }
  bool deeper() {
    if (++depth_ <= maximumDepth) return true;
    error_ = Error(ErrorDomain, 2, "the JSON text nests deeper than " + std::to_string(maximumDepth) + " levels");
    return false;
  }
  bool shallower() {
    --depth_;
    return true;
  }

  const std::function<bool(std::string_view)>& visit_;
  std::size_t depth_ = 0;
};

// JSON lets a string escape one half of a UTF-16 pair alone ("\ud83d"); the parser refuses
// it. Such text is read "shielded": each lone half becomes a private-use code point of the last
// 2048 (shieldBase + its offset from U+D800), and a code point of that range or the one before
// it that the text itself holds is preceded by that one (shieldMark). Unshielding turns them
// back, each lone half into its escape.
constexpr char32_t shieldMark = 0x10F7FF;
constexpr char32_t shieldBase = 0x10F800;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of the escape "\uXXXX" at `at`, if one is there.
std::optional<char32_t> escapedUnit(std::string_view text, std::size_t at) {
  if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return std::nullopt;
  char32_t unit = 0;
  for (std::size_t i = at + 2; i < at + 6; ++i) {
    int digit = hexDigit(text[i]);
    if (digit < 0) return std::nullopt;
    unit = unit * 16 + static_cast<char32_t>(digit);
  }
  return unit;
}

void appendUnitEscape(std::string& out, char32_t unit) {
  static constexpr char digits[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += digits[(unit >> shift) & 0xF];
}

void appendEscape(std::string& out, char32_t code) {
  code -= 0x10000;
  appendUnitEscape(out, 0xD800 + (code >> 10));
  appendUnitEscape(out, 0xDC00 + (code & 0x3FF));
}

// The code point of the four-byte UTF-8 sequence at `at` when it lies in the shielded range.
std::optional<char32_t> shieldedCode(std::string_view text, std::size_t at) {
  if (at + 4 > text.size() || static_cast<unsigned char>(text[at]) != 0xF4 ||
      static_cast<unsigned char>(text[at + 1]) != 0x8F)
    return std::nullopt;
  char32_t code = 0x100000 | (static_cast<char32_t>(text[at + 1] & 0x3F) << 12) |
                  (static_cast<char32_t>(text[at + 2] & 0x3F) << 6) | static_cast<char32_t>(text[at + 3] & 0x3F);
  return code >= shieldMark ? std::optional(code) : std::nullopt;
}

bool isHighHalf(char32_t unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool isLowHalf(char32_t unit) { return unit >= 0xDC00 && unit < 0xE000; }

// The text shielded, or none when it escapes no lone half (most text: then it is read as it is).
std::optional<std::string> shieldLoneSurrogates(std::string_view text) {
  bool lone = false;
  bool inString = false;
  for (std::size_t i = 0; i < text.size() && !lone; ++i) {
    if (!inString) {
      inString = text[i] == '"';
    } else if (text[i] == '"') {
      inString = false;
    } else if (text[i] == '\\') {
      auto unit = escapedUnit(text, i);
      if (unit && isHighHalf(*unit)) {
        auto next = escapedUnit(text, i + 6);
        if (next && isLowHalf(*next))
          i += 11;
        else
          lone = true;
      } else if (unit && isLowHalf(*unit)) {
        lone = true;
      } else {
        ++i;
      }
    }
  }
  if (!lone) return std::nullopt;
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (!inString) {
      inString = c == '"';
      out += c;
      continue;
    }
    if (c == '"') {
      inString = false;
      out += c;
    } else if (c == '\\') {
      auto unit = escapedUnit(text, i);
      auto next = unit && isHighHalf(*unit) ? escapedUnit(text, i + 6) : std::nullopt;
      if (next && isLowHalf(*next)) {
        char32_t code = 0x10000 + ((*unit - 0xD800) << 10) + (*next - 0xDC00);
        if (code >= shieldMark) appendEscape(out, shieldMark);
        out.append(text.substr(i, 12));
        i += 11;
      } else if (unit && (isHighHalf(*unit) || isLowHalf(*unit))) {
        appendEscape(out, shieldBase + (*unit - 0xD800));
        i += 5;
      } else {
        out.append(text.substr(i, 2));
        ++i;
      }
    } else if (shieldedCode(text, i)) {
      appendEscape(out, shieldMark);
      out.append(text.substr(i, 4));
      i += 3;
    } else {
      out += c;
    }
  }
  return out;
}

// Laid-out text of shielded input as the input had it: each lone half escaped again.
std::string unshieldLoneSurrogates(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto code = shieldedCode(text, i);
    if (!code) {
      out += text[i];
    } else if (*code == shieldMark) {
      i += 4;  // the character it guards follows as it was
      out.append(text.substr(i, 4));
      i += 3;
    } else {
      appendUnitEscape(out, 0xD800 + (*code - shieldBase));
      i += 3;
    }
  }
  return out;
}

}  // namespace

Result<void> forEachString(std::istream& input, const std::function<bool(std::string_view)>& visit) {
  StringVisitor visitor(visit);
  bool whole = false;
  try {
    whole = nlohmann::json::sax_parse(input, &visitor);
  } catch (const nlohmann::json::exception& e) {
    visitor.error_ = Error(ErrorDomain, 1, e.what());
  }
  if (visitor.error_) return fail(std::move(*visitor.error_));
  if (!whole && !visitor.stopped_) return fail(Error(ErrorDomain, 1, "the JSON text could not be read"));
  return {};
}

Result<nlohmann::json> parse(std::string_view text) {
  // Copies and comparisons of a value recurse once per level: outside input nests only so deep.
  if (nestingDepth(text, maximumDepth) > maximumDepth) {
    RWLog("Refused JSON nested deeper than " + std::to_string(maximumDepth) + " levels");
    return fail(Error(ErrorDomain, 2, "the JSON text nests deeper than " + std::to_string(maximumDepth) + " levels"));
  }
  try {
    return nlohmann::json::parse(text.begin(), text.end());
  } catch (const nlohmann::json::parse_error& e) {
    Error err(ErrorDomain, 1, e.what());
    err.with("byte", std::to_string(e.byte));
    return fail(std::move(err));
  } catch (const nlohmann::json::exception& e) {
    // Anything else the parser throws (a number too large for a double) is bad input too.
    return fail(Error(ErrorDomain, 1, e.what()));
  }
}

Result<nlohmann::json> parseAllowingLoneSurrogates(std::string_view text) {
  if (auto shielded = shieldLoneSurrogates(text)) return parse(*shielded);
  return parse(text);
}

std::optional<std::int64_t> wholeNumber(const nlohmann::json& value, std::int64_t minimum, std::int64_t maximum) {
  std::int64_t whole = 0;
  if (value.is_number_unsigned()) {
    auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    whole = static_cast<std::int64_t>(u);
  } else if (value.is_number_integer()) {
    whole = value.get<std::int64_t>();
  } else if (value.is_number_float()) {
    double d = value.get<double>();
    // -2^63 and 2^63 are exact doubles; every whole double in [-2^63, 2^63) fits 64 bits.
    if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
      return std::nullopt;
    whole = static_cast<std::int64_t>(d);
  } else {
    return std::nullopt;
  }
  if (whole < minimum || whole > maximum) return std::nullopt;
  return whole;
}

std::string dump(const nlohmann::json& value, Style style) {
  return value.dump(style == Style::pretty ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

namespace {

// Collects the text up to a size, and stops the dump past it.
class BoundedOutput : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  struct Full {};
  BoundedOutput(std::string& text, std::size_t maximum) : text_(text), maximum_(maximum) {}
  void write_character(char c) override {
    if (text_.size() >= maximum_) throw Full{};
    text_.push_back(c);
  }
  void write_characters(const char* s, std::size_t length) override {
    if (length > maximum_ - text_.size()) throw Full{};
    text_.append(s, length);
  }

 private:
  std::string& text_;
  std::size_t maximum_;
};

// Lays out one member of the top-level object as its events stream by. Laid-out text is written
// once, in one buffer; a finished container is a list of pieces of that buffer and of the
// containers it holds, so that closing one, and sorting an object's members, moves references
// rather than text. The member is written out whole once, at the end: each byte is copied a
// fixed number of times however deep it nests.
class MemberLayout final : public nlohmann::json::json_sax_t {
 public:
  MemberLayout(std::string_view member, Style style, std::size_t maximumSize)
      : member_(member), pretty_(style == Style::pretty), maximumSize_(maximumSize) {}

  bool null() override { return scalar("null"); }
  bool boolean(bool b) override { return scalar(b ? "true" : "false"); }
  bool number_integer(number_integer_t n) override { return scalar(std::to_string(n)); }
  bool number_unsigned(number_unsigned_t n) override { return scalar(std::to_string(n)); }
  bool number_float(number_float_t n, const string_t&) override {
    // As the parser refuses it when it builds the value.
    if (!std::isfinite(n)) return refuse(1, "a number is too large");
    // Written as dump() writes it, through one writer for all.
    written_.clear();
    writer_.dump(nlohmann::json(n), false, false, 0);
    return scalar(written_);
  }
  bool string(string_t& s) override { return scalar(quoted(s)); }
  bool binary(binary_t&) override { return refuse(1, "binary values are not JSON"); }
  bool key(string_t& k) override {
    frames_.back().key = std::move(k);
    return true;
  }
  bool start_object(std::size_t) override { return open(true); }
  bool start_array(std::size_t) override { return open(false); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::json::exception& e) override {
    error_ = malformed(position, e);
    return false;
  }

  // The member's layout, once the whole text was read.
  std::optional<std::string> found() const {
    if (!found_) return std::nullopt;
    std::string out;
    out.reserve(found_->length);
    // Depth first, with a stack of its own: a container holds at most maximumDepth levels.
    std::vector<std::pair<const Container*, std::size_t>> stack;
    auto write = [&](const Piece& piece) {
      if (piece.child == none)
        out.append(text_, piece.at, piece.length);
      else
        stack.push_back({&containers_[piece.child], 0});
    };
    write(*found_);
    while (!stack.empty()) {
      auto& [container, next] = stack.back();
      if (next == container->pieces.size()) {
        stack.pop_back();
        continue;
      }
      Piece piece = container->pieces[next++];
      write(piece);
    }
    return out;
  }

  std::optional<Error> error_;

 private:
  static constexpr std::size_t none = static_cast<std::size_t>(-1);
  // Bytes of text_, or the finished container `child` (`length` its size).
  struct Piece {
    std::size_t at = 0, length = 0;
    std::size_t child = none;
  };
  struct Container {
    std::vector<Piece> pieces;
  };
  struct Member {
    std::string key;
    std::string text;                 // a scalar's text
    std::optional<Piece> laidOut;     // or a container laid out before
  };
  struct Frame {
    bool object;
    std::string key;            // the key of the value to come
    std::vector<Piece> pieces;  // an array's items laid out up to its last container
    std::string pending;        // an array's items laid out since
    std::vector<Member> members;
    std::size_t items = 0;
    std::size_t size = 0;  // the bytes of its pieces or members' values
  };

  // A string as dump() writes it, in a buffer reused for every one.
  const std::string& quoted(const std::string& s) {
    written_.clear();
    // Most text needs no escape: printable ASCII but for the quote and the backslash.
    bool plain = std::all_of(s.begin(), s.end(), [](char c) {
      auto u = static_cast<unsigned char>(c);
      return u >= 0x20 && u < 0x80 && c != '"' && c != '\\';
    });
    if (plain) {
      written_ += '"';
      written_ += s;
      written_ += '"';
    } else {
      writer_.dump(nlohmann::json(s), false, false, 0);
    }
    return written_;
  }

  bool refuse(int code, const std::string& why) {
    error_ = Error(ErrorDomain, code, why);
    return false;
  }

  bool tooLarge() { return refuse(layoutTooLarge, tooLargeText(maximumSize_)); }

  // The indentation of the items of the frame at `index`; the member itself sits at none.
  std::size_t indentOfItems(std::size_t index) const { return pretty_ ? 2 * index : 0; }

  // Appends to the laid-out text, joined to the last piece of `pieces` when that ends where the
  // text does.
  bool append(std::vector<Piece>& pieces, std::string_view part, std::size_t indent = 0) {
    // What was dropped (equal keys) stays in the buffer: it is bounded along with the layout.
    if (indent + part.size() == 0) return true;
    if (text_.size() + indent + part.size() > 2 * maximumSize_) return tooLarge();
    std::size_t at = text_.size();
    text_.append(indent, ' ');
    text_ += part;
    if (!pieces.empty() && pieces.back().child == none && pieces.back().at + pieces.back().length == at)
      pieces.back().length += indent + part.size();
    else
      pieces.push_back({at, indent + part.size(), none});
    return true;
  }

  bool held(std::size_t added) {
    held_ += added;
    return held_ <= maximumSize_ || tooLarge();
  }

  bool scalar(std::string_view text) {
    if (frames_.empty()) return refuse(1, "the text is no object");
    auto& frame = frames_.back();
    if (frames_.size() == 1) {
      // A member of the top-level object: the one looked for is kept, the last of equal keys.
      if (frame.key != member_) return true;
      std::vector<Piece> pieces;
      if (!append(pieces, text)) return false;
      found_ = pieces.front();
      return true;
    }
    if (frame.object) {
      frame.members.push_back({std::move(frame.key), std::string(text), std::nullopt});
      frame.key.clear();
      frame.size += text.size();
      return held(text.size());
    }
    std::size_t before = frame.pending.size();
    itemStart(frame);
    frame.pending += text;
    frame.size += frame.pending.size() - before;
    return held(frame.pending.size() - before);
  }

  // The separator and indentation before an array's next item.
  void itemStart(Frame& frame) {
    if (frame.items++) frame.pending += pretty_ ? ",\n" : ",";
    frame.pending.append(indentOfItems(frames_.size() - 1), ' ');
  }

  bool container(Piece piece) {
    auto& frame = frames_.back();
    if (frames_.size() == 1) {
      if (frame.key == member_) found_ = piece;
      return true;
    }
    std::size_t added = piece.length;
    if (frame.object) {
      frame.members.push_back({std::move(frame.key), {}, piece});
      frame.key.clear();
    } else {
      std::size_t before = frame.pending.size();
      itemStart(frame);
      added += frame.pending.size() - before;
      if (!append(frame.pieces, frame.pending)) return false;
      frame.pending.clear();
      frame.pieces.push_back(piece);
    }
    frame.size += added;
    return held(added);
  }

  bool open(bool object) {
    if (frames_.empty() && !object) return refuse(1, "the text is no object");
    if (frames_.size() > maximumDepth)
      return refuse(2, "the JSON text nests deeper than " + std::to_string(maximumDepth) + " levels");
    frames_.push_back(Frame{object, {}, {}, {}, {}, 0, 0});
    return true;
  }

  bool close() {
    std::size_t index = frames_.size() - 1;
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    if (frames_.empty()) return true;  // the top-level object
    held_ -= frame.size;
    if (frame.object ? frame.members.empty() : !frame.items) return scalar(frame.object ? "{}" : "[]");
    const std::string closing = pretty_ ? "\n" + std::string(indentOfItems(index - 1), ' ') : "";
    Container done;
    std::size_t before = text_.size();
    std::size_t values = 0;  // bytes of the finished containers it holds
    if (!frame.object) {
      if (!append(done.pieces, pretty_ ? "[\n" : "[")) return false;
      for (auto& piece : frame.pieces) done.pieces.push_back(piece);
      std::vector<Piece>().swap(frame.pieces);
      if (!append(done.pieces, frame.pending) || !append(done.pieces, closing + "]")) return false;
    } else {
      // Sorted as the parsed value's keys are; of equal keys the last one stands.
      std::stable_sort(frame.members.begin(), frame.members.end(),
                       [](const Member& a, const Member& b) { return a.key < b.key; });
      std::vector<const Member*> kept;
      for (const auto& m : frame.members) {
        if (!kept.empty() && kept.back()->key == m.key)
          kept.back() = &m;
        else
          kept.push_back(&m);
      }
      if (!append(done.pieces, pretty_ ? "{\n" : "{")) return false;
      bool first = true;
      for (const Member* m : kept) {
        if (!first && !append(done.pieces, pretty_ ? ",\n" : ",")) return false;
        first = false;
        if (!append(done.pieces, quoted(m->key), indentOfItems(index)) || !append(done.pieces, pretty_ ? ": " : ":"))
          return false;
        if (!m->laidOut) {
          if (!append(done.pieces, m->text)) return false;
        } else {
          values += m->laidOut->length;
          done.pieces.push_back(*m->laidOut);
        }
        if (text_.size() - before + values > maximumSize_) return tooLarge();
      }
      if (!append(done.pieces, closing + "}")) return false;
    }
    // An array's items were counted as they came.
    std::size_t length = frame.object ? text_.size() - before + values : frame.size + 2 + closing.size() + pretty_;
    if (length > maximumSize_) return tooLarge();
    // What is one run of text needs no container of its own.
    if (done.pieces.size() == 1 && done.pieces.front().child == none) return container(done.pieces.front());
    containers_.push_back(std::move(done));
    return container(Piece{0, length, containers_.size() - 1});
  }

  std::string member_;
  bool pretty_;
  std::size_t maximumSize_;
  std::vector<Frame> frames_;
  std::size_t held_ = 0;  // the bytes of all open containers' content
  std::string text_;      // every piece of text laid out
  std::vector<Container> containers_;
  std::optional<Piece> found_;
  std::string written_;
  nlohmann::detail::serializer<nlohmann::json> writer_{nlohmann::detail::output_adapter<char>(written_), ' ',
                                                       nlohmann::json::error_handler_t::replace};
};

}  // namespace

Result<std::string> relayoutMember(std::string_view text, std::string_view member, Style style, std::size_t maximumSize) {
  if (auto shielded = shieldLoneSurrogates(text)) {
    auto laidOut = relayoutMember(std::string_view(*shielded), member, style, maximumSize);
    std::string().swap(*shielded);
    if (!laidOut) return laidOut;
    std::string unshielded = unshieldLoneSurrogates(*laidOut);
    if (unshielded.size() > maximumSize) return fail(Error(ErrorDomain, layoutTooLarge, tooLargeText(maximumSize)));
    return unshielded;
  }
  MemberLayout layout(member, style, maximumSize);
  bool whole = false;
  try {
    whole = nlohmann::json::sax_parse(text.begin(), text.end(), &layout);
  } catch (const nlohmann::json::exception& e) {
    layout.error_ = Error(ErrorDomain, 1, e.what());
  }
  if (layout.error_) return fail(std::move(*layout.error_));
  auto found = whole ? layout.found() : std::nullopt;
  if (!found) return fail(Error(ErrorDomain, 1, "the text holds no such member"));
  if (found->size() > maximumSize) return fail(Error(ErrorDomain, layoutTooLarge, tooLargeText(maximumSize)));
  return std::move(*found);
}

std::optional<std::string> dump(const nlohmann::json& value, Style style, std::size_t maximumSize) {
  std::string text;
  try {
    nlohmann::detail::serializer<nlohmann::json> serializer(std::make_shared<BoundedOutput>(text, maximumSize), ' ',
                                                            nlohmann::json::error_handler_t::replace);
    serializer.dump(value, style == Style::pretty, false, style == Style::pretty ? 2 : 0);
  } catch (const BoundedOutput::Full&) {
    return std::nullopt;
  }
  return text;
}

}  // namespace JsonCoder
