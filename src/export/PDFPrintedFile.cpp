#include "export/PDFPrintedFile.h"

#include <algorithm>
#include <cstdio>

namespace pdf {

const Value* PrintedFile::resolve(const Value* v) const {
  for (int hops = 0; v && v->kind == Value::reference && hops < 8; ++hops) {
    auto it = objects_.find(v->object());
    v = it == objects_.end() ? nullptr : &it->second.value;
  }
  return v && v->kind != Value::reference ? v : nullptr;
}

// The one cross-reference table the printer writes, and the trailer after it.
bool PrintedFile::readCrossReferences() {
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

bool PrintedFile::readObjects() {
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

std::vector<int> PrintedFile::references(const Value* v) const {
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

std::optional<Data> PrintedFile::streamData(const Object& object, std::size_t limit) const {
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

// The file again with some objects replaced; only those in `kept`, when given, are written.
Data PrintedFile::write(const std::map<int, Data>& replacements, const std::set<int>* kept, const Value* grown) const {
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
  const Value* count = grown ? grown->get("Size") : nullptr;
  std::size_t size = count ? static_cast<std::size_t>(wholeNumber(*count, long(entries_), long(PDFCompactor::maximumObjects)).value_or(0)) : 0;
  if (size == 0) size = entries_;
  for (auto it = replacements.lower_bound(static_cast<int>(entries_)); it != replacements.end(); ++it) {
    if (static_cast<std::size_t>(it->first) >= size || (kept && !kept->count(it->first))) continue;
    offsets[it->first] = out.size();
    out.insert(out.end(), it->second.begin(), it->second.end());
  }
  std::size_t xref = out.size();
  std::string table = "xref\n0 " + std::to_string(size) + "\n";
  for (std::size_t i = 0; i < size; ++i) {
    auto it = offsets.find(static_cast<int>(i));
    char line[24];
    if (it == offsets.end()) std::snprintf(line, sizeof line, "%010d %05d f \n", 0, i == 0 ? 65535 : 0);
    else std::snprintf(line, sizeof line, "%010zu 00000 n \n", it->second);
    table += line;
  }
  out.insert(out.end(), table.begin(), table.end());
  std::string text = "trailer\n";
  if (grown && serialize(*grown, text)) out.insert(out.end(), text.begin(), text.end());
  else out.insert(out.end(), pdf_.begin() + trailer_, pdf_.begin() + trailerEnd_);
  std::string end = "\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  out.insert(out.end(), end.begin(), end.end());
  return out;
}

}  // namespace pdf
