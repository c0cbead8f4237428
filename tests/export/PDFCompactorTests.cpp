// Printed PDFs redrawn small: whole embedded fonts become subsets, text stays text, pages keep
// their sizes, and what is not a PDF within the bounds is refused.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "export/PDFCompactor.h"
#include "platform/FileSystem.h"
#include "support/TestEnvironment.h"

namespace {

const char* fontFile = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

Data bytes(const std::string& s) { return Data(s.begin(), s.end()); }

// A PDF as a web engine's printer writes one: every page shows its text in a TrueType font
// embedded whole.
struct Page {
  double width, height;
  std::string text;
};

Data printedPDF(const std::vector<Page>& pages, const Data& font, const std::string& resources = "") {
  std::vector<std::string> objects;  // object n is objects[n - 1]
  std::string kids;
  int first = 6;  // pages start after catalog, pages, font, descriptor and font file
  for (std::size_t i = 0; i < pages.size(); ++i) kids += std::to_string(first + 2 * i) + " 0 R ";
  objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
  objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>");
  objects.push_back("<< /Type /Font /Subtype /TrueType /BaseFont /DejaVuSans /Encoding /WinAnsiEncoding"
                    " /FontDescriptor 4 0 R >>");
  objects.push_back("<< /Type /FontDescriptor /FontName /DejaVuSans /Flags 32 /FontBBox [-1021 -463 1793 1232]"
                    " /ItalicAngle 0 /Ascent 928 /Descent -236 /CapHeight 729 /StemV 80 /FontFile2 5 0 R >>");
  objects.push_back("<< /Length " + std::to_string(font.size()) + " /Length1 " + std::to_string(font.size()) +
                    " >>\nstream\n" + std::string(font.begin(), font.end()) + "\nendstream");
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const auto& page = pages[i];
    std::string content = "0.2 0.4 0.8 rg 10 10 100 50 re f BT /F1 10 Tf 0 0 0 rg 5 20 Td (" + page.text + ") Tj ET";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(page.width) + " " +
                      std::to_string(page.height) + "] /Resources << /Font << /F1 3 0 R >> " + resources + " >> /Contents " +
                      std::to_string(first + 2 * i + 1) + " 0 R >>");
    objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream");
  }
  std::string out = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  std::size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (auto offset : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    out += line;
  }
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return bytes(out);
}

// A poppler tool's output, its complaints included.
std::string tool(const std::string& command, const std::filesystem::path& file, const std::string& after = "") {
  std::string output;
  EXPECT_EQ(testenv::run(command + " '" + file.string() + "' " + after + " 2>&1", &output), 0) << command << "\n" << output;
  return output;
}

}  // namespace

TEST(PDFCompactor, WholeFontsBecomeSubsetsAndTextStaysText) {
  auto font = fs::readFile(fontFile);
  ASSERT_TRUE(font) << fontFile;
  struct Case {
    std::vector<Page> pages;
    std::string sizes;  // pdfinfo's line for the last page
  } cases[] = {
      {{{200, 120, "Hello compact"}}, "200 x 120 pts"},
      {{{300, 200, "First page"}, {612, 792, "Second page"}, {90.5, 60, "Third"}}, "90.5 x 60 pts"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pages.front().text);
    Data printed = printedPDF(c.pages, *font);
    auto small = PDFCompactor::compact(printed);
    ASSERT_TRUE(small);
    // The whole font is the baseline: a subset of a dozen glyphs is a small part of it.
    EXPECT_LT(small->size(), printed.size() / 10) << small->size() << " of " << printed.size();
    EXPECT_LT(small->size(), font->size() / 10);

    auto file = testenv::freshFolder("pdf") / "small.pdf";
    ASSERT_TRUE(fs::writeAtomically(file, *small));
    std::string text = tool("pdftotext", file, "-");
    for (const auto& page : c.pages) EXPECT_NE(text.find(page.text), std::string::npos) << text;
    std::string fonts = tool("pdffonts", file);
    EXPECT_NE(fonts.find("DejaVuSans"), std::string::npos) << fonts;
    EXPECT_NE(fonts.find("yes yes"), std::string::npos) << "embedded as a subset\n" << fonts;
    std::string info = tool("pdfinfo -l 1000", file);
    EXPECT_NE(info.find("Pages:           " + std::to_string(c.pages.size())), std::string::npos) << info;
    EXPECT_NE(info.find(c.sizes), std::string::npos) << info;
    EXPECT_EQ(tool("pdftoppm -r 10 -png", file, "'" + (file.parent_path() / "page").string() + "'"), "")
        << "poppler reads it without complaint";
  }
}

TEST(PDFCompactor, RefusesWhatIsNotAPrintedPageWithinBounds) {
  auto font = fs::readFile(fontFile);
  ASSERT_TRUE(font);
  Data truncated = printedPDF({{200, 120, "cut"}}, *font);
  truncated.resize(200);
  struct Case {
    const char* name;
    Data input;
  } cases[] = {
      {"empty", {}},
      {"not a PDF", bytes("<html>hello</html>")},
      {"a header and nothing", bytes("%PDF-1.4\n%%EOF\n")},
      {"cut short", truncated},
      {"no pages", bytes("%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n2 0 obj\n<< /Type /Pages "
                         "/Kids [] /Count 0 >>\nendobj\ntrailer\n<< /Root 1 0 R >>\n%%EOF\n")},
      {"a page wider than any export", printedPDF({{40000, 100, "wide"}}, *font)},
      // What the redraw would lose: masks made of groups, and tiling patterns.
      {"a group soft mask", printedPDF({{200, 120, "masked"}}, *font, "/ExtGState << /M << /SMask << /S /Alpha /G 3 0 R >> >> >>")},
      {"a tiling pattern", printedPDF({{200, 120, "tiled"}}, *font, "/Pattern << /P << /PatternType 1 /PaintType 1 >> >>")},
  };
  for (const auto& c : cases) EXPECT_FALSE(PDFCompactor::compact(c.input)) << c.name;
}

TEST(PDFCompactor, KeepsNothingThatIsNotSmaller) {
  // Already small: no font, one rectangle. Redrawn it would not shrink, so it is left alone.
  Data tiny = bytes("%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n2 0 obj\n<< /Type /Pages /Kids [3 0 R] "
                    "/Count 1 >>\nendobj\n3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 10 10] >>\nendobj\n"
                    "trailer\n<< /Root 1 0 R >>\n%%EOF\n");
  EXPECT_FALSE(PDFCompactor::compact(tiny));
}
