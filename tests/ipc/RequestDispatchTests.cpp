// Requests found by name in table order, answered in the dispatcher, passed on to the document,
// or logged as they came.

#include <gtest/gtest.h>

#include "IPCTestSupport.h"
#include "platform/RunLoop.h"
#include "canvas/WebViewExtras.h"

using namespace ipctest;

TEST(RequestDispatch, TheTableHoldsTheFortyRequestsInTheirOrder) {
  std::vector<std::string_view> expected{
      "Beep", "DOMContentLoaded", "DocumentSaveDialogStart", "DocumentReceivedImage", "DocumentDropIcon",
      "GetColorSample", "ChooseImageDialog", "ChooseFileDialog", "ChooseMetadataImageDialog",
      "ChooseImageDialogDrop", "ShowSaveDialog", "ShowPathInFileViewer", "DocumentKeepMouseCursorVisible",
      "DocumentCopyImagesToPasteboard", "DocumentCopyStyleToPasteboard", "DocumentPasteStyleFromPasteboard",
      "DocumentCopyCSSToPasteboard", "DocumentCopySVGToPasteboard", "ColorPresetsChange",
      "DismissedPropertyPanelHintsChange", "DocumentDirty", "DocumentCopy", "DocumentPaste", "DocumentLoaded",
      "ExportHTML", "ExportToPasteboard", "ExportGeneratePreview", "ExportDragPreviewStart", "OpenPreviewInspector",
      "OpenPreview", "OpenRelativePathExternally", "CopyFileContentsAtRelativePath", "CreateFileAtRelativePath",
      "PackageAdd", "PackageUpdateKorvelLibrary", "PackageUpdateInfo", "DocumentReady", "DOMContentLoadedCallback",
      "ServerStoreData", "TabContentWidthChanged"};
  EXPECT_EQ(OstrelIPCProcessor::requestNames(), expected);
}

TEST(RequestDispatch, UnknownNamesAreLoggedVerbatimOnceAndNothingIsSent) {
  Harness h;
  LogCapture log;
  h.request("%s%n%x", R"({"a": "100%d", "b": [1, null]})");
  h.request("beep");
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0], R"(Bridge called %s%n%x, {"a":"100%d","b":[1,null]})");
  EXPECT_EQ(log.lines[1], "Bridge called beep, null");
  EXPECT_EQ(h.desktop.beeps, 0);
  EXPECT_TRUE(h.events.empty());
  EXPECT_TRUE(h.scripts.empty());
}

TEST(RequestDispatch, AHugeUnknownArgumentIsShortenedInTheLog) {
  Harness h;
  LogCapture log;
  h.request("Unknown", nlohmann::json(std::string(100000, 'x')));
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_LT(log.lines[0].size(), 4096u);
}

TEST(RequestDispatch, RequestsOfTheHostAndLoadedDoNothingAndLogNothing) {
  Harness h;
  LogCapture log;
  for (const char* name : {"DocumentReady", "DOMContentLoadedCallback", "DocumentLoaded"}) h.request(name);
  EXPECT_TRUE(log.lines.empty());
  EXPECT_TRUE(h.events.empty());
  EXPECT_TRUE(h.document->calls.empty());
}

TEST(RequestDispatch, BeepSoundsAndTheCursorFlagTakesOnlyATrueBoolean) {
  Harness h;
  h.request("Beep", "[1]");
  EXPECT_EQ(h.desktop.beeps, 1);
  h.request("DocumentKeepMouseCursorVisible", "true");
  EXPECT_TRUE(CursorVisibility::keepVisible());
  for (const char* body : {"false", R"("true")", "1", "null"}) {
    h.request("DocumentKeepMouseCursorVisible", "true");
    h.request("DocumentKeepMouseCursorVisible", body);
    EXPECT_FALSE(CursorVisibility::keepVisible()) << body;
  }
}

TEST(RequestDispatch, ACanonicallyEquivalentNameFindsItsRequest) {
  Harness h;
  LogCapture log;
  h.request("PackageUpdate\u212Aorvel" "Library");  // KELVIN SIGN, canonically a K
  EXPECT_EQ(h.document->calls, std::vector<std::string>{"updateLibrary"});
  EXPECT_TRUE(log.lines.empty());
}

TEST(RequestDispatch, DocumentRequestsReachTheDocumentWhileItLives) {
  Harness h;
  h.request("DocumentDirty");
  h.request("OpenPreviewInspector");
  h.request("PackageUpdateKorvelLibrary");
  h.request("PackageUpdateInfo");
  h.request("PackageAdd", R"("left-pad")");
  h.request("PackageAdd", "42");
  // Names that read as options of the package manager go nowhere.
  for (const char* name : {R"("-g")", R"("--ignore-scripts")", R"("@scope/--force")", R"("Not A Name")"})
    h.request("PackageAdd", name);
  h.request("ServerStoreData", R"({"k": [1, null, "v"]})");
  h.request("OpenPreview", R"("behind")");
  h.request("OpenPreview", R"("Behind")");
  h.request("OpenPreview");
  EXPECT_EQ(h.document->calls,
            (std::vector<std::string>{"dirty", "inspector", "updateLibrary", "updateInfo", "packageAdd left-pad",
                                      R"(serverStoreData {"k":[1,null,"v"]})", "preview behind", "preview front",
                                      "preview front"}));

  // Once the document is gone the same requests end without effect.
  h.document.reset();
  for (const char* name : {"DocumentDirty", "OpenPreviewInspector", "PackageUpdateKorvelLibrary", "PackageUpdateInfo",
                           "OpenPreview", "ServerStoreData", "DOMContentLoaded"})
    h.request(name);
  h.request("PackageAdd", R"("left-pad")");
  h.request("CreateFileAtRelativePath", R"(["a.txt", "x"])");
}

TEST(RequestDispatch, ImageLayerAndPanelRequestsAreHandledNotLogged) {
  Harness h;
  LogCapture log;
  h.request("DocumentCopy", R"({"outputs": []})");
  h.request("DocumentPaste", R"({"outputs": []})");
  h.request("ShowPathInFileViewer", R"("relative/path")");
  h.request("ChooseImageDialogDrop", R"("not a list")");
  ASSERT_TRUE(RunLoop::runUntil([&] { return h.events.size() >= 2; }, 30));
  EXPECT_TRUE(log.lines.empty());
  ASSERT_EQ(h.events.size(), 2u);
  EXPECT_EQ(h.events[0].name, "DocumentPaste");
  EXPECT_EQ(h.events[0].arguments, nlohmann::json::array());
  EXPECT_EQ(h.events[1].name, "ChooseImageDialogDrop");
  EXPECT_EQ(h.events[1].arguments, nlohmann::json::parse("[[]]"));
}
