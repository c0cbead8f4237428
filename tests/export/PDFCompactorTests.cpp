// Printed PDFs redrawn small: whole embedded fonts become subsets, text stays text, pages keep
// their sizes, and what is not a PDF within the bounds is refused.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "PDFFixtures.h"
#include "export/Bitmap.h"
#include "export/PDFCompactor.h"
#include "export/TrueTypeSubsetter.h"
#include "platform/FileSystem.h"
#include "support/TestEnvironment.h"

namespace {

const char* fontFile = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

Data bytes(const std::string& s) { return Data(s.begin(), s.end()); }

// A PDF as the web engine's printer writes one: every page shows its text in a composite
// TrueType font embedded whole, its codes glyph numbers, mapped back to text for extraction.
struct Page {
  double width, height;
  std::string text;
};

// DejaVu Sans numbers its printable ASCII glyphs in character order from the space's glyph 3.
std::string glyphCodes(const std::string& text) {
  std::string hex;
  char code[8];
  for (unsigned char c : text) {
    std::snprintf(code, sizeof code, "%04X", c - 29);
    hex += code;
  }
  return hex;
}

// What a test changes in the printed file.
struct Variant {
  std::string encoding = "Identity-H";
  std::string glyphMap = "/Identity";
  std::string resources;    // more page resources
  std::string contentTail;  // more page content
  std::string trailer;      // more trailer entries
  std::string descendant;   // more entries of the glyph-numbered font
};

Data printedPDF(const std::vector<Page>& pages, const Data& font, const Variant& variant = {}) {
  std::string all;
  for (const auto& page : pages) all += page.text;
  std::string cmap = "/CIDInit /ProcSet findresource begin 12 dict begin begincmap /CMapName /Adobe-Identity-UCS def\n"
                     "1 begincodespacerange <0000> <FFFF> endcodespacerange\n" +
                     std::to_string(std::set<char>(all.begin(), all.end()).size()) + " beginbfchar\n";
  for (char c : std::set<char>(all.begin(), all.end())) {
    char line[32];
    std::snprintf(line, sizeof line, "<%s> <%04X>\n", glyphCodes(std::string(1, c)).c_str(), static_cast<unsigned char>(c));
    cmap += line;
  }
  cmap += "endbfchar endcmap CMapName currentdict /CMap defineresource pop end end";

  std::vector<std::string> objects;  // object n is objects[n - 1]
  std::string kids;
  int first = 8;  // pages start after the catalog, the page tree and the font's six objects
  for (std::size_t i = 0; i < pages.size(); ++i) kids += std::to_string(first + 2 * i) + " 0 R ";
  objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
  objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>");
  objects.push_back("<< /Type /Font /Subtype /Type0 /BaseFont /AAAAAA+DejaVuSans /Encoding /" + variant.encoding +
                    " /DescendantFonts [4 0 R] /ToUnicode 7 0 R >>");
  objects.push_back("<< /Type /Font /Subtype /CIDFontType2 /BaseFont /AAAAAA+DejaVuSans /CIDSystemInfo << /Registry "
                    "(Adobe) /Ordering (Identity) /Supplement 0 >> /FontDescriptor 5 0 R /DW 600 /CIDToGIDMap " + variant.glyphMap + variant.descendant + " >>");
  objects.push_back("<< /Type /FontDescriptor /FontName /AAAAAA+DejaVuSans /Flags 4 /FontBBox [-1021 -463 1793 1232]"
                    " /ItalicAngle 0 /Ascent 928 /Descent -236 /CapHeight 729 /StemV 80 /FontFile2 6 0 R >>");
  objects.push_back("<< /Length " + std::to_string(font.size()) + " /Length1 " + std::to_string(font.size()) +
                    " >> stream\n" + std::string(font.begin(), font.end()) + "\nendstream");
  objects.push_back("<< /Length " + std::to_string(cmap.size()) + " >> stream\n" + cmap + "\nendstream");
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const auto& page = pages[i];
    std::string content = "0.2 0.4 0.8 rg 10 10 100 50 re f BT /F1 10 Tf 0 0 0 rg 5 20 Td <" + glyphCodes(page.text) +
                          "> Tj ET" + variant.contentTail;
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(page.width) + " " +
                      std::to_string(page.height) + "] /Resources << /Font << /F1 3 0 R " + variant.resources + ">> >> /Contents " +
                      std::to_string(first + 2 * i + 1) + " 0 R >>");
    objects.push_back("<< /Length " + std::to_string(content.size()) + " >> stream\n" + content + "\nendstream");
  }
  return pdfOf(objects, variant.trailer);
}

// A poppler tool's output, its complaints included.
std::string tool(const std::string& command, const std::filesystem::path& file, const std::string& after = "") {
  std::string output;
  EXPECT_EQ(testenv::run(command + " '" + file.string() + "' " + after + " 2>&1", &output), 0) << command << "\n" << output;
  return output;
}

}  // namespace

TEST(PDFCompactor, WholeFontsBecomeSubsetsAndPagesDrawTheSame) {
  auto font = fs::readFile(fontFile);
  ASSERT_TRUE(font) << fontFile;
  struct Case {
    std::vector<Page> pages;
    std::string sizes;  // pdfinfo's line for the last page
  } cases[] = {
      {{{200, 120, "Hello compact"}}, "200 x 120 pts"},
      {{{300, 200, "First page"}, {612, 792, "Second page"}, {90.5, 60, "Third"}}, "90.5 x 60 pts"},
      {{{400, 100, "~{|}z! @#$%&*()_+=-?<>[]\\/"}}, "400 x 100 pts"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pages.front().text);
    Data printed = printedPDF(c.pages, *font);
    auto small = PDFCompactor::compact(printed);
    ASSERT_TRUE(small);
    // The whole font is the baseline: a subset of a few dozen glyphs is a small part of it.
    EXPECT_LT(small->size(), printed.size() / 10) << small->size() << " of " << printed.size();

    auto folder = testenv::freshFolder("pdf");
    auto before = folder / "printed.pdf", after = folder / "small.pdf";
    ASSERT_TRUE(fs::writeAtomically(before, printed));
    ASSERT_TRUE(fs::writeAtomically(after, *small));
    std::string text = tool("pdftotext", after, "-");
    for (const auto& page : c.pages) EXPECT_NE(text.find(page.text), std::string::npos) << text;
    std::string fonts = tool("pdffonts", after);
    EXPECT_NE(fonts.find("AAAAAA+DejaVuSans"), std::string::npos) << fonts;
    EXPECT_NE(fonts.find("CID TrueType      Identity-H       yes"), std::string::npos) << "embedded\n" << fonts;
    std::string info = tool("pdfinfo -l 1000", after);
    EXPECT_NE(info.find("Pages:           " + std::to_string(c.pages.size())), std::string::npos) << info;
    EXPECT_NE(info.find(c.sizes), std::string::npos) << info;
    // Every page draws exactly as printed, and poppler reads the file without complaint.
    EXPECT_EQ(tool("pdftoppm -r 150 -png", before, "'" + (folder / "before").string() + "'"), "");
    EXPECT_EQ(tool("pdftoppm -r 150 -png", after, "'" + (folder / "after").string() + "'"), "");
    for (std::size_t i = 1; i <= c.pages.size(); ++i) {
      std::string page = "-" + std::to_string(i) + ".png";
      auto drawn = fs::readFile(folder / ("after" + page));
      ASSERT_TRUE(drawn);
      EXPECT_EQ(*drawn, *fs::readFile(folder / ("before" + page))) << "page " << i;
    }
  }
}

TEST(PDFCompactor, RefusesWhatIsNotAPrintedPDFWithinBounds) {
  auto font = fs::readFile(fontFile);
  ASSERT_TRUE(font);
  Data printed = printedPDF({{200, 120, "cut"}}, *font);
  Data truncated(printed.begin(), printed.begin() + 200);
  std::string text(printed.begin(), printed.end());
  auto xref = text.rfind("startxref\n") + 10;
  Data misplaced = bytes(text.substr(0, xref) + "1" + text.substr(xref));
  Data otto = *font;
  std::copy_n("OTTO", 4, otto.begin());
  std::vector<Page> page{{200, 120, "cut"}};
  auto variant = [&](std::string Variant::*field, const std::string& value) {
    Variant v;
    v.*field = value;
    return printedPDF(page, *font, v);
  };
  struct Case {
    const char* name;
    Data input;
  } cases[] = {
      {"empty", {}},
      {"not a PDF", bytes("<html>hello</html>")},
      {"a header and nothing", bytes("%PDF-1.4\n%%EOF\n")},
      {"cut short", truncated},
      {"no fonts", bytes("%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n2 0 obj\n<< /Type /Pages "
                         "/Kids [] /Count 0 >>\nendobj\nxref\n0 3\n0000000000 65535 f \n0000000009 00000 n \n"
                         "0000000058 00000 n \ntrailer\n<< /Size 3 /Root 1 0 R >>\nstartxref\n109\n%%EOF\n")},
      {"a cross-reference pointing nowhere", misplaced},
      {"a font file that is not TrueType", printedPDF(page, otto)},
      {"codes that are not glyph numbers", variant(&Variant::encoding, "Identity-V")},
      {"a glyph map of its own", variant(&Variant::glyphMap, "7 0 R")},
      // Its codes are characters: cutting the file by glyph numbers would lose its glyphs.
      {"a font file a simple font uses too",
       variant(&Variant::resources, "/F2 << /Type /Font /Subtype /TrueType /FontDescriptor 5 0 R >> ")},
      {"content that does not parse", variant(&Variant::contentTail, " (unclosed")},
      {"an update appended", variant(&Variant::trailer, " /Prev 9")},
      {"encrypted", variant(&Variant::trailer, " /Encrypt 9 0 R")},
  };
  ASSERT_TRUE(PDFCompactor::compact(printedPDF(page, *font))) << "the file these are made from is cut";
  for (const auto& c : cases) EXPECT_FALSE(PDFCompactor::compact(c.input)) << c.name;
}

// The printer's pages of the frame's size over 1.25 become one page of the frame's size: the first
// page alone, drawn 1.25 times as large from its top-left corner, its links moved with it, and
// nothing of the other pages left; the compactor still cuts the result.
TEST(PDFCompactor, TheFirstPageAloneBecomesTheFramesPage) {
  auto font = fs::readFile(fontFile);
  ASSERT_TRUE(font);
  Data printed = printedPDF({{240, 160, "First page"}, {240, 160, "Second page"}, {240, 160, "Third"}}, *font);
  auto page = PDFCompactor::firstPage(printed, 300, 200, 1.25);
  ASSERT_TRUE(page);
  auto folder = testenv::freshFolder("pdf");
  auto file = folder / "page.pdf";
  ASSERT_TRUE(fs::writeAtomically(file, *page));
  std::string info = tool("pdfinfo", file);
  EXPECT_NE(info.find("Pages:           1\n"), std::string::npos) << info;
  EXPECT_NE(info.find("Page size:       300 x 200 pts"), std::string::npos) << info;
  std::string text = tool("pdftotext", file, "-");
  EXPECT_NE(text.find("First page"), std::string::npos) << text;
  EXPECT_EQ(text.find("Second page"), std::string::npos) << text;
  std::string all(page->begin(), page->end());
  EXPECT_EQ(all.find("Third"), std::string::npos);
  // The page's box, 10..110 × 10..60 of 240 × 160, is 12.5..137.5 × 12.5..75 of 300 × 200.
  EXPECT_EQ(tool("pdftoppm -r 72 -singlefile -png", file, "'" + (folder / "page").string() + "'"), "");
  auto drawn = ImageEncoding::decode(*fs::readFile(folder / "page.png"));
  ASSERT_TRUE(drawn);
  ASSERT_EQ(drawn->width, 300);
  struct Spot {
    int x, y;
    bool blue;
  } spots[] = {{14, 186, true}, {135, 127, true}, {70, 150, true}, {10, 150, false}, {140, 150, false}, {70, 122, false},
               {70, 190, false}};
  for (const auto& spot : spots) {
    const std::uint8_t* p = drawn->pixel(spot.x, spot.y);
    EXPECT_EQ(p[2] > 150 && p[0] < 100, spot.blue) << spot.x << "," << spot.y;
  }
  EXPECT_TRUE(PDFCompactor::compact(*page));

  Data linked = pdfOf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 /MediaBox [0 0 240 160] >>",
                       "<< /Type /Page /Parent 2 0 R /Contents 4 0 R /Annots [5 0 R << /Type /Annot /Subtype /Link "
                       "/Rect [0 0 240 160] >>] >>",
                       "<< /Length 14 >> stream\n0 0 1 rg 0 0 9 9 re f\nendstream",
                       "<< /Type /Annot /Subtype /Link /Rect [10 10 110 60] /A << /S /URI /URI (https://example.org/) >> >>"});
  auto moved = PDFCompactor::firstPage(linked, 300, 200, 1.25);
  ASSERT_TRUE(moved);
  std::string bytes(moved->begin(), moved->end());
  EXPECT_NE(bytes.find("/Rect [12.5 12.5 137.5 75]"), std::string::npos) << bytes;
  EXPECT_NE(bytes.find("/Rect [0 0 300 200]"), std::string::npos) << bytes;
  EXPECT_NE(bytes.find("/MediaBox [0 0 300 200]"), std::string::npos) << bytes;
}

// Patterns are measured in the space of what paints them: the page's are placed again for its
// scaled drawing (copied, where a form paints the same pattern object), and a form's scale with
// the form. Read back at 72 dpi, each lands 1.25 times as far from the top-left corner.
TEST(PDFCompactor, PatternsLandWithTheScaledPage) {
  const std::string halves = "/Function << /FunctionType 3 /Domain [0 1] /Bounds [0.5] /Encode [0 1 0 1] /Functions ["
                             "<< /FunctionType 2 /Domain [0 1] /C0 [1 0 0] /C1 [1 0 0] /N 1 >> "
                             "<< /FunctionType 2 /Domain [0 1] /C0 [0 0 1] /C1 [0 0 1] /N 1 >>] >>";
  const std::string tiles = "0 1 0 rg 0 0 10 20 re f";
  const std::string form = "/Pattern cs /T scn 0 40 120 40 re f";
  const std::string content = "/Pattern cs /P1 scn 0 80 240 80 re f /P2 scn 0 0 120 40 re f /X1 Do /P3 scn 120 0 120 40 re f";
  Data printed = pdfOf({
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 240 160] /Contents 4 0 R /Resources << /Pattern << /P1 5 0 R /P2 6 0 R "
      "/P3 << /PatternType 2 /Shading << /ShadingType 2 /ColorSpace /DeviceRGB /Coords [120 0 240 0] " + halves +
          " >> >> >> /XObject << /X1 7 0 R >> >> >>",
      "<< /Length " + std::to_string(content.size()) + " >> stream\n" + content + "\nendstream",
      "<< /PatternType 2 /Matrix [1 0 0 1 0 0] /Shading << /ShadingType 2 /ColorSpace /DeviceRGB /Coords [0 0 120 0] " +
          halves + " >> >>",
      "<< /PatternType 1 /PaintType 1 /TilingType 1 /BBox [0 0 20 20] /XStep 20 /YStep 20 /Matrix [1 0 0 1 5 0] /Resources << >> "
      "/Length " + std::to_string(tiles.size()) + " >> stream\n" + tiles + "\nendstream",
      "<< /Type /XObject /Subtype /Form /BBox [0 0 240 160] /Resources << /Pattern << /T 6 0 R >> >> /Length " +
          std::to_string(form.size()) + " >> stream\n" + form + "\nendstream"});
  auto page = PDFCompactor::firstPage(printed, 300, 200, 1.25);
  ASSERT_TRUE(page);
  std::string bytes(page->begin(), page->end());
  EXPECT_NE(bytes.find("/Matrix [1.25 0 0 1.25 0 0]"), std::string::npos) << bytes;
  EXPECT_NE(bytes.find("/Matrix [1.25 0 0 1.25 6.25 0]"), std::string::npos) << bytes;
  EXPECT_NE(bytes.find("/Matrix [1 0 0 1 5 0]"), std::string::npos) << "the form's own, as it was\n" << bytes;
  EXPECT_NE(bytes.find("/Size 10"), std::string::npos) << "two copies counted\n" << bytes;

  auto folder = testenv::freshFolder("pdf");
  ASSERT_TRUE(fs::writeAtomically(folder / "page.pdf", *page));
  EXPECT_EQ(tool("pdftoppm -r 72 -singlefile -png", folder / "page.pdf", "'" + (folder / "page").string() + "'"), "");
  auto drawn = ImageEncoding::decode(*fs::readFile(folder / "page.png"));
  ASSERT_TRUE(drawn);
  ASSERT_EQ(drawn->width, 300);
  enum Colour { red, blue, green, white };
  struct Spot {
    const char* what;
    int x, y;
    Colour colour;
  } spots[] = {
      {"the page's shading, left of its edge at 75", 70, 50, red},   {"the page's shading, right of its edge", 80, 50, blue},
      {"the page's tiles, inside one at 6.25", 17, 175, green},      {"the page's tiles, between two", 30, 175, white},
      {"the form's tiles, inside one", 17, 125, green},              {"the form's tiles, between two", 30, 125, white},
      {"a shading of the page's own, left of its edge at 225", 220, 175, red},
      {"a shading of the page's own, right of its edge", 230, 175, blue},
  };
  for (const auto& s : spots) {
    const std::uint8_t* p = drawn->pixel(s.x, s.y);
    bool r = p[0] > 200, g = p[1] > 200, b = p[2] > 200;
    bool expected = s.colour == red ? r && !g && !b : s.colour == blue ? !r && !g && b : s.colour == green ? !r && g && !b : r && g && b;
    EXPECT_TRUE(expected) << s.what << ": " << int(p[0]) << "," << int(p[1]) << "," << int(p[2]);
  }
}

// A page tree that loops, a page turned, no page box, a stream drawn twice, sizes that are no
// sizes: nothing, rather than a page that is not the frame.
TEST(PDFCompactor, RefusesFirstPagesItCannotScale) {
  auto page = [](const std::string& pages, const std::string& entries, const std::string& contents = "4 0 R",
                 const std::string& box = "[0 0 240 160]") {
    return pdfOf({"<< /Type /Catalog /Pages 2 0 R >>", pages,
                  "<< /Type /Page /Parent 2 0 R /MediaBox " + box + " /Contents " + contents + entries + " >>",
                  "<< /Length 14 >> stream\n0 0 1 rg 0 0 9 9 re f\nendstream"});
  };
  const std::string tree = "<< /Type /Pages /Kids [3 0 R] /Count 1 >>";
  ASSERT_TRUE(PDFCompactor::firstPage(page(tree, ""), 300, 200, 1.25)) << "the file these are made from is scaled";
  struct Case {
    const char* name;
    Data input;
    double width = 300, height = 200, scale = 1.25;
  } cases[] = {
      {"not a PDF", bytes("<html>hello</html>")},
      {"a tree whose first kid is itself", page("<< /Type /Pages /Kids [2 0 R] /Count 1 >>", "")},
      {"a tree of no pages", page("<< /Type /Pages /Kids [] /Count 0 >>", "")},
      {"a page turned", page(tree, " /Rotate 90")},
      {"a page box of three numbers", page(tree, "", "4 0 R", "[0 0 240]")},
      {"a stream drawn twice", page(tree, "", "[4 0 R 4 0 R]")},
      {"contents that are no stream", page(tree, "", "2 0 R")},
      {"a pattern of three numbers", page(tree, " /Resources << /Pattern << /P << /PatternType 2 /Matrix [1 0 0] >> >> >>")},
      {"a pattern the scale takes past every number",
       page(tree, " /Resources << /Pattern << /P << /PatternType 2 /Matrix [1e308 0 0 1 0 0] >> >> >>"), 300, 200, 1e6},
      {"no width", page(tree, ""), 0},
      {"a height that is no number", page(tree, ""), 300, std::nan("")},
      {"a scale past every page", page(tree, ""), 300, 200, 1e300},
  };
  for (const auto& c : cases) EXPECT_FALSE(PDFCompactor::firstPage(c.input, c.width, c.height, c.scale)) << c.name;
}

// Numbers no integer holds, where the compactor turns numbers into glyphs and objects: the file
// is cut as well as ever, in the time it always takes.
TEST(PDFCompactor, NumbersOutOfRangeNameNoGlyphAndNoObject) {
  auto font = fs::readFile(fontFile);
  ASSERT_TRUE(font);
  const char* cases[] = {
      " /W [-100000000000000000 0 500]",  // this far below -2^53 adding one changes nothing
      " /W [-1e300 -1e300 500]",
      " /W [36 1e300 500]",
      " /W [1e20 [500 600]]",
      " /W [36.5 [500] 40 40.5 500]",
      " /W 99999999999999999999 0 R",
      " /W [36 99999999999999999999 0 R]",
      " /Extra [4294967296 0 R 2147483648 0 R]",
      " /FontDescriptor 18446744073709551616 0 R",
  };
  for (const char* descendant : cases) {
    SCOPED_TRACE(descendant);
    Variant v;
    v.descendant = descendant;
    Data printed = printedPDF({{200, 120, "Hello"}}, *font, v);
    auto small = PDFCompactor::compact(printed);
    EXPECT_TRUE(small);
  }
  // Offsets, counts and lengths that are no whole numbers are refused, not truncated.
  Data printed = printedPDF({{200, 120, "Hello"}}, *font);
  std::string text(printed.begin(), printed.end());
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string t = text;
    auto at = t.rfind(from);
    return at == std::string::npos ? Data() : bytes(t.replace(at, from.size(), to));
  };
  auto xref = text.substr(text.rfind("startxref\n") + 10);
  xref = xref.substr(0, xref.find('\n'));
  for (const Data& bad : {replaced("startxref\n" + xref, "startxref\n" + xref + ".5"),
                          replaced("startxref\n" + xref, "startxref\n1e300"), replaced("xref\n0 ", "xref\n0.5 "),
                          replaced("0000000009 00000 n", "00000009.5 00000 n")})
    EXPECT_FALSE(PDFCompactor::compact(bad));
}

namespace {

struct Font {
  Data bytes;
  std::map<std::string, std::pair<std::size_t, std::size_t>> tables;  // offset, length
  std::size_t u16(std::size_t at) const { return bytes[at] << 8 | bytes[at + 1]; }
  std::size_t u32(std::size_t at) const { return u16(at) << 16 | u16(at + 2); }
  explicit Font(Data d) : bytes(std::move(d)) {
    for (std::size_t i = 0; i < u16(4); ++i) {
      std::size_t record = 12 + 16 * i;
      tables[std::string(reinterpret_cast<const char*>(&bytes[record]), 4)] = {u32(record + 8), u32(record + 12)};
    }
  }
  std::size_t glyphCount() const { return u16(tables.at("maxp").first + 4); }
  // Where glyph g's outline starts and ends in glyf.
  std::pair<std::size_t, std::size_t> glyph(std::size_t g) const {
    std::size_t loca = tables.at("loca").first;
    bool wide = u16(tables.at("head").first + 50) == 1;
    auto at = [&](std::size_t i) { return wide ? u32(loca + 4 * i) : 2 * u16(loca + 2 * i); };
    return {at(g), at(g + 1)};
  }
  bool composite(std::size_t g) const {
    auto [start, end] = glyph(g);
    return end - start >= 10 && (bytes[tables.at("glyf").first + start] & 0x80);
  }
};

}  // namespace

TEST(TrueTypeSubsetter, KeepsTheGlyphsAskedForTheirPartsAndNothingAfterThem) {
  Font whole(*fs::readFile(fontFile));
  std::uint16_t composite = 0;
  for (std::size_t g = 1; g < whole.glyphCount() && !composite; ++g)
    if (whole.composite(g)) composite = static_cast<std::uint16_t>(g);
  ASSERT_NE(composite, 0);
  std::size_t glyf = whole.tables.at("glyf").first + whole.glyph(composite).first;
  std::uint16_t part = static_cast<std::uint16_t>(whole.u16(glyf + 12));  // the first component's glyph

  struct Case {
    std::set<std::uint16_t> asked;
    std::set<std::uint16_t> kept;  // with an outline in the cut font
    std::size_t count;
  } cases[] = {
      {{36, 40}, {0, 36, 40}, 41},
      {{}, {0}, 1},
      {{5, 65535}, {0, 5}, 6},  // a glyph the font lacks is no glyph
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    auto cut = TrueTypeSubsetter::subset(whole.bytes, c.asked);
    ASSERT_TRUE(cut);
    Font small(*cut);
    EXPECT_EQ(small.glyphCount(), c.count);
    for (std::size_t g = 0; g < small.glyphCount(); ++g) {
      auto [start, end] = small.glyph(g);
      auto [wholeStart, wholeEnd] = whole.glyph(g);
      bool hasOutline = wholeEnd > wholeStart;
      EXPECT_EQ(end > start, c.kept.count(static_cast<std::uint16_t>(g)) && hasOutline) << g;
    }
    for (const char* table : {"cmap", "GSUB", "GPOS", "kern", "name", "post"}) EXPECT_FALSE(small.tables.count(table)) << table;
  }
  // A composite glyph keeps the glyphs it is made of, wherever they are numbered.
  auto cut = TrueTypeSubsetter::subset(whole.bytes, {composite});
  ASSERT_TRUE(cut);
  Font small(*cut);
  ASSERT_GT(small.glyphCount(), std::max(composite, part));
  EXPECT_TRUE(small.composite(composite));
  EXPECT_EQ(small.glyph(composite).second - small.glyph(composite).first,
            whole.glyph(composite).second - whole.glyph(composite).first);
  EXPECT_EQ(small.glyph(part).second - small.glyph(part).first, whole.glyph(part).second - whole.glyph(part).first);

  EXPECT_FALSE(TrueTypeSubsetter::subset(bytes("OTTO and the rest"), {1}));
  Data half(whole.bytes.begin(), whole.bytes.begin() + whole.bytes.size() / 2);
  EXPECT_FALSE(TrueTypeSubsetter::subset(half, {1})) << "tables past the end";
}
