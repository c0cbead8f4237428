#include "export/PDFPrintedFile.h"

#include <cmath>

namespace pdf {

// A pattern's matrix maps its space to the default space of the page that paints it, which the
// scale put inside the page's content does not reach: the page's patterns are written again as
// copies whose matrices take the scale in. Patterns painted by forms, by other patterns and by
// glyph procedures are measured in the space of what paints them, which the scale reaches, and
// stay as they are; so does an object the page's patterns share with them.
bool PrintedFile::placePatterns(Value& page, const Matrix& m, std::map<int, Value>& values, std::map<int, int>& copies) const {
  const Value* resources = entry(page, "Resources");
  const Value* patterns = resources && resources->kind == Value::dictionary ? entry(*resources, "Pattern") : nullptr;
  if (!patterns || patterns->kind != Value::dictionary) return true;  // no pattern a page can name
  Value placed = *patterns;
  std::map<int, int> copyOf;  // each pattern object is copied once, however often it is named
  int next = static_cast<int>(entries_ + copies.size());
  for (auto& item : placed.items) {
    if (item.kind == Value::dictionary) {
      if (!placeMatrix(item, m)) return false;
      continue;
    }
    auto source = objects_.find(item.object());
    if (source == objects_.end() || source->second.value.kind != Value::dictionary) continue;  // paints nothing
    auto [copy, added] = copyOf.try_emplace(source->first, next);
    if (added) {
      if (static_cast<std::size_t>(next) >= PDFCompactor::maximumObjects) return false;
      Value value = source->second.value;
      if (!placeMatrix(value, m)) return false;
      values[next] = std::move(value);
      copies[next] = source->first;
      ++next;
    }
    item = reference(copy->second);
  }
  Value placedResources = *resources;
  placedResources.set("Pattern", std::move(placed));
  page.set("Resources", std::move(placedResources));
  return true;
}

// [a b c d e f] followed by the scale: [s a, s b, s c, s d, s e + x, s f + y]. False for a matrix
// of anything but six finite numbers, or one the scale takes past them.
bool PrintedFile::placeMatrix(Value& pattern, const Matrix& m) const {
  const Value* type = entry(pattern, "PatternType");
  if (!type || !(wholeNumber(*type, 1, 2))) return true;  // no pattern of the two kinds: nothing is painted with it
  double t[6] = {1, 0, 0, 1, 0, 0};
  if (const Value* matrix = entry(pattern, "Matrix")) {
    if (matrix->kind != Value::array || matrix->items.size() != 6) return false;
    for (int i = 0; i < 6; ++i) {
      const Value* n = resolve(&matrix->items[i]);
      if (!n || n->kind != Value::numeric || !std::isfinite(n->number)) return false;
      t[i] = n->number;
    }
  }
  double placed[6] = {m.scale * t[0], m.scale * t[1], m.scale * t[2], m.scale * t[3], m.scale * t[4] + m.x, m.scale * t[5] + m.y};
  Value matrix = numbers({});
  for (double n : placed) {
    if (!std::isfinite(n)) return false;
    matrix.items.push_back(numbers({n}).items.front());
  }
  pattern.set("Matrix", std::move(matrix));
  return true;
}

}  // namespace pdf
