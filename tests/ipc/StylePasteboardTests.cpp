// Styles on the editor's private pasteboard, CSS and SVG on the general one.

#include <gtest/gtest.h>

#include "IPCTestSupport.h"
#include "ipc/PasteboardTypes.h"

using namespace ipctest;

namespace {
Pasteboard& stylePasteboard() { return *Pasteboard::withName(OstrelIPCProcessor::stylePasteboardName); }
}  // namespace

TEST(StylePasteboard, AStyleCopiedInOneWindowPastesInAnotherAsAnEqualObject) {
  Harness copier, paster;
  const char* style = R"({"fill": {"color": "#fff", "opacity": 0.5}, "borders": [], "name": "Ünïcode \"q\""})";
  copier.request("DocumentCopyStyleToPasteboard", style);
  EXPECT_EQ(stylePasteboard().types(), std::vector<std::string>{"com.korvel.ostrel.style"});
  paster.request("DocumentPasteStyleFromPasteboard");
  ASSERT_EQ(paster.events.size(), 1u);
  EXPECT_EQ(paster.events[0].name, "DocumentPasteStyleFromPasteboard");
  EXPECT_EQ(paster.events[0].arguments, nlohmann::json::array({nlohmann::json::parse(style)}));
}

TEST(StylePasteboard, PasteWithoutAStyleAnswersWithNoArguments) {
  Harness h;
  auto& pasteboard = stylePasteboard();
  pasteboard.declareTypes({"com.korvel.other"});
  h.request("DocumentPasteStyleFromPasteboard");
  pasteboard.declareTypes({PasteboardType::ostrelStyle});
  pasteboard.setString("{not json", PasteboardType::ostrelStyle);
  h.request("DocumentPasteStyleFromPasteboard");
  pasteboard.setString("\"a bare string\"", PasteboardType::ostrelStyle);
  h.request("DocumentPasteStyleFromPasteboard", "[1]");
  ASSERT_EQ(h.events.size(), 3u);
  for (auto& event : h.events) {
    EXPECT_EQ(event.name, "DocumentPasteStyleFromPasteboard");
    EXPECT_EQ(event.arguments, nlohmann::json::array());
  }
}

TEST(StylePasteboard, CSSAndSVGLeaveExactlyTextAndTheirTypeAndTheStyleAlone) {
  Harness h;
  h.request("DocumentCopyStyleToPasteboard", R"({"kept": true})");
  auto& general = Pasteboard::general();
  h.request("DocumentCopyCSSToPasteboard", R"(".a { color: red; }")");
  EXPECT_EQ(general.types(), (std::vector<std::string>{PasteboardType::string, "text/css"}));
  EXPECT_EQ(general.stringForType(PasteboardType::string), ".a { color: red; }");
  EXPECT_EQ(general.stringForType("text/css"), ".a { color: red; }");
  h.request("DocumentCopySVGToPasteboard", R"("<svg/>")");
  EXPECT_EQ(general.types(), (std::vector<std::string>{PasteboardType::string, "image/svg+xml"}));
  EXPECT_EQ(general.stringForType("image/svg+xml"), "<svg/>");
  EXPECT_FALSE(general.stringForType("text/css"));

  for (const char* body : {"12", R"({"css": "x"})", "null"}) {
    h.request("DocumentCopyCSSToPasteboard", body);
    h.request("DocumentCopySVGToPasteboard", body);
  }
  for (const char* body : {"12", R"(["a list"])", R"("text")", "null"}) h.request("DocumentCopyStyleToPasteboard", body);
  EXPECT_EQ(general.stringForType("image/svg+xml"), "<svg/>");
  EXPECT_EQ(stylePasteboard().stringForType(PasteboardType::ostrelStyle), R"({"kept":true})");
  EXPECT_TRUE(h.events.empty());
}

TEST(PasteboardTypes, OurTypesKeepTheirNames) {
  EXPECT_STREQ(PasteboardType::ostrelLayers, "com.korvel.ostrel.layers");
  EXPECT_STREQ(PasteboardType::ostrelStyle, "com.korvel.ostrel.style");
  EXPECT_STREQ(PasteboardType::sketchPasteboard, "com.korvel.sketch.pasteboard");
  EXPECT_STREQ(PasteboardType::fileURL, "text/uri-list");
}
