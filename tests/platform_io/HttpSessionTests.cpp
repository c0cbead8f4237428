#include <gtest/gtest.h>

#include "NodePeer.h"
#include "platform/HttpSession.h"

namespace {
class HttpSessionTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { peer = NodePeer::start(0, {}, "http_peer.js").release(); }
  static void TearDownTestSuite() {
    delete peer;
    peer = nullptr;
  }
  void SetUp() override { ASSERT_NE(peer, nullptr) << "the HTTP peer did not start"; }

  static HttpRequest request(const std::string& path) {
    return HttpRequest(*Url::parse("http://127.0.0.1:" + std::to_string(peer->port()) + path));
  }
  static Result<HttpResponse> perform(HttpSession& session, HttpRequest r) {
    std::optional<Result<HttpResponse>> answer;
    session.send(std::move(r), [&](Result<HttpResponse> result) { answer = std::move(result); });
    EXPECT_TRUE(RunLoop::runUntil([&] { return answer.has_value(); }, 20));
    return answer.value_or(fail("test", 0, "no answer"));
  }
  static NodePeer* peer;
};
NodePeer* HttpSessionTest::peer = nullptr;
}  // namespace

TEST_F(HttpSessionTest, SendsMethodHeadersAndBodyAndReadsTheAnswer) {
  HttpSession session;
  session.setUserAgent("Korvel-Test/1");
  auto r = request("/echo");
  r.method = "POST";
  r.headers["Authorization"] = "Token abc";
  r.body = dataFromString(R"({"name":"Ada"})");
  r.contentType = "application/json";
  auto answer = perform(session, r);
  ASSERT_TRUE(answer) << answer.error().description();
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->headers["x-peer"], "korvel-test");
  auto echo = JsonCoder::parse(stringFromData(answer->body));
  ASSERT_TRUE(echo);
  EXPECT_EQ((*echo)["method"], "POST");
  EXPECT_EQ((*echo)["headers"]["authorization"], "Token abc");
  EXPECT_EQ((*echo)["headers"]["user-agent"], "Korvel-Test/1");
  EXPECT_EQ((*echo)["headers"]["content-type"], "application/json");
  EXPECT_EQ((*echo)["body"], R"({"name":"Ada"})");
}

TEST_F(HttpSessionTest, StatusCodesAreAnswersAndLargeBodiesArriveWhole) {
  HttpSession session;
  auto unauthorized = perform(session, request("/status/401"));
  ASSERT_TRUE(unauthorized);
  EXPECT_EQ(unauthorized->status, 401);
  auto big = perform(session, request("/bytes?n=3000000"));
  ASSERT_TRUE(big);
  EXPECT_EQ(big->body.size(), 3000000u);
}

TEST_F(HttpSessionTest, TimeOutsCancellationAndUnreachableServers) {
  HttpSession session;
  auto slow = request("/slow?ms=3000");
  slow.timeout = 0.2;
  auto timedOut = perform(session, slow);
  ASSERT_FALSE(timedOut);
  EXPECT_EQ(timedOut.error().code, HttpErrorTimedOut);

  std::optional<Result<HttpResponse>> answer;
  auto task = session.send(request("/slow?ms=3000"), [&](Result<HttpResponse> r) { answer = std::move(r); });
  task->cancel();
  ASSERT_TRUE(RunLoop::runUntil([&] { return answer.has_value(); }, 30));
  ASSERT_FALSE(*answer);
  EXPECT_EQ(answer->error().code, HttpErrorCancelled);

  // A task made but never resumed sends nothing.
  bool called = false;
  auto idle = session.testableDataTask(request("/echo"), [&](Result<HttpResponse>) { called = true; });
  RunLoop::runUntil([] { return false; }, 0.1);
  EXPECT_FALSE(called);

  auto closed = perform(session, HttpRequest(*Url::parse("http://127.0.0.1:1/")));
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error().domain, HttpErrorDomain);
}
