#pragma once
// One file as the web engine's printer writes it, read for the compactor: its one cross-reference
// table, its objects and their streams, and the file written again with objects replaced. Its
// concerns live in files of their own: fonts cut to the glyphs drawn, the first page scaled to
// the frame's page, the patterns that page paints. Display-free; the bytes are untrusted.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "export/PDFValue.h"

namespace pdf {

struct Object {
  std::size_t offset = 0;
  Value value;
  std::size_t streamStart = 0;
  std::size_t streamLength = 0;
  bool stream = false;
};

class PrintedFile {
 public:
  explicit PrintedFile(const Data& pdf) : pdf_(pdf) {}

  // The same file with its fonts cut down to the glyphs drawn; none when nothing is cut.
  std::optional<Data> compact();
  // The first page alone on a page of width × height points, its drawing scaled by `scale` from
  // its top-left corner. Objects that nothing reaches any more are left out.
  std::optional<Data> firstPage(double width, double height, double scale);

 private:
  struct Matrix {
    double scale, x, y;  // x' = scale x + x, y' = scale y + y
  };

  const Value* resolve(const Value* v) const;
  // The one cross-reference table the printer writes, and the trailer after it.
  bool readCrossReferences();
  bool readObjects();
  std::vector<int> references(const Value* v) const;
  std::optional<Data> streamData(const Object& object, std::size_t limit) const;
  // The file again with some objects replaced; only those in `kept`, when given, are written.
  // Replacements numbered from the table's end on are new objects, written after the others
  // under `grown`, a trailer whose Size counts them (one that serializes).
  Data write(const std::map<int, Data>& replacements, const std::set<int>* kept = nullptr, const Value* grown = nullptr) const;
  const Value* entry(const Value& dictionary, std::string_view key) const { return resolve(dictionary.get(key)); }

  // Left, bottom, right, top of a rectangle of four finite numbers, in any corner order.
  std::optional<std::array<double, 4>> rectangle(const Value* v) const;
  // An annotation's rectangle and quadrilaterals where the scaled page draws them.
  static void moveAnnotation(Value& annotation, const Matrix& m);
  // The page's content streams written again inside "q matrix cm … Q".
  bool drawScaled(const std::vector<int>& contents, const Matrix& m, std::map<int, Data>& replacements) const;
  // Every object the trailer still reaches, through the values written again where there are.
  std::set<int> reached(const std::map<int, Value>& values) const;
  // The page's patterns, copied as new objects (in `values`, each copy's source in `copies`),
  // placed where its drawing scaled by `m` paints them. False for a pattern it cannot place.
  bool placePatterns(Value& page, const Matrix& m, std::map<int, Value>& values, std::map<int, int>& copies) const;
  bool placeMatrix(Value& pattern, const Matrix& m) const;

  // Every place, however deep, that names a font descriptor or a font file.
  static void countUses(const Value& v, std::map<int, int>& descriptors, std::map<int, int>& files);
  // Font files whose every use is a composite TrueType font with glyph numbers for codes: those
  // keep the same glyphs for every code shown, whichever font shows it.
  void findFonts();
  // Every glyph given a width is one the printer meant to draw. Glyph numbers are whole numbers
  // below 65536; an entry that is not stops the reading (the text shown still names its glyphs).
  void glyphWidths(const Value& font);
  void addGlyph(long g);
  // What the pages draw: the codes of every string shown with a text operator, in every page,
  // form, pattern and glyph procedure.
  bool readGlyphsDrawn();
  bool readShownStrings(const Data& content);
  void addCodes(const std::string& codes);
  // The font file object written again around the cut font, when that is smaller.
  std::optional<Data> smallerFontFile(int number);

  const Data& pdf_;
  std::size_t xref_ = 0, entries_ = 0, trailer_ = 0, trailerEnd_ = 0;
  Value trailerValue_;
  std::size_t budget_ = maximumValues;
  std::map<int, Object> objects_;
  std::vector<int> fontFiles_;
  std::set<std::uint16_t> glyphs_;
};

}  // namespace pdf
