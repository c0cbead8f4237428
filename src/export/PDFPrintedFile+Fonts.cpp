#include "export/PDFPrintedFile.h"

#include "export/TrueTypeSubsetter.h"

namespace pdf {

std::optional<Data> PrintedFile::compact() {
  if (!readCrossReferences() || !readObjects()) return std::nullopt;
  findFonts();
  if (fontFiles_.empty() || !readGlyphsDrawn()) return std::nullopt;
  std::map<int, Data> replacements;
  for (int file : fontFiles_)
    if (auto bytes = smallerFontFile(file)) replacements[file] = std::move(*bytes);
  if (replacements.empty()) return std::nullopt;
  return write(replacements);
}

// Every place, however deep, that names a font descriptor or a font file.
void PrintedFile::countUses(const Value& v, std::map<int, int>& descriptors, std::map<int, int>& files) {
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
void PrintedFile::findFonts() {
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
void PrintedFile::glyphWidths(const Value& font) {
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

void PrintedFile::addGlyph(long g) {
  if (g >= 0 && g < 65536) glyphs_.insert(static_cast<std::uint16_t>(g));
}

// What the pages draw: the codes of every string shown with a text operator, in every page,
// form, pattern and glyph procedure.
bool PrintedFile::readGlyphsDrawn() {
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

bool PrintedFile::readShownStrings(const Data& content) {
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

void PrintedFile::addCodes(const std::string& codes) {
  for (std::size_t i = 0; i + 1 < codes.size(); i += 2)
    glyphs_.insert(static_cast<std::uint16_t>(static_cast<std::uint8_t>(codes[i]) << 8 | static_cast<std::uint8_t>(codes[i + 1])));
}

// The font file object written again around the cut font, when that is smaller.
std::optional<Data> PrintedFile::smallerFontFile(int number) {
  const Object& object = objects_[number];
  auto font = streamData(object, 64 * 1024 * 1024);
  if (!font) return std::nullopt;
  auto cut = TrueTypeSubsetter::subset(*font, glyphs_);
  if (!cut) return std::nullopt;
  return deflatedStreamObject(number, *cut, "/Length1 " + std::to_string(cut->size()) + " ");
}

}  // namespace pdf
