// Editing actions validated and performed through the stand-in editor, with bounded waits.

#include <gtest/gtest.h>

#include "CanvasTestSupport.h"
#include "platform/RunLoop.h"

using namespace canvastest;

namespace {

std::shared_ptr<MenuItem> item(const std::string& action, std::optional<std::string> represented = std::nullopt) {
  auto i = MenuItem::make("item", action);
  i->representedObject = std::move(represented);
  return i;
}

struct ActionsEditor : Editor {
  ActionsEditor() {
    EXPECT_TRUE(load());
    controller->loadDocument(nlohmann::json::parse(
        R"({"pages": [{"id": "p", "layers": [{"id": "a", "text": "A"}, {"id": "b", "text": "B"}]}]})"));
    EXPECT_TRUE(waitFor([&] { return page("document.querySelectorAll('.layer').length") == nlohmann::json(2); }));
  }
  WebActions::WebView& view() { return controller->webViewController().webView(); }
};

TEST(WebActionsPage, ValidatesAndPerformsThroughThePage) {
  ActionsEditor editor;
  auto& view = editor.view();
  EXPECT_FALSE(view.validateUserInterfaceItem(*item("delete:")));  // nothing selected
  EXPECT_FALSE(view.validateUserInterfaceItem(*item("undo:")));
  EXPECT_TRUE(view.validateUserInterfaceItem(*item("selectAll:")));
  EXPECT_FALSE(view.validateUserInterfaceItem(*item("performWebAction:")));
  EXPECT_FALSE(view.validateUserInterfaceItem(*item("performWebAction:", "noSuchAction")));
  EXPECT_FALSE(view.validateUserInterfaceItem(*item("")));

  view.selectAll();
  EXPECT_TRUE(view.validateUserInterfaceItem(*item("delete:")));
  EXPECT_TRUE(view.validateUserInterfaceItem(*item("performWebAction:", "bringForward")));
  auto dirtyBefore = editor.processor->count("DocumentDirty");
  view.deleteAction();
  ASSERT_TRUE(waitFor([&] { return editor.page("document.querySelectorAll('.layer').length") == nlohmann::json(1); }));
  // The page tells of the edit in a message of its own, after it has drawn it.
  EXPECT_TRUE(waitFor([&] { return editor.processor->count("DocumentDirty") > dirtyBefore; }));
  EXPECT_EQ(editor.processor->count("DocumentDirty"), dirtyBefore + 1);
  EXPECT_TRUE(view.validateUserInterfaceItem(*item("undo:")));
  auto undo = item("undo:");
  EXPECT_TRUE(view.perform(*undo));
  ASSERT_TRUE(waitFor([&] { return editor.page("document.querySelectorAll('.layer').length") == nlohmann::json(2); }));
  // "native" leaves copy to the web view, which can always be asked to copy.
  EXPECT_TRUE(view.validateUserInterfaceItem(*item("copy:")));
}

TEST(WebActionsPage, AnOpenMenuAsksOnceAndForgetsWhenClosed) {
  ActionsEditor editor;
  auto& view = editor.view();
  auto& delegate = WebActionsMenuDelegate::shared();
  delegate.targetResolver = [&] { return &view; };
  editor.page("window.validations = 0; var v = Ostrel.validateAction;"
              "Ostrel.validateAction = function (n) { window.validations++; var a = v(n); if (n === '*') delete a.selectAll; return a; }; true");
  Menu menu, submenu;
  delegate.menuWillOpen(menu);
  delegate.menuWillOpen(submenu);
  EXPECT_EQ(view.menuCount(), 2);
  EXPECT_TRUE(view.isPreparingValidatedActionCache());
  EXPECT_FALSE(view.validateUserInterfaceItem(*item("delete:")));  // waits for the all-actions answer
  EXPECT_FALSE(view.isPreparingValidatedActionCache());
  EXPECT_EQ(editor.page("window.validations"), nlohmann::json(1));
  // The all-actions answer left selectAll out: one single query, then the cache answers.
  EXPECT_TRUE(view.validateUserInterfaceItem(*item("selectAll:")));
  EXPECT_TRUE(view.validateUserInterfaceItem(*item("selectAll:")));
  EXPECT_EQ(editor.page("window.validations"), nlohmann::json(2));
  EXPECT_EQ(view.validatedActionCache()->count("selectAll"), 1u);
  delegate.menuDidClose(submenu);
  EXPECT_TRUE(view.validatedActionCache());
  delegate.menuDidClose(menu);
  EXPECT_FALSE(view.validatedActionCache());
  EXPECT_EQ(view.menuCount(), 0);
  EXPECT_FALSE(delegate.isTracking(menu));
  delegate.targetResolver = nullptr;
}

TEST(WebActionsPage, ASlowPageCountsAsOffAndALateAnswerStillFillsTheCache) {
  ActionsEditor editor;
  auto& view = editor.view();
  editor.page("var v = Ostrel.validateAction; Ostrel.validateAction = function (n) {"
              "  var end = Date.now() + 1200; while (Date.now() < end) {} return v(n); }; true");
  Menu menu;
  WebActionsMenuDelegate::shared().targetResolver = [&] { return &view; };
  WebActionsMenuDelegate::shared().menuWillOpen(menu);
  // Neither the all-actions answer nor the single one arrives in time.
  EXPECT_FALSE(view.validateUserInterfaceItem(*item("selectAll:")));
  ASSERT_TRUE(waitFor([&] { return view.validatedActionCache() && view.validatedActionCache()->count("selectAll"); }));
  EXPECT_EQ(view.validatedActionCache()->at("selectAll"), WebActions::WebView::ActionState::on);
  WebActionsMenuDelegate::shared().menuDidClose(menu);
  WebActionsMenuDelegate::shared().targetResolver = nullptr;
}

TEST(WebActionsPage, AValidationInsideAnotherNestedWaitDoesNotWait) {
  ActionsEditor editor;
  auto& view = editor.view();
  std::optional<bool> inner;
  // Work the outer wait's loop dispatches: its own waits end at once.
  MainQueue::async([&] { inner = view.validateUserInterfaceItem(*item("selectAll:")); });
  RunLoop::waitUsingRecursiveRunloop([&] { return !inner.has_value(); }, 2.0, [] {});
  ASSERT_TRUE(inner);
  EXPECT_FALSE(*inner);  // no cache and no time to ask: off
}

TEST(WebActionsPage, APageWithoutTheApiDisablesAndBeepsInsteadOfActing) {
  ActionsEditor editor;
  auto& view = editor.view();
  editor.page("delete window.Ostrel; true");
  EXPECT_FALSE(view.validateUserInterfaceItem(*item("selectAll:")));
  auto generic = item("performWebAction:", "bringForward");
  view.performWebAction(generic.get());  // beeps; the page stays as it was
  EXPECT_EQ(editor.page("document.querySelectorAll('.layer').length"), nlohmann::json(2));
}

// Arrange's Bring Forward and Send Backward restack the selected layer, and a save keeps the order.
TEST(WebActionsPage, BringForwardAndSendBackwardRestackTheLayersAndTheSaveKeepsTheOrder) {
  ActionsEditor editor;
  auto& view = editor.view();
  auto order = [&] { return editor.page("OstrelStandIn.documentJSON.pages[0].layers.map(function (l) { return l.id; })"); };
  auto saved = [&] {
    std::optional<Data> answer;
    bool done = false;
    editor.controller->exportOstrelDocumentData([&](std::optional<Data> data, std::optional<Error>) {
      answer = data;
      done = true;
    });
    EXPECT_TRUE(waitFor([&] { return done; }));
    std::vector<std::string> ids;
    if (!answer) return ids;
    auto json = nlohmann::json::parse(stringFromData(*answer));
    for (const auto& l : json["pages"][0]["layers"]) ids.push_back(l["id"]);
    return ids;
  };
  struct Step {
    const char* action;
    std::vector<std::string> order;
    bool forward, backward;  // enabled afterwards
  };
  view.selectAll();  // the bottom layer, "a"
  EXPECT_TRUE(view.validateUserInterfaceItem(*item("performWebAction:", "bringForward")));
  EXPECT_FALSE(view.validateUserInterfaceItem(*item("performWebAction:", "sendBackward")));
  const Step steps[] = {{"bringForward", {"b", "a"}, false, true}, {"sendBackward", {"a", "b"}, true, false}};
  for (const auto& step : steps) {
    auto dirtyBefore = editor.processor->count("DocumentDirty");
    EXPECT_TRUE(view.perform(*item("performWebAction:", step.action))) << step.action;
    ASSERT_TRUE(waitFor([&] { return order() == nlohmann::json(step.order); })) << step.action;
    EXPECT_TRUE(waitFor([&] { return editor.processor->count("DocumentDirty") > dirtyBefore; })) << step.action;
    EXPECT_EQ(saved(), step.order) << step.action;
    // The canvas draws the later layer on top.
    EXPECT_EQ(editor.page("Array.prototype.map.call(document.querySelectorAll('.layer'), function (e) { return e.dataset.id; })"),
              nlohmann::json(step.order));
    EXPECT_EQ(view.validateUserInterfaceItem(*item("performWebAction:", "bringForward")), step.forward) << step.action;
    EXPECT_EQ(view.validateUserInterfaceItem(*item("performWebAction:", "sendBackward")), step.backward) << step.action;
  }
}

}  // namespace
