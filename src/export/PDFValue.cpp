#include "export/PDFValue.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace pdf {

namespace {

bool isDelimiter(std::uint8_t c) { return std::strchr("()<>[]{}/%", c) != nullptr && c != 0; }
bool isRegular(std::uint8_t c) { return !isSpace(c) && !isDelimiter(c); }

std::optional<Data> deflate(const Data& bytes) {
  uLongf size = compressBound(static_cast<uLong>(bytes.size()));
  Data out(size);
  if (compress2(out.data(), &size, bytes.data(), static_cast<uLong>(bytes.size()), 9) != Z_OK) return std::nullopt;
  out.resize(size);
  return out;
}


}  // namespace

// A whole number within [low, high]; none for fractions, infinities and anything outside.
std::optional<long> wholeNumber(const Value& v, long low, long high) {
  if (v.kind != Value::numeric || !(v.number >= double(low) && v.number <= double(high)) || v.number != std::floor(v.number))
    return std::nullopt;
  return static_cast<long>(v.number);
}

bool isSpace(std::uint8_t c) { return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32; }

void Lexer::skipSpace() {
  while (at_ < end_) {
    if (isSpace(d_[at_])) ++at_;
    else if (d_[at_] == '%')
      while (at_ < end_ && d_[at_] != '\n' && d_[at_] != '\r') ++at_;
    else break;
  }
}

bool Lexer::read(Value& out, int depth) {
  skipSpace();
  if (at_ >= end_ || depth > maximumDepth || *budget_ == 0) return false;
  --*budget_;
  std::uint8_t c = d_[at_];
  if (c == '<' && at_ + 1 < end_ && d_[at_ + 1] == '<') {
    at_ += 2;
    out.kind = Value::dictionary;
    for (;;) {
      skipSpace();
      if (at_ + 1 < end_ && d_[at_] == '>' && d_[at_ + 1] == '>') {
        at_ += 2;
        return true;
      }
      Value key, value;
      if (!read(key, depth + 1) || key.kind != Value::name || !read(value, depth + 1)) return false;
      if (out.items.size() >= maximumItems) return false;
      out.keys.push_back(std::move(key.text));
      out.items.push_back(std::move(value));
    }
  }
  if (c == '[') {
    ++at_;
    out.kind = Value::array;
    for (;;) {
      skipSpace();
      if (at_ < end_ && d_[at_] == ']') {
        ++at_;
        return true;
      }
      Value item;
      if (!read(item, depth + 1) || out.items.size() >= maximumItems) return false;
      out.items.push_back(std::move(item));
    }
  }
  if (c == '/') {
    ++at_;
    out.kind = Value::name;
    while (at_ < end_ && isRegular(d_[at_])) out.text += static_cast<char>(d_[at_++]);
    return true;
  }
  if (c == '(') return literalString(out);
  if (c == '<') return hexString(out);
  if (c == ')' || c == '>' || c == ']' || c == '{' || c == '}') {
    ++at_;  // stray delimiters mean nothing to us: a keyword of their own
    out.kind = Value::keyword;
    out.text = static_cast<char>(c);
    return true;
  }
  std::string word;
  while (at_ < end_ && isRegular(d_[at_])) word += static_cast<char>(d_[at_++]);
  if (word.empty()) return false;
  if (word.find_first_not_of("+-.0123456789") == std::string::npos) {
    out.kind = Value::numeric;
    out.number = std::strtod(word.c_str(), nullptr);
    // An object number, generation and R make one reference.
    if (word.find_first_not_of("0123456789") == std::string::npos) {
      std::size_t back = at_;
      skipSpace();
      std::string generation;
      while (at_ < end_ && std::isdigit(d_[at_])) generation += static_cast<char>(d_[at_++]);
      skipSpace();
      if (!generation.empty() && at_ < end_ && d_[at_] == 'R' && (at_ + 1 >= end_ || !isRegular(d_[at_ + 1]))) {
        ++at_;
        out.kind = Value::reference;
        return true;
      }
      at_ = back;
    }
    return true;
  }
  out.kind = word == "true" || word == "false" ? Value::boolean : word == "null" ? Value::null : Value::keyword;
  out.text = std::move(word);
  return true;
}

bool Lexer::literalString(Value& out) {
  out.kind = Value::string;
  ++at_;
  int nesting = 1;
  while (at_ < end_) {
    std::uint8_t c = d_[at_++];
    if (c == '\\') {
      if (at_ >= end_) return false;
      std::uint8_t e = d_[at_++];
      if (e >= '0' && e <= '7') {
        int v = e - '0';
        for (int i = 0; i < 2 && at_ < end_ && d_[at_] >= '0' && d_[at_] <= '7'; ++i) v = v * 8 + (d_[at_++] - '0');
        out.text += static_cast<char>(v & 0xff);
      } else if (e == '\r' || e == '\n') {
        if (e == '\r' && at_ < end_ && d_[at_] == '\n') ++at_;
      } else {
        const char* from = "nrtbf";
        const char* to = "\n\r\t\b\f";
        const char* found = std::strchr(from, e);
        out.text += found && e ? to[found - from] : static_cast<char>(e);
      }
    } else if (c == '(') {
      ++nesting;
      out.text += '(';
    } else if (c == ')') {
      if (--nesting == 0) return true;
      out.text += ')';
    } else {
      out.text += static_cast<char>(c);
    }
  }
  return false;
}

bool Lexer::hexString(Value& out) {
  out.kind = Value::string;
  ++at_;
  int high = -1;
  while (at_ < end_) {
    std::uint8_t c = d_[at_++];
    if (c == '>') {
      if (high >= 0) out.text += static_cast<char>(high << 4);
      return true;
    }
    if (isSpace(c)) continue;
    int v = std::isdigit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
    if (v < 0) return false;
    if (high < 0) high = v;
    else {
      out.text += static_cast<char>(high << 4 | v);
      high = -1;
    }
  }
  return false;
}

std::size_t find(const Data& d, std::string_view what, std::size_t from, std::size_t to) {
  if (to > d.size()) to = d.size();
  if (from >= to) return std::string::npos;
  auto it = std::search(d.begin() + from, d.begin() + to, what.begin(), what.end());
  return it == d.begin() + to ? std::string::npos : static_cast<std::size_t>(it - d.begin());
}

std::optional<Data> inflate(const std::uint8_t* bytes, std::size_t size, std::size_t limit) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return std::nullopt;
  Data out;
  z.next_in = const_cast<std::uint8_t*>(bytes);
  z.avail_in = static_cast<uInt>(std::min<std::size_t>(size, UINT32_MAX));
  int status = Z_OK;
  std::uint8_t buffer[65536];
  while (status == Z_OK) {
    z.next_out = buffer;
    z.avail_out = sizeof buffer;
    status = ::inflate(&z, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) break;
    out.insert(out.end(), buffer, buffer + (sizeof buffer - z.avail_out));
    if (out.size() > limit) status = Z_MEM_ERROR;
    if (status == Z_OK && z.avail_in == 0 && z.avail_out != 0) break;
  }
  inflateEnd(&z);
  if (status != Z_STREAM_END && !(status == Z_OK && z.avail_in == 0)) return std::nullopt;
  return out;
}

// Object `number` as a stream of `content` deflated, with `keys` ahead of the stream's own.
std::optional<Data> deflatedStreamObject(int number, const Data& content, const std::string& keys) {
  auto packed = deflate(content);
  if (!packed) return std::nullopt;
  std::string head = std::to_string(number) + " 0 obj\n<<" + keys + "/Filter /FlateDecode /Length " +
                     std::to_string(packed->size()) + ">> stream\n";
  std::string_view tail = "\nendstream\nendobj\n";
  Data out(head.begin(), head.end());
  out.insert(out.end(), packed->begin(), packed->end());
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

// A number as PDF writes one: no exponent, no trailing zeros.
std::string format(double n) {
  if (!std::isfinite(n)) n = 0;
  char text[400];
  if (n == std::floor(n)) std::snprintf(text, sizeof text, "%.0f", n);
  else std::snprintf(text, sizeof text, "%.6f", n);
  std::string out = text;
  if (out.find('.') != std::string::npos) {
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
  }
  return out == "-0" ? "0" : out;
}

// A value in PDF syntax; false for what the printer never writes inside an object.
bool serialize(const Value& v, std::string& out, int depth) {
  if (depth > maximumDepth) return false;
  switch (v.kind) {
    case Value::null: out += "null"; return true;
    case Value::boolean: out += v.text; return true;
    case Value::numeric: out += format(v.number); return true;
    case Value::name: out += "/" + v.text; return true;
    case Value::reference: out += format(v.number) + " 0 R"; return true;
    case Value::string: {
      static const char* digits = "0123456789ABCDEF";
      out += '<';
      for (unsigned char c : v.text) {
        out += digits[c >> 4];
        out += digits[c & 15];
      }
      out += '>';
      return true;
    }
    case Value::array:
      out += '[';
      for (std::size_t i = 0; i < v.items.size(); ++i) {
        if (i) out += ' ';
        if (!serialize(v.items[i], out, depth + 1)) return false;
      }
      out += ']';
      return true;
    case Value::dictionary:
      out += "<<";
      for (std::size_t i = 0; i < v.items.size(); ++i) {
        out += "/" + v.keys[i] + " ";
        if (!serialize(v.items[i], out, depth + 1)) return false;
        out += '\n';
      }
      out += ">>";
      return true;
    case Value::keyword: return false;
  }
  return false;
}

Value reference(int number) {
  Value v;
  v.kind = Value::reference;
  v.number = number;
  return v;
}

Value numbers(std::initializer_list<double> list) {
  Value v;
  v.kind = Value::array;
  for (double n : list) {
    Value item;
    item.kind = Value::numeric;
    item.number = n;
    v.items.push_back(item);
  }
  return v;
}

}  // namespace pdf
