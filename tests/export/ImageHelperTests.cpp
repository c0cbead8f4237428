// Image records, data URLs, SVG inspection and the pasted-layers parser, as tables.

#include <gtest/gtest.h>

#include <cmath>

#include <nlohmann/json.hpp>

#include "export/ImageInfo.h"
#include "export/SVGRefusedPictures.h"
#include "export/SVGXMLDocument.h"
#include "export/SketchPasteboardPluginParser.h"
#include "platform/Crypto.h"
#include "platform/JsonCoder.h"

namespace {

std::string text(const Data& d) { return std::string(d.begin(), d.end()); }

std::string b64(const std::string& s) {
  return crypto::base64Encode(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
}

TEST(ImageInfo, DataUrlsDecodeOnlyStrictBase64AfterTheFirstComma) {
  const std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\"/>";
  struct Case {
    std::optional<std::string> url;
    bool decodes;
    bool isSVG;
  } cases[] = {
      {"data:image/svg+xml;base64," + b64(svg), true, true},
      {"data:image/png;base64," + b64(svg), true, false},
      {"DATA:IMAGE/SVG+XML;base64," + b64(svg), true, false},
      {std::nullopt, false, false},
      {"data:image/png;base64", false, false},
      {"data:image/png;base64," + b64(svg).insert(8, "\n"), false, false},
      {"data:image/png;base64," + b64(svg).insert(8, " "), false, false},
      {"data:image/png;base64,a," + b64(svg), false, false},
      {"data:image/svg+xml," + svg, false, false},
      {"data:image/png;base64,QQ", false, false},  // padding is required
      {"data:image/png;base64,Q===", false, false},
      {"data:image/png;base64,QQ==QQ==", false, false},
  };
  for (const auto& c : cases) {
    auto result = imageFileData(c.url);
    EXPECT_EQ(result.has_value(), c.decodes) << c.url.value_or("(none)");
    if (result && c.decodes) {
      EXPECT_EQ(result->isSVG, c.isSVG);
      EXPECT_EQ(text(result->data), svg);
    }
  }
  auto empty = imageFileData(std::string("data:,"));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->data.empty());
  EXPECT_EQ(text(strictBase64Decode("QQ==").value()), "A");
  EXPECT_EQ(text(strictBase64Decode("QUI=").value()), "AB");
}

TEST(ImageInfo, MeasuresPointsFromPixelsOnlyOnScreensAboveOneX) {
  struct Case {
    ImageSize::Facts image;
    std::optional<double> scale;
    ImageSize expected;
  } cases[] = {
      {{100, 75, std::pair{400L, 300L}}, 2.0, {200, 150, 400, 300}},
      {{100, 75, std::pair{400L, 300L}}, 1.0, {100, 75, 400, 300}},
      {{100, 75, std::pair{400L, 300L}}, std::nullopt, {100, 75, 100, 75}},
      {{100, 75, std::nullopt}, 2.0, {100, 75, 100, 75}},
      {{100, 75, std::pair{200L, 150L}}, 2.0, {100, 75, 200, 150}},
      {{100, 75, std::pair{0L, 0L}}, 2.0, {100, 75, 0, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(ImageSize::measure(c.image, c.scale), c.expected);
}

TEST(ImageInfo, JsonCarriesEveryFieldAndDecodesStrictly) {
  EXPECT_FALSE(jsonEncodedImageInfo({10, 20, std::pair{10L, 20L}}, 1.0, ""));
  auto encoded = jsonEncodedImageInfo({10, 20, std::pair{20L, 40L}}, 2.0, "images/a.png");
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->find(' '), std::string::npos);
  auto json = JsonCoder::parse(*encoded).value();
  auto info = decodeImageInfo(json);
  ASSERT_TRUE(info);
  EXPECT_EQ(*info, (ImageInfo{"images/a.png", "", {10, 20, 20, 40}}));

  auto without = [&](const char* key) {
    auto j = json;
    j["imageSize"].erase(key);
    j.erase(key);
    return j;
  };
  for (const char* key : {"imageName", "originalImageName", "imageSize", "width", "pixelHeight"})
    EXPECT_FALSE(decodeImageInfo(without(key))) << key;
  auto wrong = json;
  wrong["imageSize"]["width"] = "10";
  EXPECT_FALSE(decodeImageInfo(wrong));
  wrong = json;
  wrong["imageSize"]["height"] = true;
  EXPECT_FALSE(decodeImageInfo(wrong));
}

TEST(SVGXMLDocument, LengthsConvertByTheirUnit) {
  struct Case {
    std::optional<std::string> text;
    double pixels;  // NaN: no value
  } cases[] = {
      {"100", 100}, {"100px", 100}, {"2in", 192}, {"10pt", 13.333333333333332}, {"1cm", 37.79527},
      {"2ex", 16.84375}, {"1.5em", 24}, {"2pc", 32}, {"10mm", 37.79527}, {"-3", -3}, {"+4", 4}, {"1e2", 100},
      {std::nullopt, NAN}, {"50%", NAN}, {" 100", NAN}, {"100 ", NAN}, {"100PX", NAN}, {"", NAN}, {"px", NAN},
      {"abc", NAN}, {"1,5", NAN}, {"inf", NAN}, {"nan", NAN}, {"1..2", NAN}, {"+-1", NAN}, {"１", NAN},
  };
  for (const auto& c : cases) {
    double got = SVGXMLDocument::rw_SVGPixels(c.text);
    if (std::isnan(c.pixels))
      EXPECT_TRUE(std::isnan(got)) << c.text.value_or("(none)") << " gave " << got;
    else
      EXPECT_DOUBLE_EQ(got, c.pixels) << c.text.value_or("(none)");
  }
  EXPECT_EQ(SVGXMLDocument::rw_SVGPixels("10pt"), 13.333333333333332);
}

struct SvgCase {
  std::string attributes;  // of the root
  std::string body;
  double width, height;
  bool fillStyleable, colorStyleable;
};

TEST(SVGXMLDocument, SizeAndStyleabilityGiveTheSameAnswersWithOrWithoutTheSvgNamespace) {
  const SvgCase cases[] = {
      {R"(width="100" height="50")", "", 100, 50, true, false},
      {R"(width="50%" height="10" viewBox="0 0 300 150")", "", 300, 10, true, false},
      {R"(viewBox="0 0 24.5 24.5")", "", 24, 24, true, false},
      {R"(viewBox="0,0,24,24")", "", 0, 0, true, false},
      {R"(viewBox="0 0  24 24")", "", 0, 0, true, false},
      {R"(width=" 100" height="100PX" viewBox="0 0 30 40")", "", 30, 40, true, false},
      {R"(width="0" height="2in" viewBox="0 0 30 40")", "", 30, 192, true, false},
      {R"(width="1cm" height="2ex")", "", 37.79527, 16.84375, true, false},
      {"", R"(<path d="M0 0" fill="none"/>)", 0, 0, false, false},
      {"", R"(<g><style>path{fill:red}</style></g>)", 0, 0, false, false},
      {"", R"(<path d="M0 0"/><g><path d="M1 1"/></g>)", 0, 0, true, false},
      {"", R"(<path d="M0 0" stroke="currentColor"/>)", 0, 0, true, true},
      {"", R"(<path d="M0 0" style="fill: currentColor"/>)", 0, 0, true, true},
      {"", R"(<path d="M0 0" stroke="currentcolor"/>)", 0, 0, true, false},
  };
  for (const auto& c : cases) {
    for (std::string ns : {"", R"( xmlns="http://www.w3.org/2000/svg")"}) {
      std::string svg = "<svg" + ns + " " + c.attributes + ">" + c.body + "</svg>";
      auto doc = SVGXMLDocument::create(svg);
      ASSERT_TRUE(doc) << svg;
      EXPECT_TRUE((*doc)->rw_isSVGImage()) << svg;
      auto [w, h] = (*doc)->rw_SVGImageSize();
      EXPECT_DOUBLE_EQ(w, c.width) << svg;
      EXPECT_DOUBLE_EQ(h, c.height) << svg;
      EXPECT_EQ((*doc)->rw_isSVGFillStyleable(), c.fillStyleable) << svg;
      EXPECT_EQ((*doc)->rw_isSVGColorStyleable(), c.colorStyleable) << svg;
    }
  }
}

TEST(SVGXMLDocument, RecognisesOnlyAnUnprefixedSvgRootAndNeverFetchesOrExpands) {
  struct Case {
    std::string text;
    bool parses, isSVG;
  } cases[] = {
      {"<svg/>", true, true},
      {R"(<svg xmlns="http://www.w3.org/2000/svg"/>)", true, true},
      {"<SVG/>", true, false},
      {R"(<s:svg xmlns:s="http://www.w3.org/2000/svg"/>)", true, false},
      {R"(<svg xmlns="http://example.com/other"/>)", true, false},
      {"<html><svg/></html>", true, false},
      {"not xml", false, false},
      {"", false, false},
      {"<svg>", false, false},
  };
  for (const auto& c : cases) {
    auto doc = SVGXMLDocument::create(c.text);
    EXPECT_EQ(doc.has_value(), c.parses) << c.text;
    if (doc) {
      EXPECT_EQ((*doc)->rw_isSVGImage(), c.isSVG) << c.text;
    }
  }

  // An external entity would be read from disk, an internal one would grow the text: neither is.
  auto secret = testing::TempDir() + "/secret.txt";
  FILE* f = std::fopen(secret.c_str(), "w");
  std::fputs("currentColor", f);
  std::fclose(f);
  std::string svg = "<!DOCTYPE svg [<!ENTITY x SYSTEM \"file://" + secret +
                    "\"><!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
                    "<svg width=\"&b;\"><title stroke=\"x\">&x;</title><desc fill=\"&b;\"/></svg>";
  auto doc = SVGXMLDocument::create(svg);
  if (doc) {
    EXPECT_FALSE((*doc)->rw_isSVGColorStyleable());
    EXPECT_EQ((*doc)->rw_SVGImageSize(), std::make_pair(0.0, 0.0));
  }
}

std::string sketchBitmap(const std::string& ref, const std::optional<std::string>& data, const std::string& frame =
                             R"({"x":1,"y":2,"width":3,"height":4,"constrainProportions":true})") {
  std::string image = data ? R"({"_ref":")" + ref + R"(","data":{"_data":")" + *data + R"("}})"
                           : R"({"_ref":")" + ref + R"("})";
  return R"({"_class":"bitmap","do_objectID":"B-)" + ref + R"(","frame":)" + frame + R"(,"image":)" + image + "}";
}

std::string payload(const std::string& layers, const std::string& metadata = "{}") {
  return R"({"version":"1","layers":[)" + layers + R"(],"metadata":)" + metadata + "}";
}

TEST(SketchPasteboardPluginParser, CollectsEmbeddedImagesByReference) {
  auto& parser = SketchPasteboardPluginParser::shared();
  std::string fillGroup = R"({"_class":"group","style":{"fills":[{"image":{"_ref":"fill","data":{"_data":")" +
                          b64("F") + R"("}}},{}]},"layers":[)" + sketchBitmap("bmp", b64("B")) + "]}";
  struct Case {
    std::string json;
    std::map<std::string, std::string> bitmaps;
    std::vector<std::string> order;  // references of the top-level layers
  } cases[] = {
      {payload(""), {}, {}},
      {payload(R"({"_class":"text","layers":[)" + sketchBitmap("x", b64("X")) + "]}"), {}, {}},
      {payload(fillGroup), {{"fill", "F"}, {"bmp", "B"}}, {"fill", "bmp"}},
      {payload(sketchBitmap("same", b64("one")) + "," + sketchBitmap("same", b64("two"))), {{"same", "two"}},
       {"same", "same"}},
      {payload(sketchBitmap("nodata", std::nullopt)), {}, {"nodata"}},
      {payload(sketchBitmap("bad", "!!notbase64")), {}, {"bad"}},
      {payload("", R"({"detachedSymbols":{"s":{"_class":"symbolMaster","layers":[)" + sketchBitmap("sym", b64("S")) +
                       "]}}}"),
       {{"sym", "S"}}, {}},
      {payload(R"({"_class":"artboard","unknown":1,"layers":[{"_class":"shapeGroup","layers":[)" +
               sketchBitmap("deep", b64("D")) + "]}]}"),
       {{"deep", "D"}}, {"deep"}},
  };
  for (const auto& c : cases) {
    auto result = parser.parse(c.json);
    ASSERT_TRUE(result) << c.json;
    std::map<std::string, std::string> got;
    for (auto& [ref, bytes] : result->bitmaps) got[ref] = text(bytes);
    EXPECT_EQ(got, c.bitmaps) << c.json;
    std::vector<std::string> order;
    for (auto& ref : parser.extractBitmapsFromLayers(result->sketchData.layers)) order.push_back(ref._ref);
    EXPECT_EQ(order, c.order) << c.json;
  }
}

TEST(SketchPasteboardPluginParser, RefusesAMalformedPayloadAsAWhole) {
  const std::string failing[] = {
      "not json",
      R"({"layers":[],"metadata":{}})",
      R"({"version":"1","metadata":{}})",
      R"({"version":"1","layers":[]})",
      R"({"version":1,"layers":[],"metadata":{}})",
      payload(R"({"layers":[]})"),
      payload(R"({"_class":"bitmap","frame":{"x":1,"y":2,"width":3,"height":4,"constrainProportions":true}})"),
      payload(sketchBitmap("r", b64("R"), R"({"x":1,"y":2,"width":3,"height":4})")),
      payload(sketchBitmap("r", b64("R"), R"({"x":"1","y":2,"width":3,"height":4,"constrainProportions":true})")),
      payload(R"({"_class":"group","style":{"fills":[{"image":{"data":{"_data":"QQ=="}}}]}})"),
      payload(R"({"_class":"group","style":{"fills":[{"image":{"_ref":"a","data":{}}}]}})"),
      payload(R"({"_class":"group","layers":{}})"),
      payload(sketchBitmap("ok", b64("A")) + R"(,{"_class":7})"),
      std::string(2000, '[') + std::string(2000, ']'),
  };
  for (const auto& json : failing) {
    auto result = SketchPasteboardPluginParser::shared().parse(json);
    ASSERT_FALSE(result) << json.substr(0, 200);
    EXPECT_EQ(result.error().domain, SketchPasteboardPluginParser::ErrorDomain);
    EXPECT_EQ(result.error().code, SketchPasteboardPluginParser::unknownFormatting);
  }
}

}  // namespace

// An SVG's images the host gave no data (refused pictures) become their name in their box; what
// XML's grammar passes over (comments, character data, a '>' in a value) is passed over, and
// what can't be read as XML is left as it is. What is written is well-formed.
TEST(SVGRefusedPictures, EachImageOfNoDataBecomesItsNameInItsBox) {
  const std::string open = "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\">";
  const std::string refused =
      "<image x=\"10\" y=\"20\" width=\"100\" height=\"60\" aria-label=\"Lagoon\" xlink:href=\"data:image/png;base64,\"/>";
  struct Case {
    const char* what;
    std::string svg;
    std::vector<std::string> found;  // in what is written; nothing written when empty
    std::vector<std::string> gone = {"data:image/png;base64,\""};
  };
  const Case cases[] = {
      {"a refused picture", open + refused + "</svg>",
       {"<g class=\"refused-picture\" aria-label=\"Lagoon\">", "<rect x=\"10\" y=\"20\" width=\"100\" height=\"60\"/>",
        "<tspan x=\"60\" y=\"54\">Lagoon</tspan>", "fill=\"#f2f2f2\""}},
      {"a picture that is drawn", open + "<image width=\"9\" height=\"9\" href=\"data:image/png;base64,iVBO\"/></svg>", {}},
      {"one in a comment", open + "<!-- " + refused + " --></svg>", {}},
      {"one in character data", open + "<text><![CDATA[" + refused + "]]></text></svg>", {}},
      {"a '>' in a value before it",
       open + "<image title=\"a > b\" width=\"5\" height=\"6\" aria-label='x' href=\"data:,\"></image></svg>",
       {"aria-label=\"x\"", ">x</tspan>"}, {"<image"}},
      {"one with a title", open + "<image width=\"40\" height=\"20\" href=\"data:,\"><title>t</title></image></svg>",
       {"<rect x=\"0\" y=\"0\" width=\"40\" height=\"20\"/>"}, {"<image", "<title>"}},
      {"a name XML escapes",
       open + "<image width=\"200\" height=\"20\" aria-label=\"&lt;A&amp;B&#x43;&#68;&quot;\" href=\"data:,\"/></svg>",
       {">&lt;A&amp;BCD&quot;</tspan>"}},
      {"a long name in a narrow box, broken at its side",
       open + "<image width=\"30\" height=\"100\" aria-label=\"abcdefgh\" href=\"data:,\"/></svg>",
       {">abc</tspan>", ">def</tspan>", ">gh</tspan>"}},
      {"an image of no size", open + "<image href=\"data:,\"/></svg>", {}},
      {"a comment never ended", open + refused + "<!-- </svg>", {}},
      {"a document type declaring entities", "<!DOCTYPE svg [<!ENTITY e \"x\">]>" + open + refused + "</svg>", {}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(SVGXMLDocument::create(c.svg) || c.found.empty()) << c.what;
    auto written = SVGRefusedPictures::drawNames(c.svg);
    ASSERT_EQ(written.has_value(), !c.found.empty()) << c.what;
    if (!written) continue;
    EXPECT_TRUE(SVGXMLDocument::create(*written)) << c.what << ": " << *written;
    for (const auto& f : c.found) EXPECT_NE(written->find(f), std::string::npos) << c.what << ": " << f << " in " << *written;
    for (const auto& g : c.gone) EXPECT_EQ(written->find(g), std::string::npos) << c.what << ": " << g << " in " << *written;
  }
  // Clip names are each the text's own.
  auto twice = SVGRefusedPictures::drawNames(open + "<g id=\"korvel-refused-picture-0\"/>" + refused + "</svg>");
  ASSERT_TRUE(twice);
  EXPECT_EQ(twice->find("id=\"korvel-refused-picture-0\"", twice->find("id=\"korvel-refused-picture-0\"") + 1),
            std::string::npos);
}
