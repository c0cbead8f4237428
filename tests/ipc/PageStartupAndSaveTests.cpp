// The page's start-up scripts and its half of a save.

#include <gtest/gtest.h>

#include "IPCTestSupport.h"
#include "account/LoginController.h"
#include "ipc/PageStartupScripts.h"
#include "platform/Defaults.h"

using namespace ipctest;

namespace {

struct Answer {
  std::optional<Data> data;
  std::optional<Error> error;
};

IPCProcessor::DataCompletion recordInto(std::vector<Answer>& answers) {
  return [&answers](std::optional<Data> data, std::optional<Error> error) { answers.push_back({data, error}); };
}

const std::string tricky = "O'Neil \"Bob\" </script>\u2028{{ userEmail }}";

}  // namespace

TEST(DocumentSave, WritesSortedPrettyJSONToTheWaitingCompletionOnce) {
  Harness h;
  std::vector<Answer> answers;
  h.processor.documentExportDataComplete = recordInto(answers);
  h.request("DocumentSaveDialogStart", R"({"b": 1, "a": {"d": [true, null], "c": "x"}})");
  h.request("DocumentSaveDialogStart", R"({"other": 2})");
  ASSERT_EQ(answers.size(), 1u);
  ASSERT_TRUE(answers[0].data);
  EXPECT_FALSE(answers[0].error);
  std::string text = stringFromData(*answers[0].data);
  EXPECT_EQ(text, "{\n  \"a\": {\n    \"c\": \"x\",\n    \"d\": [\n      true,\n      null\n    ]\n  },\n  \"b\": 1\n}");
  EXPECT_FALSE(h.processor.documentExportDataComplete);
}

TEST(DocumentSave, ADocumentThatIsNoObjectOrListFailsTheSave) {
  Harness h;
  std::vector<Answer> answers;
  for (const char* body : {R"("text")", "3", "null"}) {
    h.processor.documentExportDataComplete = recordInto(answers);
    h.request("DocumentSaveDialogStart", body);
  }
  ASSERT_EQ(answers.size(), 3u);
  for (auto& answer : answers) {
    EXPECT_FALSE(answer.data);
    EXPECT_TRUE(answer.error);
  }
  h.request("DocumentSaveDialogStart", "[]");  // nobody waits: built and dropped
  EXPECT_EQ(answers.size(), 3u);
}

TEST(PageStartupScripts, EveryPlaceholderBecomesAStringLiteralAndValuesAreNotSearchedAgain) {
  std::string filled = PageStartupScripts::filledTemplate(
      "a={{ userId }};b={{ userId }};n={{ userName }};e={{ userEmail }};p={{ proxy }};{{ other }}", "http://h:1/_proxy",
      {"u1", tricky, "e@x"});
  EXPECT_EQ(filled,
            R"(a="u1";b="u1";n="O'Neil \"Bob\" </script>\u2028{{ userEmail }}";e="e@x";p="http://h:1/_proxy";{{ other }})");
  EXPECT_EQ(PageStartupScripts::filledTemplate("{{ userId }}", "", {}), "\"\"");
}

TEST(PageStartup, WithoutAServerOnlyTheAnalyticsScriptRuns) {
  Harness h;
  h.request("DOMContentLoaded");
  ASSERT_EQ(h.scripts.size(), 1u);
  EXPECT_EQ(h.scripts[0].rfind("ga('set', 'userId', \"\");", 0), 0u) << h.scripts[0];
  EXPECT_NE(h.scripts[0].find("ga('set', 'dimension1', 0);"), std::string::npos);
}

TEST(PageStartup, TheTemplateGetsTheProxyAndTheSignedInUser) {
  Harness h;
  h.document->server = Url::parse("http://127.0.0.1:4000/");
  UserInfo user;
  user.id = "user-7";
  user.email = "a@b.c";
  user.name = tricky;
  LoginController::shared().setUserInfo(user);
  h.request("DOMContentLoaded");
  LoginController::shared().clearUserInfo();
  ASSERT_EQ(h.scripts.size(), 2u);
  // No slash is taken away before the proxy path.
  EXPECT_NE(h.scripts[0].find(R"(var proxy = "http://127.0.0.1:4000//_proxy")"), std::string::npos) << h.scripts[0];
  EXPECT_NE(h.scripts[0].find(R"(var user = { id: "user-7", name: "O'Neil \"Bob\" </script>\u2028{{ userEmail }}", email: "a@b.c" })"),
            std::string::npos)
      << h.scripts[0];
  EXPECT_EQ(h.scripts[0].find("{{"), h.scripts[0].find("{{ userEmail }}"));
  EXPECT_EQ(h.scripts[1].rfind("ga('set', 'userId', \"user-7\");", 0), 0u);
}
