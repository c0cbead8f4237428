// What a paste finds on the clipboard, in which order, and how the page is answered.

#include <gtest/gtest.h>

#include <glib.h>

#include "IPCTestSupport.h"
#include "export/Bitmap.h"
#include "ipc/LayerPaste.h"
#include "ipc/PasteboardTypes.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/RunLoop.h"
#include "support/HostilePictures.h"
#include "support/TestEnvironment.h"

using namespace ipctest;
using Kind = PasteFinding::Kind;

namespace {

Data png(int w, int h) { return ImageEncoding::png(*Bitmap::make(w, h)); }

std::string uriOf(const std::filesystem::path& p) {
  gchar* uri = g_filename_to_uri(p.c_str(), nullptr, nullptr);
  std::string out = uri;
  g_free(uri);
  return out + "\r\n";
}

// Puts exactly these types and contents on the (in-process) general pasteboard.
void offer(const std::vector<std::pair<std::string, Data>>& items) {
  auto& pasteboard = Pasteboard::general();
  std::vector<std::string> types;
  for (auto& [type, data] : items) types.push_back(type);
  pasteboard.declareTypes(types);
  for (auto& [type, data] : items) pasteboard.setData(data, type);
}

std::pair<std::string, Data> item(const char* type, const std::string& text) { return {type, dataFromString(text)}; }

}  // namespace

TEST(LayerPaste, ProbesInTheirFixedOrder) {
  auto folder = testenv::freshFolder("paste");
  auto picture = folder / "Picture.png";
  ASSERT_TRUE(fs::writeAtomically(picture, png(3, 3)));
  auto drawing = folder / "Drawing.SVG";
  ASSERT_TRUE(fs::writeAtomically(drawing, std::string_view("<svg/>")));
  auto bomb = folder / "bomb.png";
  ASSERT_TRUE(fs::writeAtomically(bomb, testenv::pngHeader(60000, 60000)));
  auto text = folder / "notes.txt";
  ASSERT_TRUE(fs::writeAtomically(text, std::string_view("hello")));
  const std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg"/>)";
  using PT = const char*;
  PT layers = PasteboardType::ostrelLayers, plain = PasteboardType::string, sketch = PasteboardType::sketchPasteboard,
     file = PasteboardType::fileURL, html = PasteboardType::html;
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, Data>> items;
    bool ignoreSketch;
    Kind kind;
  };
  const Case cases[] = {
      {"layers beat text", {item(plain, "x"), item(layers, "[1]")}, false, Kind::layers},
      {"layers that are no JSON give way", {item(layers, "[1"), item(plain, "x")}, false, Kind::text},
      {"SVG text", {item(plain, svg), item(sketch, "{}")}, false, Kind::svg},
      {"other XML is text", {item(plain, "<a/>")}, false, Kind::text},
      {"sketch before a file", {item(sketch, "{}"), item(file, uriOf(picture)), item(plain, "x")}, false, Kind::sketch},
      {"sketch ignored: the file", {item(sketch, "{}"), item(file, uriOf(picture)), item(plain, "x")}, true, Kind::file},
      {"unreadable file ends it", {item(file, uriOf(folder / "gone.png")), {PasteboardType::png, png(2, 2)}}, false,
       Kind::nothing},
      {"a file that is no image ends it", {item(file, uriOf(text)), item(plain, "x")}, false, Kind::nothing},
      {"no file URI gives way", {item(file, "https://example.com/a.png\r\n"), item(plain, "x")}, false, Kind::text},
      {"PNG before TIFF", {{PasteboardType::tiff, ImageEncoding::tiff(*Bitmap::make(5, 5))}, {PasteboardType::png, png(2, 2)}},
       false, Kind::image},
      {"a file whose header promises too many pixels ends it", {item(file, uriOf(bomb)), item(plain, "x")}, false,
       Kind::nothing},
      {"TIFF data that promises too many pixels ends it",
       {{PasteboardType::tiff, testenv::jpegHeader(65000, 65000)}, item(plain, "x")}, false, Kind::nothing},
      {"text with its HTML", {item(plain, "hi"), item(html, "<b>hi</b>")}, false, Kind::text},
      {"HTML alone is nothing", {item(html, "<b>hi</b>")}, false, Kind::nothing},
      {"empty", {}, false, Kind::nothing},
  };
  for (const auto& c : cases) {
    offer(c.items);
    auto found = LayerPaste::probe(Pasteboard::general(), c.ignoreSketch);
    EXPECT_EQ(int(found.kind), int(c.kind)) << c.what;
  }

  offer({item(file, uriOf(drawing))});
  auto found = LayerPaste::probe(Pasteboard::general(), false);
  EXPECT_TRUE(found.isSVG);
  EXPECT_EQ(found.filename, "Drawing");
  offer({{PasteboardType::tiff, ImageEncoding::tiff(*Bitmap::make(5, 4))}});
  found = LayerPaste::probe(Pasteboard::general(), false);
  ASSERT_EQ(int(found.kind), int(Kind::image));
  EXPECT_TRUE(found.convertToPNG) << "stored as PNG once decoded";
  offer({item(plain, "hi"), item(html, "<b>hi</b>")});
  found = LayerPaste::probe(Pasteboard::general(), false);
  EXPECT_EQ(found.plain, "hi");
  EXPECT_EQ(found.html, "<b>hi</b>");
}

TEST(LayerPaste, FileNamesAndSeparatorsFollowTheirRules) {
  EXPECT_EQ(LayerPaste::firstFile("# comment\r\nfile:///tmp/a%20b.png\r\nfile:///tmp/c.png\r\n"),
            std::filesystem::path("/tmp/a b.png"));
  EXPECT_EQ(LayerPaste::firstFile("http://x/y.png"), std::nullopt);
  EXPECT_EQ(LayerPaste::firstFile(""), std::nullopt);
  EXPECT_EQ(LayerPaste::escapeLineSeparators("a\u2028b\u2029c\u2028"), "a\\u2028b\\u2029c\\u2028");
}

TEST(LayerPaste, ThePageGetsExactlyOneAnswerOfTheRightForm) {
  Harness h;
  h.document->storesImages = true;
  h.request("DocumentPaste", R"({"nopoint": 1})");
  offer({item(PasteboardType::ostrelLayers, R"([{"id": "a"}])"), item(PasteboardType::string, "x")});
  h.request("DocumentPaste", R"({"point": null})");
  offer({item(PasteboardType::string, "plain"), item(PasteboardType::html, "<i>plain</i>")});
  h.request("DocumentPaste", R"({"point": 1})");
  offer({});
  h.request("DocumentPaste", R"({"point": 1})");
  offer({{PasteboardType::png, png(7, 6)}});
  h.request("DocumentPaste", R"({"point": {"x": 3}})");
  ASSERT_TRUE(RunLoop::runUntil([&] { return h.events.size() >= 6; }, 60));
  ASSERT_EQ(h.events.size(), 6u);
  EXPECT_EQ(h.events[0].arguments, nlohmann::json::array());
  EXPECT_EQ(h.events[1].arguments, nlohmann::json::parse(R"([[{"id": "a"}], null, null])"));
  EXPECT_EQ(h.document->calls, std::vector<std::string>{"pasteImages"});
  EXPECT_EQ(h.events[2].arguments, nlohmann::json::parse(R"([null, "plain", "<i>plain</i>"])"));
  EXPECT_EQ(h.events[3].arguments, nlohmann::json::parse("[null, null, null]"));
  // A native insertion: the empty answer, then the image's event once the picture is decoded.
  EXPECT_EQ(h.events[4].name, "DocumentPaste");
  EXPECT_EQ(h.events[4].arguments, nlohmann::json::array());
  EXPECT_EQ(h.events[5].name, "DocumentInsertImage");
  EXPECT_EQ(h.events[5].arguments[2]["pixelWidth"], 7);
  EXPECT_EQ(h.events[5].arguments[3], nlohmann::json::parse(R"({"x": 3})"));
}

TEST(LayerPaste, SketchLayersArriveEscapedWithTheirStoredBitmaps) {
  Harness h;
  h.document->storesImages = true;
  std::string image = crypto::base64Encode(png(4, 3));
  std::string payload = R"({"version": "1", "layers": [{"_class": "bitmap", "do_objectID": "b", "frame": {"_class": "rect",
      "x": 0, "y": 0, "width": 4, "height": 3, "constrainProportions": false}, "image": {"_class": "MSJSONOriginalDataReference", "_ref": "images/one",
      "data": {"_data": ")" + image + R"("}}}], "metadata": {}, "name": "line)" "\u2028" R"(break"})";
  offer({item(PasteboardType::sketchPasteboard, payload)});
  h.request("DocumentPaste", R"({"point": 0})");
  offer({item(PasteboardType::sketchPasteboard, "{broken")});
  h.request("DocumentPaste", R"({"point": 0})");
  ASSERT_TRUE(RunLoop::runUntil([&] { return h.events.size() >= 2; }, 60));
  ASSERT_EQ(h.events.size(), 2u);
  auto& first = h.events[0].arguments;
  ASSERT_EQ(first.size(), 5u);
  EXPECT_NE(first[3].get<std::string>().find("line\\u2028break"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(first[4].get<std::string>()),
            nlohmann::json::parse(R"({"images/one": {"filename": "image-1", "pixelWidth": 4, "pixelHeight": 3}})"));
  EXPECT_EQ(h.events[1].arguments[4], "{}");
}

TEST(LayerPaste, APasteStoresABoundedNumberOfBitmapsAndNoHostileOne) {
  Harness h;
  h.document->storesImages = true;
  LogCapture log;
  auto bitmapLayer = [](int i, const Data& bytes) {
    return R"({"_class": "bitmap", "do_objectID": "b)" + std::to_string(i) +
           R"(", "frame": {"_class": "rect", "x": 0, "y": 0, "width": 1, "height": 1, "constrainProportions": false},
      "image": {"_class": "MSJSONOriginalDataReference", "_ref": "images/)" + std::to_string(i) +
           R"(", "data": {"_data": ")" + crypto::base64Encode(bytes) + R"("}}})";
  };
  std::string layers;
  const int count = int(OstrelIPCProcessor::maximumPastedBitmaps) + 44;
  for (int i = 0; i < count; ++i) layers += (i ? "," : "") + bitmapLayer(i, i == 0 ? testenv::pngHeader(60000, 60000) : png(1, 1));
  offer({item(PasteboardType::sketchPasteboard, R"({"version": "1", "layers": [)" + layers + R"(], "metadata": {}})")});
  h.request("DocumentPaste", R"({"point": 0})");
  ASSERT_TRUE(RunLoop::runUntil([&] { return !h.events.empty(); }, 60));
  auto stored = nlohmann::json::parse(h.events[0].arguments[4].get<std::string>());
  EXPECT_EQ(stored.size(), OstrelIPCProcessor::maximumPastedBitmaps - 1) << "the bomb is left out";
  EXPECT_FALSE(stored.contains("images/0"));
  EXPECT_EQ(h.document->storedImages.size(), OstrelIPCProcessor::maximumPastedBitmaps - 1);

  // A JPEG that promises 65000 × 65000 pixels, offered as TIFF, is not decoded.
  h.events.clear();
  offer({{PasteboardType::tiff, testenv::jpegHeader(65000, 65000)}});
  h.request("DocumentPaste", R"({"point": 0})");
  ASSERT_EQ(h.events.size(), 1u);
  EXPECT_EQ(h.events[0].arguments, nlohmann::json::parse("[null, null, null]"));
}

TEST(LayerPaste, APictureOfferedAsTIFFIsJudgedByWhatItsDecoderReads) {
  Harness h;
  h.document->storesImages = true;
  LogCapture log;
  // Headers that a reader taking the wrong frame or the wrong size entry would pass as 100 × 100.
  // A JPEG of 200 scans, each of which a progressive decoder draws in full.
  for (const Data& liar : {testenv::jpegLiar(30000, 30000, 100, 100), testenv::tiffPicture(15000, 15000, std::pair{100u, 100u}),
                           testenv::jpegProgressive(8192, 8192, 194)}) {
    h.events.clear();
    offer({{PasteboardType::tiff, liar}});
    h.request("DocumentPaste", R"({"point": 0})");
    ASSERT_EQ(h.events.size(), 1u);
    EXPECT_EQ(h.events[0].arguments, nlohmann::json::parse("[null, null, null]"));
  }
  // A PNG that passes its header but does not decode is not stored.
  h.events.clear();
  offer({{PasteboardType::png, testenv::pngHeader(30, 20)}});
  h.request("DocumentPaste", R"({"point": 0})");
  ASSERT_TRUE(RunLoop::runUntil([&] { return !log.lines.empty(); }, 60));
  EXPECT_NE(log.lines[0].find("does not decode"), std::string::npos) << log.lines[0];
  EXPECT_TRUE(h.document->storedImages.empty());
}

TEST(LayerPaste, APastedPNGIsStoredWithoutItsTextAndNotWhenCut) {
  Harness h;
  h.document->storesImages = true;
  LogCapture log;
  Data whole = png(2000, 2000), plain = png(30, 20);
  offer({{PasteboardType::png, Data(whole.begin(), whole.begin() + std::ptrdiff_t(whole.size() / 2))}});
  h.request("DocumentPaste", R"({"point": 0})");
  ASSERT_TRUE(RunLoop::runUntil([&] { return !log.lines.empty(); }, 60));
  EXPECT_NE(log.lines[0].find("cut short"), std::string::npos) << log.lines[0];
  EXPECT_TRUE(h.document->storedImages.empty());
  for (const char* type : {"zTXt", "iTXt"}) {
    h.document->storedImages.clear();
    offer({{PasteboardType::png, testenv::withTextChunks(plain, type, 200, 7900000)}});
    h.request("DocumentPaste", R"({"point": 0})");
    ASSERT_TRUE(RunLoop::runUntil([&] { return !h.document->storedImages.empty(); }, 60)) << type;
    EXPECT_EQ(h.document->storedImages[0], plain) << type;
  }
  // Offered as TIFF, it is decoded without its text and stored as its picture.
  h.document->storedImages.clear();
  offer({{PasteboardType::tiff, testenv::withTextChunks(plain, "zTXt", 200, 7900000)}});
  h.request("DocumentPaste", R"({"point": 0})");
  ASSERT_TRUE(RunLoop::runUntil([&] { return !h.document->storedImages.empty(); }, 60));
  auto stored = ImageEncoding::decode(h.document->storedImages[0]);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->width, 30);
}

// Only a paste of the other tool's layers is a usage event, told after the page has its answer,
// with nothing as its data; a broken payload still counts.
TEST(LayerPaste, APasteOfTheOtherToolsLayersIsTracked) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, Data>> offered;
    const char* request;
    bool tracked;
  } cases[] = {
      {"sketch layers", {item(PasteboardType::sketchPasteboard, R"({"layers": []})")}, R"({"point": 0})", true},
      {"a broken payload", {item(PasteboardType::sketchPasteboard, "{broken")}, R"({"point": 0})", true},
      {"sketch ignored", {item(PasteboardType::sketchPasteboard, "{}"), item(PasteboardType::string, "x")},
       R"({"point": 0, "ignoreSketchData": true})", false},
      {"own layers", {item(PasteboardType::ostrelLayers, "[]"), item(PasteboardType::sketchPasteboard, "{}")},
       R"({"point": 0})", false},
      {"plain text", {item(PasteboardType::string, "x")}, R"({"point": 0})", false},
      {"no point", {item(PasteboardType::sketchPasteboard, "{}")}, R"({"nopoint": 0})", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    std::vector<std::string> tracked;
    h.processor.track = [&](const std::string& event, const std::map<std::string, std::string>& data) {
      EXPECT_EQ(h.events.size(), 1u) << "after the answer";
      EXPECT_TRUE(data.empty());
      tracked.push_back(event);
    };
    offer(c.offered);
    h.request("DocumentPaste", c.request);
    // A paste of the other tool's layers is answered once its pictures are decoded.
    ASSERT_TRUE(RunLoop::runUntil([&] { return !h.events.empty(); }, 30));
    EXPECT_EQ(h.events.size(), 1u);
    EXPECT_EQ(tracked, c.tracked ? std::vector<std::string>{"paste_from_sketch"} : std::vector<std::string>{});
  }
}

TEST(LayerCopy, CopiesLayersAndImagesOnlyWhenTheRequestIsWhole) {
  Harness h;
  offer({item(PasteboardType::string, "before")});
  h.request("DocumentCopy", R"({"layers": "[1]"})");
  h.request("DocumentCopy", R"({"layers": "[1]", "images": [1]})");
  h.request("DocumentCopy", R"({"layers": 1, "images": []})");
  EXPECT_EQ(Pasteboard::general().types(), std::vector<std::string>{PasteboardType::string});
  EXPECT_TRUE(h.document->calls.empty());
  auto before = Pasteboard::general().changeCount();
  h.request("DocumentCopy", R"({"layers": "[{\"id\": 1}]", "images": ["a.png"], "export": {"html": "<p>", "width": 1.5}})");
  EXPECT_EQ(Pasteboard::general().types(), std::vector<std::string>{"com.korvel.ostrel.layers"});
  EXPECT_EQ(Pasteboard::general().stringForType("com.korvel.ostrel.layers"), "[{\"id\": 1}]");
  EXPECT_EQ(h.document->calls, std::vector<std::string>{"copyImages"});
  EXPECT_GT(Pasteboard::general().changeCount(), before);
  h.request("DocumentCopyImagesToPasteboard", R"(["a", 2])");
  h.request("DocumentCopyImagesToPasteboard", R"(["a"])");
  EXPECT_EQ(h.document->calls, (std::vector<std::string>{"copyImages", "copyImages"}));
  EXPECT_TRUE(h.events.empty());
}
