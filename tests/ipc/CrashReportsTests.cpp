// The editor page's crash reports go only to the project server it runs under now: after a
// restart the old port may be another program's, which hears nothing, and while no server runs
// nothing is sent at all.

#include <gtest/gtest.h>

#include "EditorPageTestSupport.h"
#include "support/BareListener.h"

using namespace ipctest;

namespace {

// Notes every address the page fetches, and the errors the test throws, after the host's listeners.
const char* watchReports =
    "window.fetched = []; window.errorsSeen = 0;"
    "var realFetch = window.fetch;"
    "window.fetch = function (address) { window.fetched.push(String(address)); return realFetch.apply(this, arguments); };"
    "window.addEventListener('error', function () { if (window.testThrows) window.errorsSeen += 1; });";

// The crash reports the page sent, by address, from the `from`th on.
std::optional<nlohmann::json> reports(EditorPage& p, std::size_t from = 0) {
  return p.page("window.fetched.filter(function (a) { return a.indexOf('_proxy') >= 0; }).slice(" +
                std::to_string(from) + ")");
}

TEST(CrashReports, GoOnlyToTheServerThePageRunsUnderNow) {
  BareListener first, second;
  ASSERT_TRUE(first.start());
  ASSERT_TRUE(second.start());
  auto firstURL = *Url::parse(first.address() + "/"), secondURL = *Url::parse(second.address() + "/");
  const std::string firstProxy = first.address() + "//_proxy", secondProxy = second.address() + "//_proxy";
  EditorPage p;
  p.controller->webViewController().addUserScript(
      {watchReports, WebView::InjectionTime::documentStart, WebView::InjectedFrames::mainFrameOnly});
  p.document->server = firstURL;
  ASSERT_TRUE(p.load());
  ASSERT_TRUE(canvastest::waitFor([&] {
    return p.page("window.KorvelCrashReports && KorvelCrashReports.proxy") == nlohmann::json(firstProxy);
  }));
  int thrown = 0;
  auto throwError = [&] {
    p.page("setTimeout(function () { window.testThrows = true; setTimeout(function () { window.testThrows = false; }, 0);"
           " throw new Error('the test broke it'); }, 0); true");
    ++thrown;
    return canvastest::waitFor([&] { return p.page("window.errorsSeen") == nlohmann::json(thrown); });
  };

  // The server ends: its port may be anyone's now, and nothing is sent while none runs.
  p.controller->serverStopped();
  p.document->server.reset();
  ASSERT_TRUE(canvastest::waitFor([&] { return p.page("KorvelCrashReports.proxy") == nlohmann::json(nullptr); }));
  // What the page reported while that server ran (its own errors as it started) has arrived there.
  auto before = reports(p);
  ASSERT_TRUE(before && before->is_array());
  const auto reportedBefore = before->size();
  ASSERT_TRUE(canvastest::waitFor([&] { return first.count("//_proxy") >= reportedBefore; }));
  const auto firstHeard = first.count("//_proxy");
  ASSERT_TRUE(throwError());
  EXPECT_EQ(reports(p, reportedBefore), nlohmann::json::array());

  // It starts again elsewhere, another program on its old port: the reports go to the new one.
  p.document->server = secondURL;
  p.controller->setServerAddresses(std::nullopt, std::nullopt, secondURL);
  ASSERT_TRUE(canvastest::waitFor([&] { return p.page("KorvelCrashReports.proxy") == nlohmann::json(secondProxy); }));
  ASSERT_TRUE(throwError());
  ASSERT_TRUE(canvastest::waitFor([&] { return second.got("//_proxy"); }));
  EXPECT_EQ(reports(p, reportedBefore), nlohmann::json::array({secondProxy}));
  // A request of the page's own that reaches the old port comes after any the report made.
  p.page("fetch('" + first.address() + "/after').catch(function () {}); true");
  ASSERT_TRUE(canvastest::waitFor([&] { return first.got("/after"); }));
  EXPECT_EQ(first.count("//_proxy"), firstHeard);
  EXPECT_EQ(first.count("/_proxy"), 0u);
}

}  // namespace
