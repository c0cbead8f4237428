// What a person types into a text layer of the editor is an edit as it comes: it reaches the
// working copy with the next write of changes, no save and no leaving the layer needed, so a
// crash while typing loses no more than any other edit.
#include <gtest/gtest.h>

#include "DocumentTestSupport.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "support/PrivateDesktop.h"
#include "support/TestEnvironment.h"

using namespace doctests;

namespace {

// Typing holds the keyboard focus: on the shared display of a parallel run another test's window
// takes it now and then, and the layer stops being typed in, as it does when a person goes to
// another window. The toolkit must start on the display of our own.
struct OwnDesktop : ::testing::Environment {
  void SetUp() override {
    testenv::PrivateDesktop::startOrTell();
  }
};
const auto* ownDesktop = ::testing::AddGlobalTestEnvironment(new OwnDesktop);

std::optional<nlohmann::json> layerInWorkingCopy(KXDocument& document, const std::string& id) {
  auto text = readFile(document.container()->projectDirectory() / "design" / "document.json");
  auto parsed = nlohmann::json::parse(text, nullptr, false);
  if (parsed.is_discarded()) return std::nullopt;
  for (const auto& page : parsed.value("pages", nlohmann::json::array()))
    for (const auto& layer : page.value("layers", nlohmann::json::array()))
      if (layer.value("id", "") == id) return layer;
  return std::nullopt;
}

class EditorTyping : public ControllerTest {};

}  // namespace

TEST_F(EditorTyping, TypedTextReachesTheWorkingCopyWithoutASave) {
  writeProject(dir / "source", "Home");
  makeZip(dir / "source", dir / "Sale.korvelx");
  auto document = openWith(*controller, dir / "Sale.korvelx");
  ASSERT_TRUE(document);
  ASSERT_TRUE(waitForEditor(*document));

  auto id = evaluate(*document, "OstrelStandIn.addLayer('text')");
  ASSERT_TRUE(id && id->is_string());
  const std::string layer = id->get<std::string>();
  ASSERT_TRUE(writeChangesAndWait(*document));
  ASSERT_EQ(layerInWorkingCopy(*document, layer).value_or(nlohmann::json())["text"], "Text");

  // A double click opens the layer for typing; the person types and stays in it.
  const std::string element = "document.querySelector('.layer[data-id=" + nlohmann::json(layer).dump() + "]')";
  ASSERT_EQ(evaluate(*document, "(function(){ var e = " + element +
                                    "; e.dispatchEvent(new MouseEvent('dblclick', {bubbles: true, detail: 2}));"
                                    " return e.isContentEditable; })()"),
            nlohmann::json(true));
  evaluate(*document, "document.execCommand('selectAll'); document.execCommand('insertText', false, 'Spring'); true");
  evaluate(*document, "document.execCommand('insertText', false, ' sale'); true");
  EXPECT_EQ(evaluate(*document, element + ".isContentEditable && document.activeElement === " + element),
            nlohmann::json(true))
      << "the layer is still being typed in";
  ASSERT_TRUE(waitFor([&] {
    auto state = pageState(*document);
    return state && state->dump().find("Spring sale") != std::string::npos;
  })) << "the page never took the typing as an edit";
  EXPECT_TRUE(waitFor([&] { return document->isDocumentEdited(); }));

  // The minute's write of changes (or any other) carries it into the working copy.
  ASSERT_TRUE(writeChangesAndWait(*document));
  EXPECT_EQ(layerInWorkingCopy(*document, layer).value_or(nlohmann::json())["text"], "Spring sale");

  // Typing is one step for undo: it takes back the whole text at once.
  evaluate(*document, element + ".blur(); true");
  EXPECT_EQ(evaluate(*document, "Ostrel.dispatchAction('undo')"), nlohmann::json(true));
  EXPECT_EQ(evaluate(*document, "OstrelStandIn.findLayer(" + nlohmann::json(layer).dump() + ").text"),
            nlohmann::json("Text"));
}
