// The stand-in editor page in a real web view: loading, start-up globals, events both ways,
// saves, the web process ending, context menus and the project's built script.

#include <gtest/gtest.h>

#include <fstream>

#include "CanvasTestSupport.h"
#include "canvas/OstrelError.h"
#include "canvas/OstrelView.h"
#include "foundation/AppInfo.h"
#include "platform/Defaults.h"
#include "platform/RunLoop.h"
#include "platform/UrlOpener.h"
#include "support/TestEnvironment.h"

using namespace canvastest;

namespace {

const std::string tricky = "quote \" apostrophe ' backslash \\ newline \n tab \t sep \u2028 \u2029 </script><b>";

nlohmann::json sampleDocument() {
  return nlohmann::json::parse(R"({"pages": [{"id": "p", "name": "Page", "layers": [
    {"id": "a", "text": "First", "x": 10, "y": 10, "width": 100, "height": 30},
    {"id": "b", "text": "Second", "x": 10, "y": 60, "width": 100, "height": 30}]}]})");
}

TEST(EditorPage, LoadsWithItsGlobalsAndAddressesThenReportsInOrder) {
  Defaults::standard().setDouble("TabContentWidth", 250);
  Editor editor(true);
  ASSERT_TRUE(editor.load(Url::parse("http://127.0.0.1:3000/")));
  auto methods = editor.processor->methods();
  ASSERT_GE(methods.size(), 3u);
  EXPECT_EQ(methods[0], "DOMContentLoaded");
  EXPECT_EQ(methods[1], "DOMContentLoadedCallback");
  EXPECT_EQ(methods[2], "DocumentReady");
  EXPECT_EQ(editor.page("window.isTutorial"), nlohmann::json(true));
  EXPECT_EQ(editor.page("window.UserDefaultsTabContentWidth"), nlohmann::json(250.0));
  EXPECT_EQ(editor.page("Array.isArray(window.SystemTypefaceDescriptors) && "
                        "window.SystemTypefaceDescriptors.some(f => f[0] === 'SF Pro Text')"),
            nlohmann::json(true));
  EXPECT_EQ(editor.page("OstrelStandIn.addresses"),
            (nlohmann::json{{"url", "http://127.0.0.1:3000/"}, {"imageBaseURL", ""}, {"projectURL", ""}}));
  EXPECT_EQ(editor.page("typeof window.AppServicesConfig.store"), nlohmann::json("string"));
  // "MetricsContext" with nobody signed in carries null; no organisation is sent.
  EXPECT_EQ(editor.page("OstrelStandIn.received.filter(e => e.event === 'MetricsContext').map(e => e.args)"),
            nlohmann::json::parse("[[null]]"));
  EXPECT_EQ(editor.page("OstrelStandIn.received.some(e => e.event === 'OrganizationInfo')"), nlohmann::json(false));
  EXPECT_TRUE(waitFor([&] { return editor.controller->ostrelView()->webViewOpacity() >= 1.0; }));
  Defaults::standard().remove("TabContentWidth");
}

TEST(EditorPage, EventsAndRequestsKeepTheirTextIntact) {
  Editor editor;
  ASSERT_TRUE(editor.load());
  editor.processor->call("Echo", {IPCValue::string(tricky), std::nullopt, IPCValue(nlohmann::json{{"k", tricky}})});
  ASSERT_TRUE(waitFor([&] {
    return editor.page("OstrelStandIn.received.some(e => e.event === 'Echo')") == nlohmann::json(true);
  }));
  editor.page("var e = OstrelStandIn.received.find(e => e.event === 'Echo'); window._ipc.send('EchoBack', e.args)");
  ASSERT_TRUE(waitFor([&] { return editor.processor->count("EchoBack") == 1; }));
  EXPECT_EQ(editor.processor->last("EchoBack"), (nlohmann::json{tricky, nullptr, {{"k", tricky}}}));
}

TEST(EditorPage, ShowsTheDocumentAndSavesItForEveryWaitingRequest) {
  Editor editor;
  ASSERT_TRUE(editor.load());
  editor.controller->loadDocument(sampleDocument());
  ASSERT_TRUE(waitFor([&] { return editor.page("document.querySelectorAll('.layer').length") == nlohmann::json(2); }));

  std::vector<std::optional<Data>> answers;
  for (int i = 0; i < 2; ++i)
    editor.controller->exportOstrelDocumentData(
        [&](std::optional<Data> data, std::optional<Error> error) { answers.push_back(error ? std::nullopt : data); });
  ASSERT_TRUE(waitFor([&] { return answers.size() == 2; }));
  ASSERT_TRUE(answers[0] && answers[1]);
  EXPECT_EQ(*answers[0], *answers[1]);
  EXPECT_EQ(nlohmann::json::parse(stringFromData(*answers[0])), sampleDocument());
  EXPECT_EQ(editor.controller->pendingExportCount(), 0u);
}

TEST(EditorPage, SavingBeforeReadyFailsAtOnce) {
  Editor editor;
  std::optional<Error> failure;
  editor.controller->exportOstrelDocumentData([&](std::optional<Data>, std::optional<Error> e) { failure = e; });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->domain, OstrelError::domain);
  EXPECT_EQ(failure->code, OstrelError::ostrelNotReadyCode);
}

TEST(EditorPage, AnEndedWebProcessFailsWaitingSavesAndReloads) {
  Editor editor;
  ASSERT_TRUE(editor.load());
  editor.controller->loadDocument(sampleDocument());
  ASSERT_TRUE(waitFor([&] { return editor.controller->holdsDocumentDesign(); }));
  // The page never answers this save: its save listener is gone.
  editor.page("window._ipc.emit = function () {}; true");
  std::vector<std::optional<Error>> failures;
  for (int i = 0; i < 2; ++i)
    editor.controller->exportOstrelDocumentData(
        [&](std::optional<Data>, std::optional<Error> e) { failures.push_back(e); });
  EXPECT_TRUE(failures.empty());
  auto readyBefore = editor.processor->count("DocumentReady");
  editor.controller->webViewController().webView().terminateWebProcess();
  ASSERT_TRUE(waitFor([&] { return failures.size() == 2; }));
  EXPECT_EQ(failures[0]->code, OstrelError::ostrelNotReadyCode);
  EXPECT_EQ(failures[1]->code, OstrelError::ostrelNotReadyCode);
  EXPECT_FALSE(editor.controller->isDocumentReady());
  ASSERT_TRUE(waitFor([&] { return editor.processor->count("DocumentReady") > readyBefore; }));
  EXPECT_TRUE(editor.controller->isDocumentReady());
}

TEST(EditorPage, ContextMenuChoiceIsAnsweredOnce) {
  Editor editor;
  ASSERT_TRUE(editor.load());
  std::shared_ptr<Menu> shown;
  double shownX = -1, shownY = -1;
  MenuItem* choose = nullptr;
  bool dismiss = false;
  editor.controller->contextMenuPresenter = [&](std::shared_ptr<Menu> menu, double x, double y,
                                                std::function<void(MenuItem*)> done) {
    shown = menu;
    shownX = x;
    shownY = y;
    choose = dismiss ? nullptr : menu->itemAt(4)->submenu->itemAt(1).get();
    done(choose);
  };
  std::string open = "document.getElementById('canvas').dispatchEvent(new MouseEvent('contextmenu', "
                     "{clientX: 10, clientY: 20, bubbles: true, cancelable: true})); true";
  editor.page(open);
  ASSERT_TRUE(waitFor([&] { return editor.page("OstrelStandIn.lastMenuChoice !== undefined") == nlohmann::json(true); }));
  EXPECT_EQ(shownX, 10);
  EXPECT_EQ(shownY, 20);
  EXPECT_EQ(editor.page("OstrelStandIn.lastMenuChoice"), nlohmann::json::parse("[4, 1]"));

  dismiss = true;
  editor.page("OstrelStandIn.lastMenuChoice = undefined; " + open);
  ASSERT_TRUE(waitFor([&] { return editor.page("OstrelStandIn.lastMenuChoice !== undefined") == nlohmann::json(true); }));
  EXPECT_EQ(editor.page("OstrelStandIn.lastMenuChoice"), nlohmann::json(nullptr));
  RunLoop::runUntil([] { return false; }, 0.2);
  EXPECT_EQ(editor.page("OstrelStandIn.received.filter(e => e.event === 'DocumentContextMenuResponse').length"),
            nlohmann::json(2));
  // Malformed requests show nothing.
  shown.reset();
  editor.controller->bridgeHandler("DocumentContextMenu", nlohmann::json::parse(R"({"menu": []})"));
  editor.controller->bridgeHandler("DocumentContextMenu", nlohmann::json::parse(R"({"menu": [1], "location": {"x": 1, "y": 2}})"));
  // Places no window holds, however the page writes them.
  for (const char* location : {R"({"x": 1e300, "y": 2})", R"({"x": 1, "y": -1e300})", R"({"x": 1e7, "y": 2})"})
    editor.controller->bridgeHandler("DocumentContextMenu", nlohmann::json::parse(
                                                                std::string(R"({"menu": [{"label": "A"}], "location": )") +
                                                                location + "}"));
  EXPECT_FALSE(shown);
  editor.controller->bridgeHandler("DocumentContextMenu",
                                   nlohmann::json::parse(R"({"menu": [{"label": "A"}], "location": {"x": -5, "y": 9.5}})"));
  ASSERT_TRUE(shown);
  EXPECT_EQ(shownX, -5);
  EXPECT_EQ(shownY, 9.5);
}

// What the context menu offers for a layer, it does: Bring Forward restacks it, Delete removes it.
TEST(EditorPage, TheContextMenusChoicesActOnTheLayerUnderThePointer) {
  Editor editor;
  ASSERT_TRUE(editor.load());
  editor.controller->loadDocument(sampleDocument());
  ASSERT_TRUE(waitFor([&] { return editor.page("document.querySelectorAll('.layer').length") == nlohmann::json(2); }));
  int choice = 0;
  std::vector<bool> enabled;
  editor.controller->contextMenuPresenter = [&](std::shared_ptr<Menu> menu, double, double,
                                                std::function<void(MenuItem*)> done) {
    enabled = {menu->itemAt(0)->enabled, menu->itemAt(1)->enabled};
    done(menu->itemAt(choice).get());
  };
  auto openOn = [&](const std::string& id) {
    editor.page("OstrelStandIn.lastMenuChoice = undefined; document.querySelector('.layer[data-id=\"" + id +
                "\"]').dispatchEvent(new MouseEvent('contextmenu', {clientX: 5, clientY: 5, bubbles: true, "
                "cancelable: true})); true");
    return waitFor([&] { return editor.page("OstrelStandIn.lastMenuChoice !== undefined") == nlohmann::json(true); });
  };
  auto order = [&] { return editor.page("OstrelStandIn.documentJSON.pages[0].layers.map(function (l) { return l.id; })"); };
  ASSERT_TRUE(openOn("a"));
  EXPECT_EQ(enabled, (std::vector<bool>{true, false}));  // at the bottom: only forward
  EXPECT_TRUE(waitFor([&] { return order() == nlohmann::json::parse(R"(["b", "a"])"); }));
  choice = 3;  // Delete
  ASSERT_TRUE(openOn("b"));
  EXPECT_TRUE(waitFor([&] { return order() == nlohmann::json::parse(R"(["a"])"); }));
}

TEST(EditorPage, TheProjectsBuiltScriptRunsOnlyForItsProject) {
  auto project = testenv::freshFolder("project");
  std::filesystem::create_directories(project / "build");
  std::ofstream(project / "build" / "index.js") << "window.projectBuilt = 42;";
  auto plain = testenv::freshFolder("plain");
  Editor editor;
  ASSERT_TRUE(editor.load(std::nullopt, project.string()));
  ASSERT_TRUE(waitFor([&] { return editor.page("window.projectBuilt") == nlohmann::json(42); }));
  ASSERT_TRUE(editor.load(std::nullopt, plain.string()));
  RunLoop::runUntil([] { return false; }, 0.3);
  EXPECT_EQ(editor.page("typeof window.projectBuilt"), nlohmann::json("undefined"));
}

TEST(EditorPage, OpensOnlyWebAndMailAddressesForThePage) {
  Editor editor;
  ASSERT_TRUE(editor.load());
  std::vector<std::string> opened;
  UrlOpener::setHandler([&](const std::string& url) { opened.push_back(url); });
  for (const char* args : {R"("https://korvel.io/help")", R"("mailto:help@korvel.io")", R"("file:///etc/passwd")",
                           R"x("javascript:alert(1)")x", R"("")", R"(["https://korvel.io"])", "3"})
    editor.page(std::string("window._ipc.send('ApplicationOpenURL', ") + args + "); true");
  waitFor([&] { return editor.processor->count("ApplicationOpenURL") == 7; });
  UrlOpener::setHandler(nullptr);
  EXPECT_EQ(opened, (std::vector<std::string>{"https://korvel.io/help", "mailto:help@korvel.io"}));
}

TEST(EditorPage, DefaultsChangesReachThePageAsEvents) {
  Editor editor;
  ASSERT_TRUE(editor.load());
  Defaults::standard().set("RWColorPresets", nlohmann::json::array({"#fff"}));
  Defaults::standard().set("RWDismissedPropertyPanelHints", nlohmann::json::object());
  ASSERT_TRUE(waitFor([&] {
    return editor.page("OstrelStandIn.received.filter(e => e.event.endsWith('Change')).map(e => [e.event, e.args])") ==
           nlohmann::json::parse(R"([["ColorPresetsChange", [["#fff"]]], ["DismissedPropertyPanelHintsChange", [null]]])");
  }));
  Defaults::standard().remove("RWColorPresets");
  Defaults::standard().remove("RWDismissedPropertyPanelHints");
}

TEST(EditorPage, AMissingEditorIsReported) {
  Editor editor;
  AppInfo::setCurrent(std::make_shared<AppInfo>("Korvel", "Korvel", testenv::freshFolder("empty")));
  auto result = editor.controller->loadDocument(std::nullopt, std::nullopt, std::nullopt, std::nullopt);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, OstrelError::ostrelNotFoundCode);
}

}  // namespace

namespace {
nlohmann::json twoFrames() {
  return nlohmann::json::parse(R"({"pages": [
    {"id": "p", "name": "Home", "layers": [
      {"id": "a", "type": "text", "text": "First", "x": 10, "y": 10, "width": 100, "height": 30},
      {"id": "b", "type": "text", "text": "Second", "x": 10, "y": 60, "width": 100, "height": 30}]},
    {"id": "q", "name": "About", "layers": [
      {"id": "c", "type": "rect", "x": 0, "y": 0, "width": 300, "height": 200}]}]})");
}

// A person's click on a layer of the canvas: press, release and click events on the element.
std::string clickScript(const std::string& id, const std::string& then = "") {
  return "(function () { var e = document.querySelector('.layer[data-id=\"" + id + "\"]');"
         "window.__clicked = e; e.dispatchEvent(new MouseEvent('click', {bubbles: true, detail: 1}));" +
         then + " return true; })()";
}
}  // namespace

TEST(EditorPage, ADoubleClickOnATextLayerEditsItAndTheEditLands) {
  Editor editor;
  ASSERT_TRUE(editor.load());
  editor.controller->loadDocument(twoFrames());
  ASSERT_TRUE(waitFor([&] { return editor.page("document.querySelectorAll('.layer').length") == nlohmann::json(3); }));
  // The first click selects without drawing the canvas anew: the element is still the one clicked.
  editor.page(clickScript("a"));
  EXPECT_EQ(editor.page("document.querySelector('.layer[data-id=\"a\"]') === window.__clicked"), nlohmann::json(true));
  EXPECT_EQ(editor.page("window.__clicked.classList.contains('selected')"), nlohmann::json(true));
  EXPECT_EQ(editor.page("document.getElementById('selection').textContent"), nlohmann::json("a"));
  // In one turn of the page: on the shared display another test's window may take the keyboard
  // focus between two, and the layer then stops being edited, as when a person leaves the window.
  EXPECT_EQ(editor.page("(function () { var e = window.__clicked;"
                        " e.dispatchEvent(new MouseEvent('dblclick', {bubbles: true, detail: 2}));"
                        " var editable = e.isContentEditable; e.textContent = 'Edited'; e.blur(); return editable; })()"),
            nlohmann::json(true));
  EXPECT_EQ(editor.page("OstrelStandIn.documentJSON.pages[0].layers[0].text"), nlohmann::json("Edited"));
  EXPECT_EQ(editor.page("OstrelStandIn.posted.includes('DocumentDirty')"), nlohmann::json(true));
}

TEST(EditorPage, ThePreviewShowsTheFrameAndKeepsItsDevice) {
  Editor editor;
  ASSERT_TRUE(editor.load());
  editor.controller->loadDocument(twoFrames());
  ASSERT_TRUE(waitFor([&] { return editor.page("document.querySelectorAll('.layer').length") == nlohmann::json(3); }));
  auto last = [&] { return editor.page("OstrelStandIn.published[OstrelStandIn.published.length - 1]"); };
  editor.page(clickScript("b"));
  auto shown = last();
  ASSERT_TRUE(shown && shown->is_object());
  EXPECT_EQ((*shown)["metadata"]["id"], "p");
  EXPECT_EQ((*shown)["metadata"]["name"], "Home");
  EXPECT_EQ((*shown)["presentationNode"]["componentClass"], "Frame");

  // The person picks a phone for the frame; another layer of it, or another frame, keeps it.
  editor.page("window._ipc.emit('UpdatePreviewSettings', 'p', {deviceType: 'korvel-phone', skin: 'black', bezel: true});"
              " true");
  ASSERT_TRUE(waitFor([&] { return (*last())["metadata"]["settings"]["deviceType"] == "korvel-phone"; }));
  editor.page(clickScript("a"));
  EXPECT_EQ((*last())["metadata"]["id"], "p");
  EXPECT_EQ((*last())["metadata"]["settings"]["deviceType"], "korvel-phone");
  editor.page(clickScript("c"));
  EXPECT_EQ((*last())["metadata"]["id"], "q");
  EXPECT_EQ((*last())["metadata"]["settings"]["deviceType"], "korvel-phone");
  EXPECT_EQ((*last())["metadata"]["settings"]["skin"], "black");

  // A document without that frame (after a revert) takes it out of the preview.
  auto reverted = twoFrames();
  reverted["pages"].erase(1);
  editor.controller->loadDocument(reverted);
  ASSERT_TRUE(waitFor([&] { return (*last())["metadata"]["id"] == "p"; }));
  EXPECT_EQ(editor.page("OstrelStandIn.selected"), nlohmann::json(nullptr));
  EXPECT_EQ(editor.page("document.querySelectorAll('.layer').length"), nlohmann::json(2));
}

TEST(EditorPage, StartUpDataWaitsBehindACollapsedHeading) {
  Editor editor;
  ASSERT_TRUE(editor.load());
  EXPECT_EQ(editor.page("document.querySelector('#page-information > summary').textContent"),
            nlohmann::json("Page information"));
  EXPECT_EQ(editor.page("document.getElementById('page-information').open"), nlohmann::json(false));
  EXPECT_EQ(editor.page("document.getElementById('globals').closest('details').id"), nlohmann::json("page-information"));
}

TEST(EditorPage, TheExportStatusCountsFilesAndSaysWhyAnExportStopped) {
  Editor editor;
  ASSERT_TRUE(editor.load());
  auto status = [&](const std::string& events) {
    return editor.page(events + " document.getElementById('export-status').textContent");
  };
  const std::pair<std::string, std::string> cases[] = {
      {"window._ipc.emit('ExportProgress', 5, 5); window._ipc.emit('ExportFinished', "
       "{written: 4, total: 4, cancelled: false});",
       "Exported 4 files"},
      {"window._ipc.emit('ExportProgress', 2, 2); window._ipc.emit('ExportFinished', "
       "{written: 1, total: 1, cancelled: false});",
       "Exported 1 file"},
      {"window._ipc.emit('ExportProgress', 0, 0); window._ipc.emit('ExportFinished', "
       "{written: 0, total: 2, cancelled: true});",
       "Export cancelled"},
      {"window._ipc.emit('ExportProgress', 0, 0); window._ipc.emit('ExportFinished', {written: 0, total: 2, "
       "cancelled: false, reason: \"You don't have permission to save in \\u201cShared\\u201d.\"});",
       "Export did not complete: You don't have permission to save in \u201cShared\u201d."},
      {"window._ipc.emit('ExportProgress', 5, 5);", "Exporting\u2026 5 of 5"},
  };
  for (const auto& [events, shown] : cases) EXPECT_EQ(status(events), nlohmann::json(shown)) << events;
}
