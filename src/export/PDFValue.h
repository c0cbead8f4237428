#pragma once
// PDF syntax as the printer writes it, read and written by the compactor: values, a lexer that
// reads them within budgets, numbers and streams written back. Display-free; what it reads came
// from a web process and is untrusted.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "export/PDFCompactor.h"
#include "platform/Data.h"

namespace pdf {

constexpr int maximumDepth = 32;
constexpr std::size_t maximumItems = 1 << 20;  // array and dictionary entries in one value
constexpr std::size_t maximumValues = 2 << 20;  // in the objects of one file
constexpr std::size_t maximumOperands = 256;
constexpr std::size_t maximumOperandValues = 1 << 18;  // in the operands of one operator

struct Value {
  enum Kind { null, boolean, numeric, name, string, array, dictionary, reference, keyword } kind = null;
  double number = 0;
  std::string text;  // a name without its slash, a string's bytes, a keyword
  std::vector<Value> items;  // an array's; a dictionary's values
  std::vector<std::string> keys;  // a dictionary's, one for each of its items

  const Value* get(std::string_view key) const {
    for (std::size_t i = 0; i < keys.size(); ++i)
      if (keys[i] == key) return &items[i];
    return nullptr;
  }
  Value* find(std::string_view key) { return const_cast<Value*>(std::as_const(*this).get(key)); }
  void set(std::string_view key, Value value) {
    if (Value* v = find(key)) *v = std::move(value);
    else {
      keys.emplace_back(key);
      items.push_back(std::move(value));
    }
  }
  void remove(std::string_view key) {
    for (std::size_t i = keys.size(); i-- > 0;)
      if (keys[i] == key) {
        keys.erase(keys.begin() + long(i));
        items.erase(items.begin() + long(i));
      }
  }
  bool isName(std::string_view n) const { return kind == name && text == n; }
  // An object number too large for any table we read names no object.
  int object() const {
    return kind == reference && number >= 0 && number <= double(PDFCompactor::maximumObjects) ? static_cast<int>(number) : -1;
  }
};

// A whole number within [low, high]; none for fractions, infinities and anything outside.
std::optional<long> wholeNumber(const Value& v, long low, long high);

bool isSpace(std::uint8_t c);

// Reads PDF values from [at, end) of the bytes.
class Lexer {
 public:
  // `budget` counts down the values read; none are read past zero.
  Lexer(const std::uint8_t* bytes, std::size_t begin, std::size_t end, std::size_t* budget)
      : d_(bytes), at_(begin), end_(end), budget_(budget) {}
  std::size_t position() const { return at_; }
  void seek(std::size_t at) { at_ = at; }
  bool atEnd() {
    skipSpace();
    return at_ >= end_;
  }
  void skipSpace();
  // One value; references ("1 0 R") are read as one. False on malformed input.
  bool read(Value& out, int depth = 0);

 private:
  bool literalString(Value& out);
  bool hexString(Value& out);

  const std::uint8_t* d_;
  std::size_t at_, end_;
  std::size_t* budget_;
};

// Where `what` first occurs in [from, to) of the bytes, or npos.
std::size_t find(const Data& d, std::string_view what, std::size_t from, std::size_t to);
// A zlib stream inflated; none past `limit` bytes or when it is broken.
std::optional<Data> inflate(const std::uint8_t* bytes, std::size_t size, std::size_t limit);
// Object `number` as a stream of `content` deflated, with `keys` ahead of the stream's own.
std::optional<Data> deflatedStreamObject(int number, const Data& content, const std::string& keys = "");

// A number as PDF writes one: no exponent, no trailing zeros.
std::string format(double n);
// A value in PDF syntax; false for what the printer never writes inside an object.
bool serialize(const Value& v, std::string& out, int depth = 0);
Value reference(int number);
Value numbers(std::initializer_list<double> list);

}  // namespace pdf
