#include "export/PDFCompactor.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "export/TrueTypeSubsetter.h"

namespace {

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
std::optional<long> wholeNumber(const Value& v, long low, long high) {
  if (v.kind != Value::numeric || !(v.number >= double(low) && v.number <= double(high)) || v.number != std::floor(v.number))
    return std::nullopt;
  return static_cast<long>(v.number);
}

bool isSpace(std::uint8_t c) { return c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32; }
bool isDelimiter(std::uint8_t c) { return std::strchr("()<>[]{}/%", c) != nullptr && c != 0; }
bool isRegular(std::uint8_t c) { return !isSpace(c) && !isDelimiter(c); }

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

  void skipSpace() {
    while (at_ < end_) {
      if (isSpace(d_[at_])) ++at_;
      else if (d_[at_] == '%')
        while (at_ < end_ && d_[at_] != '\n' && d_[at_] != '\r') ++at_;
      else break;
    }
  }

  // One value; references ("1 0 R") are read as one. False on malformed input.
  bool read(Value& out, int depth = 0) {
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

 private:
  bool literalString(Value& out) {
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

  bool hexString(Value& out) {
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

  const std::uint8_t* d_;
  std::size_t at_, end_;
  std::size_t* budget_;
};

struct Object {
  std::size_t offset = 0;
  Value value;
  std::size_t streamStart = 0;
  std::size_t streamLength = 0;
  bool stream = false;
};

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

std::optional<Data> deflate(const Data& bytes) {
  uLongf size = compressBound(static_cast<uLong>(bytes.size()));
  Data out(size);
  if (compress2(out.data(), &size, bytes.data(), static_cast<uLong>(bytes.size()), 9) != Z_OK) return std::nullopt;
  out.resize(size);
  return out;
}

// Object `number` as a stream of `content` deflated, with `keys` ahead of the stream's own.
std::optional<Data> deflatedStreamObject(int number, const Data& content, const std::string& keys = "") {
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

class PrintedFile {
 public:
  explicit PrintedFile(const Data& pdf) : pdf_(pdf) {}

  std::optional<Data> compact() {
    if (!readCrossReferences() || !readObjects()) return std::nullopt;
    findFonts();
    if (fontFiles_.empty() || !readGlyphsDrawn()) return std::nullopt;
    std::map<int, Data> replacements;
    for (int file : fontFiles_)
      if (auto bytes = smallerFontFile(file)) replacements[file] = std::move(*bytes);
    if (replacements.empty()) return std::nullopt;
    return write(replacements);
  }

  // The first page alone on a page of width × height points, its drawing scaled by `scale` from
  // its top-left corner. Objects that nothing reaches any more are left out.
  std::optional<Data> firstPage(double width, double height, double scale) {
    if (!readCrossReferences() || !readObjects()) return std::nullopt;
    const Value* catalog = resolve(trailerValue_.get("Root"));
    const Value* tree = catalog && catalog->kind == Value::dictionary ? catalog->get("Pages") : nullptr;
    int treeNumber = tree ? tree->object() : -1;
    // Down the first kids to the first page, with what it inherits.
    const Value *mediaBox = nullptr, *resources = nullptr, *rotate = nullptr, *node = nullptr;
    int number = treeNumber;
    for (int depth = 0;; ++depth) {
      auto it = objects_.find(number);
      if (depth > maximumDepth || it == objects_.end() || it->second.stream || it->second.value.kind != Value::dictionary)
        return std::nullopt;
      node = &it->second.value;
      if (const Value* v = entry(*node, "MediaBox")) mediaBox = v;
      if (const Value* v = node->get("Resources")) resources = v;
      if (const Value* v = entry(*node, "Rotate")) rotate = v;
      const Value* type = entry(*node, "Type");
      if (type && type->isName("Page") && depth > 0) break;
      const Value* kids = entry(*node, "Kids");
      if (!type || !type->isName("Pages") || !kids || kids->kind != Value::array || kids->items.empty()) return std::nullopt;
      number = kids->items.front().object();
    }
    const int pageNumber = number;
    auto box = rectangle(mediaBox);
    if (!box || (rotate && wholeNumber(*rotate, 0, 0) != 0L)) return std::nullopt;
    // x' = s (x - left), y' = s (y - top) + height: the page's top-left corner stays where it is.
    Matrix matrix{scale, -scale * (*box)[0], height - scale * (*box)[3]};

    std::map<int, Value> values;  // objects written again from their values
    std::map<int, Data> replacements;
    std::vector<int> contents = references(node->get("Contents"));
    if (contents.empty() || !drawScaled(contents, matrix, replacements)) return std::nullopt;

    Value page = *node;
    for (const char* key : {"CropBox", "BleedBox", "TrimBox", "ArtBox", "Rotate"}) page.remove(key);
    page.set("MediaBox", numbers({0, 0, width, height}));
    page.set("Parent", reference(treeNumber));
    if (resources) page.set("Resources", *resources);
    if (const Value* annotations = entry(*node, "Annots"); annotations && annotations->kind == Value::array) {
      Value moved = *annotations;
      for (auto& annotation : moved.items) {
        if (annotation.kind == Value::dictionary) {
          moveAnnotation(annotation, matrix);
        } else if (const Value* target = resolve(&annotation); target && target->kind == Value::dictionary &&
                                                              !objects_.at(annotation.object()).stream) {
          Value copy = *target;
          moveAnnotation(copy, matrix);
          values[annotation.object()] = std::move(copy);
        }
      }
      page.set("Annots", std::move(moved));
    }
    values[pageNumber] = std::move(page);
    Value root = objects_[treeNumber].value;
    Value kids;
    kids.kind = Value::array;
    kids.items.push_back(reference(pageNumber));
    root.set("Kids", std::move(kids));
    root.set("Count", numbers({1}).items.front());
    values[treeNumber] = std::move(root);

    for (auto& [n, value] : values) {
      std::string text = std::to_string(n) + " 0 obj\n";
      if (!serialize(value, text, 0)) return std::nullopt;
      text += "\nendobj\n";
      replacements[n] = Data(text.begin(), text.end());
    }
    std::set<int> kept = reached(values);
    return write(replacements, &kept);
  }

 private:
  struct Matrix {
    double scale, x, y;  // x' = scale x + x, y' = scale y + y
  };

  static Value reference(int number) {
    Value v;
    v.kind = Value::reference;
    v.number = number;
    return v;
  }
  static Value numbers(std::initializer_list<double> list) {
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

  // Left, bottom, right, top of a rectangle of four finite numbers, in any corner order.
  std::optional<std::array<double, 4>> rectangle(const Value* v) const {
    if (!v || v->kind != Value::array || v->items.size() != 4) return std::nullopt;
    double n[4];
    for (int i = 0; i < 4; ++i) {
      const Value* item = resolve(&v->items[i]);
      if (!item || item->kind != Value::numeric || !std::isfinite(item->number)) return std::nullopt;
      n[i] = item->number;
    }
    return std::array<double, 4>{std::min(n[0], n[2]), std::min(n[1], n[3]), std::max(n[0], n[2]), std::max(n[1], n[3])};
  }

  // An annotation's rectangle and quadrilaterals where the scaled page draws them.
  static void moveAnnotation(Value& annotation, const Matrix& m) {
    for (const char* key : {"Rect", "QuadPoints"}) {
      Value* points = annotation.find(key);
      if (!points || points->kind != Value::array) continue;
      for (std::size_t i = 0; i < points->items.size(); ++i)
        if (points->items[i].kind == Value::numeric)
          points->items[i].number = m.scale * points->items[i].number + (i % 2 ? m.y : m.x);
    }
  }

  // The page's content streams written again inside "q matrix cm … Q".
  bool drawScaled(const std::vector<int>& contents, const Matrix& m, std::map<int, Data>& replacements) const {
    int first = contents.front(), last = contents.back();
    if (std::count(contents.begin(), contents.end(), first) != 1 || std::count(contents.begin(), contents.end(), last) != 1)
      return false;
    char head[160];
    std::snprintf(head, sizeof head, "q %s 0 0 %s %s %s cm\n", format(m.scale).c_str(), format(m.scale).c_str(),
                  format(m.x).c_str(), format(m.y).c_str());
    std::size_t budget = PDFCompactor::maximumContentBytes;
    for (int n : {first, last}) {
      if (replacements.count(n)) continue;
      auto it = objects_.find(n);
      if (it == objects_.end() || !it->second.stream) return false;
      auto content = streamData(it->second, budget);
      if (!content) return false;
      budget -= content->size();
      Data drawn;
      if (n == first) drawn.insert(drawn.end(), head, head + std::strlen(head));
      drawn.insert(drawn.end(), content->begin(), content->end());
      if (n == last) drawn.insert(drawn.end(), {'\n', 'Q', '\n'});
      auto object = deflatedStreamObject(n, drawn);
      if (!object) return false;
      replacements[n] = std::move(*object);
    }
    return true;
  }

  // A number as PDF writes one: no exponent, no trailing zeros.
  static std::string format(double n) {
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
  static bool serialize(const Value& v, std::string& out, int depth) {
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

  // Every object the trailer still reaches, through the values written again where there are.
  std::set<int> reached(const std::map<int, Value>& values) const {
    std::set<int> seen;
    std::vector<const Value*> open{&trailerValue_};
    while (!open.empty()) {
      const Value* v = open.back();
      open.pop_back();
      if (v->kind == Value::reference) {
        int n = v->object();
        if (n < 0 || !objects_.count(n) || !seen.insert(n).second) continue;
        auto again = values.find(n);
        open.push_back(again != values.end() ? &again->second : &objects_.at(n).value);
        continue;
      }
      for (const auto& item : v->items) open.push_back(&item);
    }
    return seen;
  }

  const Value* resolve(const Value* v) const {
    for (int hops = 0; v && v->kind == Value::reference && hops < 8; ++hops) {
      auto it = objects_.find(v->object());
      v = it == objects_.end() ? nullptr : &it->second.value;
    }
    return v && v->kind != Value::reference ? v : nullptr;
  }
  const Value* entry(const Value& dictionary, std::string_view key) const { return resolve(dictionary.get(key)); }

  // The one cross-reference table the printer writes, and the trailer after it.
  bool readCrossReferences() {
    std::size_t tail = pdf_.size() > 1024 ? pdf_.size() - 1024 : 0;
    std::size_t start = std::string::npos;
    for (std::size_t at = find(pdf_, "startxref", tail, pdf_.size()); at != std::string::npos;
         at = find(pdf_, "startxref", at + 1, pdf_.size()))
      start = at;
    if (start == std::string::npos) return false;
    Lexer lexer(pdf_.data(), start + 9, pdf_.size(), &budget_);
    Value offset;
    if (!lexer.read(offset) || start == 0) return false;
    auto xref = wholeNumber(offset, 0, long(start) - 1);
    if (!xref) return false;
    xref_ = static_cast<std::size_t>(*xref);
    if (find(pdf_, "xref", xref_, xref_ + 4) != xref_) return false;
    lexer = Lexer(pdf_.data(), xref_ + 4, start, &budget_);
    Value first, count;
    if (!lexer.read(first) || !lexer.read(count) || wholeNumber(first, 0, 0) != 0L) return false;
    auto entries = wholeNumber(count, 1, long(PDFCompactor::maximumObjects));
    if (!entries) return false;
    entries_ = static_cast<std::size_t>(*entries);
    for (std::size_t i = 0; i < entries_; ++i) {
      Value at, generation, use;
      if (!lexer.read(at) || !lexer.read(generation) || !lexer.read(use) || at.kind != Value::numeric ||
          use.kind != Value::keyword)
        return false;
      if (use.text == "n") {
        auto offset = wholeNumber(at, 0, long(xref_) - 1);
        if (wholeNumber(generation, 0, 0) != 0L || !offset) return false;
        objects_[static_cast<int>(i)].offset = static_cast<std::size_t>(*offset);
      } else if (use.text != "f") {
        return false;
      }
    }
    lexer.skipSpace();
    trailer_ = lexer.position();
    Value keyword;
    Value& trailer = trailerValue_;
    if (!lexer.read(keyword) || keyword.text != "trailer" || !lexer.read(trailer) || trailer.kind != Value::dictionary)
      return false;
    // Updates appended later, encryption and compressed objects are not the printer's.
    if (trailer.get("Prev") || trailer.get("Encrypt") || trailer.get("XRefStm")) return false;
    lexer.skipSpace();
    trailerEnd_ = lexer.position();
    return !objects_.empty();
  }

  bool readObjects() {
    std::set<std::size_t> offsets;
    for (auto& [number, object] : objects_) {
      if (!offsets.insert(object.offset).second) return false;
      Lexer lexer(pdf_.data(), object.offset, xref_, &budget_);
      Value n, generation, keyword;
      if (!lexer.read(n) || n.kind != Value::numeric || n.number != number || !lexer.read(generation) ||
          !lexer.read(keyword) || keyword.text != "obj" || !lexer.read(object.value))
        return false;
      Value next;
      if (!lexer.read(next)) return false;
      if (next.kind == Value::keyword && next.text == "stream") {
        std::size_t at = lexer.position();
        if (at < xref_ && pdf_[at] == '\r') ++at;
        if (at >= xref_ || pdf_[at] != '\n') return false;
        const Value* length = entry(object.value, "Length");
        auto bytes = length ? wholeNumber(*length, 0, long(xref_ - at - 1)) : std::nullopt;
        if (object.value.kind != Value::dictionary || !bytes) return false;
        object.stream = true;
        object.streamStart = at + 1;
        object.streamLength = static_cast<std::size_t>(*bytes);
      }
      if (object.value.kind == Value::dictionary) {
        const Value* type = object.value.get("Type");
        if (type && (type->isName("ObjStm") || type->isName("XRef"))) return false;
      }
    }
    return true;
  }

  std::vector<int> references(const Value* v) const {
    std::vector<int> out;
    if (!v) return out;
    if (v->kind == Value::reference) {
      const Value* target = resolve(v);
      if (target && target->kind == Value::array) return references(target);
      out.push_back(v->object());
    } else if (v->kind == Value::array) {
      for (const auto& item : v->items)
        if (item.kind == Value::reference) out.push_back(item.object());
    }
    return out;
  }

  // Every place, however deep, that names a font descriptor or a font file.
  static void countUses(const Value& v, std::map<int, int>& descriptors, std::map<int, int>& files) {
    for (std::size_t i = 0; i < v.items.size(); ++i) {
      if (i < v.keys.size() && v.items[i].kind == Value::reference) {
        const std::string& key = v.keys[i];
        if (key == "FontDescriptor") ++descriptors[v.items[i].object()];
        if (key == "FontFile" || key == "FontFile2" || key == "FontFile3") ++files[v.items[i].object()];
      }
      countUses(v.items[i], descriptors, files);
    }
  }

  // Font files whose every use is a composite TrueType font with glyph numbers for codes: those
  // keep the same glyphs for every code shown, whichever font shows it.
  void findFonts() {
    std::set<int> identityFonts, otherFonts;
    std::map<int, int> descriptorUses, fileUses, goodDescriptorUses, goodFileUses;
    for (const auto& [number, object] : objects_) {
      const Value& v = object.value;
      countUses(v, descriptorUses, fileUses);
      if (v.kind != Value::dictionary) continue;
      const Value* subtype = entry(v, "Subtype");
      if (!subtype || !subtype->isName("Type0")) continue;
      const Value* encoding = entry(v, "Encoding");
      bool identity = encoding && encoding->isName("Identity-H");
      for (int descendant : references(v.get("DescendantFonts"))) (identity ? identityFonts : otherFonts).insert(descendant);
    }
    for (const auto& [number, object] : objects_) {
      const Value& v = object.value;
      const Value* descriptor = v.get("FontDescriptor");
      if (v.kind != Value::dictionary || !descriptor || descriptor->kind != Value::reference) continue;
      const Value* subtype = entry(v, "Subtype");
      const Value* map = entry(v, "CIDToGIDMap");
      if (subtype && subtype->isName("CIDFontType2") && (!map || map->isName("Identity")) && identityFonts.count(number) &&
          !otherFonts.count(number)) {
        ++goodDescriptorUses[descriptor->object()];
        glyphWidths(v);
      }
    }
    for (const auto& [descriptor, uses] : goodDescriptorUses) {
      auto it = objects_.find(descriptor);
      if (uses != descriptorUses[descriptor] || it == objects_.end()) continue;
      const Value* file = it->second.value.get("FontFile2");
      if (file && file->kind == Value::reference) ++goodFileUses[file->object()];
    }
    for (const auto& [file, uses] : goodFileUses)
      if (uses == fileUses[file] && objects_.count(file) && objects_[file].stream) fontFiles_.push_back(file);
  }

  // Every glyph given a width is one the printer meant to draw. Glyph numbers are whole numbers
  // below 65536; an entry that is not stops the reading (the text shown still names its glyphs).
  void glyphWidths(const Value& font) {
    const Value* widths = entry(font, "W");
    if (!widths || widths->kind != Value::array) return;
    const auto& items = widths->items;
    for (std::size_t i = 0; i + 1 < items.size();) {
      auto first = wholeNumber(items[i], 0, 65535);
      if (!first) return;
      const Value* second = resolve(&items[i + 1]);
      if (second && second->kind == Value::array) {
        for (long g = *first; g < 65536 && std::size_t(g - *first) < second->items.size(); ++g) addGlyph(g);
        i += 2;
      } else if (auto last = i + 2 < items.size() ? wholeNumber(items[i + 1], 0, 65535) : std::nullopt) {
        for (long g = *first; g <= *last; ++g) addGlyph(g);
        i += 3;
      } else {
        return;
      }
    }
  }

  void addGlyph(long g) {
    if (g >= 0 && g < 65536) glyphs_.insert(static_cast<std::uint16_t>(g));
  }

  std::optional<Data> streamData(const Object& object, std::size_t limit) const {
    const Value* filter = entry(object.value, "Filter");
    if (filter && filter->kind == Value::array && filter->items.size() == 1) filter = resolve(&filter->items[0]);
    const std::uint8_t* bytes = pdf_.data() + object.streamStart;
    if (!filter) {
      if (object.streamLength > limit) return std::nullopt;
      return Data(bytes, bytes + object.streamLength);
    }
    if (!filter->isName("FlateDecode") || object.value.get("DecodeParms")) return std::nullopt;
    return inflate(bytes, object.streamLength, limit);
  }

  // What the pages draw: the codes of every string shown with a text operator, in every page,
  // form, pattern and glyph procedure.
  bool readGlyphsDrawn() {
    std::set<int> contents;
    for (const auto& [number, object] : objects_) {
      const Value& v = object.value;
      if (v.kind != Value::dictionary) continue;
      const Value* type = v.get("Type");
      const Value* subtype = entry(v, "Subtype");
      if (type && type->isName("Page"))
        for (int c : references(v.get("Contents"))) contents.insert(c);
      if (subtype && subtype->isName("Type3")) {
        const Value* procedures = entry(v, "CharProcs");
        if (procedures && procedures->kind == Value::dictionary)
          for (const auto& procedure : procedures->items)
            if (procedure.kind == Value::reference) contents.insert(procedure.object());
      }
      if (object.stream && (subtype && subtype->isName("Form"))) contents.insert(number);
      const Value* pattern = entry(v, "PatternType");
      if (object.stream && pattern && pattern->kind == Value::numeric && pattern->number == 1) contents.insert(number);
    }
    std::size_t budget = PDFCompactor::maximumContentBytes;
    for (int number : contents) {
      auto it = objects_.find(number);
      if (it == objects_.end() || !it->second.stream) return false;
      auto content = streamData(it->second, budget);
      if (!content) return false;
      budget -= content->size();
      if (!readShownStrings(*content)) return false;
    }
    return true;
  }

  bool readShownStrings(const Data& content) {
    std::size_t budget = maximumOperandValues;
    Lexer lexer(content.data(), 0, content.size(), &budget);
    std::vector<Value> operands;
    while (!lexer.atEnd()) {
      Value v;
      if (!lexer.read(v)) return false;
      if (v.kind != Value::keyword) {
        if (operands.size() >= maximumOperands) return false;
        operands.push_back(std::move(v));
        continue;
      }
      if (v.text == "Tj" || v.text == "TJ" || v.text == "'" || v.text == "\"") {
        for (const auto& operand : operands) {
          if (operand.kind == Value::string) addCodes(operand.text);
          if (operand.kind == Value::array)
            for (const auto& item : operand.items)
              if (item.kind == Value::string) addCodes(item.text);
        }
      } else if (v.text == "ID") {
        // An inline image's bytes run to EI.
        std::size_t at = lexer.position();
        std::size_t end = find(content, "EI", at, content.size());
        while (end != std::string::npos && !(isSpace(content[end - 1]) && (end + 2 >= content.size() || isSpace(content[end + 2]))))
          end = find(content, "EI", end + 1, content.size());
        if (end == std::string::npos) return false;
        lexer.seek(end + 2);
      }
      operands.clear();
      budget = maximumOperandValues;
    }
    return true;
  }

  void addCodes(const std::string& codes) {
    for (std::size_t i = 0; i + 1 < codes.size(); i += 2)
      glyphs_.insert(static_cast<std::uint16_t>(static_cast<std::uint8_t>(codes[i]) << 8 | static_cast<std::uint8_t>(codes[i + 1])));
  }

  // The font file object written again around the cut font, when that is smaller.
  std::optional<Data> smallerFontFile(int number) {
    const Object& object = objects_[number];
    auto font = streamData(object, 64 * 1024 * 1024);
    if (!font) return std::nullopt;
    auto cut = TrueTypeSubsetter::subset(*font, glyphs_);
    if (!cut) return std::nullopt;
    return deflatedStreamObject(number, *cut, "/Length1 " + std::to_string(cut->size()) + " ");
  }

  // The file again with some objects replaced; only those in `kept`, when given, are written.
  Data write(const std::map<int, Data>& replacements, const std::set<int>* kept = nullptr) const {
    std::vector<std::pair<std::size_t, int>> order;
    for (const auto& [number, object] : objects_)
      if (!kept || kept->count(number)) order.push_back({object.offset, number});
    std::sort(order.begin(), order.end());
    // An object's bytes run to the next object, or to the table.
    std::vector<std::size_t> starts;
    for (const auto& [number, object] : objects_) starts.push_back(object.offset);
    std::sort(starts.begin(), starts.end());
    Data out(pdf_.begin(), pdf_.begin() + starts.front());
    std::map<int, std::size_t> offsets;
    for (std::size_t i = 0; i < order.size(); ++i) {
      auto [offset, number] = order[i];
      auto next = std::upper_bound(starts.begin(), starts.end(), offset);
      std::size_t end = next == starts.end() ? xref_ : *next;
      offsets[number] = out.size();
      auto replacement = replacements.find(number);
      if (replacement != replacements.end()) out.insert(out.end(), replacement->second.begin(), replacement->second.end());
      else out.insert(out.end(), pdf_.begin() + offset, pdf_.begin() + end);
    }
    std::size_t xref = out.size();
    std::string table = "xref\n0 " + std::to_string(entries_) + "\n";
    for (std::size_t i = 0; i < entries_; ++i) {
      auto it = offsets.find(static_cast<int>(i));
      char line[24];
      if (it == offsets.end()) std::snprintf(line, sizeof line, "%010d %05d f \n", 0, i == 0 ? 65535 : 0);
      else std::snprintf(line, sizeof line, "%010zu 00000 n \n", it->second);
      table += line;
    }
    out.insert(out.end(), table.begin(), table.end());
    out.insert(out.end(), pdf_.begin() + trailer_, pdf_.begin() + trailerEnd_);
    std::string end = "\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    out.insert(out.end(), end.begin(), end.end());
    return out;
  }

  const Data& pdf_;
  std::size_t xref_ = 0, entries_ = 0, trailer_ = 0, trailerEnd_ = 0;
  Value trailerValue_;
  std::size_t budget_ = maximumValues;
  std::map<int, Object> objects_;
  std::vector<int> fontFiles_;
  std::set<std::uint16_t> glyphs_;
};

}  // namespace

std::optional<Data> PDFCompactor::compact(const Data& pdf) {
  if (pdf.size() < 5 || pdf.size() > maximumBytes || std::memcmp(pdf.data(), "%PDF-", 5) != 0) return std::nullopt;
  auto out = PrintedFile(pdf).compact();
  if (!out || out->size() >= pdf.size()) return std::nullopt;
  return out;
}

std::optional<Data> PDFCompactor::firstPage(const Data& pdf, double width, double height, double scale) {
  if (pdf.size() < 5 || pdf.size() > maximumBytes || std::memcmp(pdf.data(), "%PDF-", 5) != 0) return std::nullopt;
  for (double n : {width, height, scale})
    if (!std::isfinite(n) || n <= 0 || n > maximumPageSide) return std::nullopt;
  return PrintedFile(pdf).firstPage(width, height, scale);
}
