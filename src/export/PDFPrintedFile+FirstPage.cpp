#include "export/PDFPrintedFile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace pdf {

// The first page alone on a page of width × height points, its drawing scaled by `scale` from
// its top-left corner. Objects that nothing reaches any more are left out.
std::optional<Data> PrintedFile::firstPage(double width, double height, double scale) {
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
  std::map<int, int> copies;  // new objects, and the objects they copy
  if (!placePatterns(page, matrix, values, copies)) return std::nullopt;
  values[pageNumber] = std::move(page);
  Value root = objects_[treeNumber].value;
  Value kids;
  kids.kind = Value::array;
  kids.items.push_back(reference(pageNumber));
  root.set("Kids", std::move(kids));
  root.set("Count", numbers({1}).items.front());
  values[treeNumber] = std::move(root);

  for (auto& [n, value] : values) {
    auto copy = copies.find(n);
    const Object& source = objects_.at(copy != copies.end() ? copy->second : n);
    if (source.stream) value.set("Length", numbers({double(source.streamLength)}).items.front());
    std::string text = std::to_string(n) + " 0 obj\n";
    if (!serialize(value, text, 0)) return std::nullopt;
    Data object(text.begin(), text.end());
    if (source.stream) {
      std::string_view open = "\nstream\n";
      object.insert(object.end(), open.begin(), open.end());
      object.insert(object.end(), pdf_.begin() + long(source.streamStart),
                    pdf_.begin() + long(source.streamStart + source.streamLength));
      text = "\nendstream";
    } else {
      text.clear();
    }
    text += "\nendobj\n";
    object.insert(object.end(), text.begin(), text.end());
    replacements[n] = std::move(object);
  }
  std::set<int> kept = reached(values);
  if (copies.empty()) return write(replacements, &kept);
  Value grown = trailerValue_;
  grown.set("Size", numbers({double(entries_ + copies.size())}).items.front());
  if (std::string text; !serialize(grown, text)) return std::nullopt;
  return write(replacements, &kept, &grown);
}

// Left, bottom, right, top of a rectangle of four finite numbers, in any corner order.
std::optional<std::array<double, 4>> PrintedFile::rectangle(const Value* v) const {
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
void PrintedFile::moveAnnotation(Value& annotation, const Matrix& m) {
  for (const char* key : {"Rect", "QuadPoints"}) {
    Value* points = annotation.find(key);
    if (!points || points->kind != Value::array) continue;
    for (std::size_t i = 0; i < points->items.size(); ++i)
      if (points->items[i].kind == Value::numeric)
        points->items[i].number = m.scale * points->items[i].number + (i % 2 ? m.y : m.x);
  }
}

// The page's content streams written again inside "q matrix cm … Q".
bool PrintedFile::drawScaled(const std::vector<int>& contents, const Matrix& m, std::map<int, Data>& replacements) const {
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

// Every object the trailer still reaches, through the values written again where there are.
std::set<int> PrintedFile::reached(const std::map<int, Value>& values) const {
  std::set<int> seen;
  std::vector<const Value*> open{&trailerValue_};
  while (!open.empty()) {
    const Value* v = open.back();
    open.pop_back();
    if (v->kind == Value::reference) {
      int n = v->object();
      if (n < 0 || (!objects_.count(n) && !values.count(n)) || !seen.insert(n).second) continue;
      auto again = values.find(n);
      open.push_back(again != values.end() ? &again->second : &objects_.at(n).value);
      continue;
    }
    for (const auto& item : v->items) open.push_back(&item);
  }
  return seen;
}

}  // namespace pdf
