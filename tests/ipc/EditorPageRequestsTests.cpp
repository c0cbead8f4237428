// The processor behind the real stand-in editor page: the save road's page half, the start-up
// scripts in the page, and pasteboard requests sent through the bridge.

#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include "EditorPageTestSupport.h"
#include "account/LoginController.h"
#include "canvas/CanvasTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "platform/OffscreenWindow.h"
#include "platform/Pasteboard.h"
#include "platform/RunLoop.h"

using namespace ipctest;
using canvastest::waitFor;

namespace {

struct Page : EditorPage {
  bool pageReceived(const std::string& event) {
    return page("OstrelStandIn.received.some(e => e.event === '" + event + "')") == nlohmann::json(true);
  }
};

}  // namespace

TEST(EditorPageRequests, AnEditMarksTheDocumentAndTheSaveBringsThePagesJSONSorted) {
  Page p;
  ASSERT_TRUE(p.load());
  auto& source = p.controller->dataSourceForDocumentJSON();
  p.controller->loadDocument(nlohmann::json::parse(R"({"pages": [{"id": "p", "layers": [
      {"id": "a", "text": "First"}, {"id": "b", "text": "Second"}]}]})"));
  ASSERT_TRUE(waitFor([&] { return p.page("document.querySelectorAll('.layer').length") == nlohmann::json(2); }));
  // Keys the page adds in reverse order; the saved JSON sorts them.
  p.page("OstrelStandIn.documentJSON.zeta = {y: 1, x: [null, 'q\"']}; OstrelStandIn.documentJSON.alpha = 2; true");
  source.load(Data{});
  ASSERT_FALSE(source.dataNeedsToBeProvided());
  p.page("Ostrel.dispatchAction('selectAll') && Ostrel.dispatchAction('delete')");
  ASSERT_TRUE(waitFor([&] { return source.dataNeedsToBeProvided(); }));
  EXPECT_EQ(p.document->calls, std::vector<std::string>{"dirty"});

  std::optional<Data> provided;
  bool answered = false;
  source.provideData([&](const Data* data) {
    if (data) provided = *data;
    answered = true;
  });
  ASSERT_TRUE(waitFor([&] { return answered; }));
  ASSERT_TRUE(provided);
  auto pageJSON = p.page("OstrelStandIn.documentJSON");
  ASSERT_TRUE(pageJSON);
  std::string text = stringFromData(source.data());
  EXPECT_EQ(text, JsonCoder::dump(*pageJSON, JsonCoder::Style::pretty));
  EXPECT_LT(text.find("\"alpha\""), text.find("\"pages\""));
  EXPECT_LT(text.find("\"pages\""), text.find("\"zeta\""));
  EXPECT_EQ(pageJSON->at("pages")[0]["layers"].size(), 1u);
  EXPECT_FALSE(source.dataNeedsToBeProvided());
  EXPECT_FALSE(p.processor->documentExportDataComplete);
  EXPECT_EQ(p.controller->pendingExportCount(), 0u);

  // Two saves waiting on one answer both get it.
  std::vector<std::optional<Data>> answers;
  for (int i = 0; i < 2; ++i)
    p.controller->exportOstrelDocumentData(
        [&](std::optional<Data> data, std::optional<Error> error) { answers.push_back(error ? std::nullopt : data); });
  ASSERT_TRUE(waitFor([&] { return answers.size() == 2; }));
  ASSERT_TRUE(answers[0] && answers[1]);
  EXPECT_EQ(stringFromData(*answers[0]), text);
  EXPECT_EQ(stringFromData(*answers[1]), text);
}

TEST(EditorPageRequests, TheStartUpTemplateRunsInThePageWithTheUserAsPlainStrings) {
  Page p;
  p.document->server = Url::parse("http://127.0.0.1:9/");
  UserInfo user;
  user.id = "u-1";
  user.email = "x@example.com";
  user.givenName = "Zoë \"Z\"";
  user.familyName = "O'Brien </script>\u2028";
  LoginController::shared().setUserInfo(user);
  bool loaded = p.load();
  LoginController::shared().clearUserInfo();
  ASSERT_TRUE(loaded);
  ASSERT_TRUE(waitFor([&] { return p.page("typeof window.KorvelCrashReports") == nlohmann::json("object"); }));
  EXPECT_EQ(p.page("KorvelCrashReports.proxy"), nlohmann::json("http://127.0.0.1:9//_proxy"));
  EXPECT_EQ(p.page("KorvelCrashReports.user"),
            (nlohmann::json{{"id", "u-1"}, {"name", "Zoë \"Z\" O'Brien </script>\u2028"}, {"email", "x@example.com"}}));
}

TEST(EditorPageRequests, StylesAndCSSTravelFromThePageToThePasteboardsAndBack) {
  Page p;
  ASSERT_TRUE(p.load());
  p.page("window._ipc.send('DocumentCopyStyleToPasteboard', {fill: '#abc', shadow: {x: 1}}); "
         "window._ipc.send('DocumentPasteStyleFromPasteboard'); "
         "window._ipc.send('DocumentCopyCSSToPasteboard', '.title { color: #abc; }'); true");
  ASSERT_TRUE(waitFor([&] { return p.pageReceived("DocumentPasteStyleFromPasteboard"); }));
  EXPECT_EQ(p.page("OstrelStandIn.received.find(e => e.event === 'DocumentPasteStyleFromPasteboard').args"),
            nlohmann::json::parse(R"([{"fill": "#abc", "shadow": {"x": 1}}])"));
  ASSERT_TRUE(waitFor([&] { return Pasteboard::general().stringForType("text/css").has_value(); }));
  gchar* text = gtk_clipboard_wait_for_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
  ASSERT_TRUE(text);
  EXPECT_STREQ(text, ".title { color: #abc; }");
  g_free(text);
}
