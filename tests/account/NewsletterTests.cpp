// Newsletter sign-up against the stand-in service: what is sent, and which answers count.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "account/Newsletter.h"
#include "platform/HttpSession.h"
#include "platform/RunLoop.h"
#include "support/CloudStandIn.h"

namespace {

TEST(Newsletter, SendsNameEmailAndSourceAndCompletesOnlyOnSuccess) {
  auto service = CloudStandIn::start();
  ASSERT_TRUE(service);
  HttpSession session;
  Url endpoint = *Url::parse(service->base() + "/subscribe");

  int completed = 0;
  Newsletter::signup(session, endpoint, "ada@example.com", "", "studio", [&] { ++completed; });
  ASSERT_TRUE(RunLoop::runUntil([&] { return completed == 1; }, 20));  // 201
  auto recorded = service->call("GET", "/_standin/subscriptions");
  ASSERT_TRUE(recorded);
  ASSERT_EQ(recorded->size(), 1u);
  EXPECT_EQ((*recorded)[0]["email"], "ada@example.com");
  EXPECT_EQ((*recorded)[0]["name"], "");
  EXPECT_EQ((*recorded)[0]["source"], "studio");
  EXPECT_EQ((*recorded)[0]["contentType"], "application/json");

  // A refusal and a dead address call nothing; the next success still does.
  service->setSwitches({{"subscribe", "error500"}});
  Newsletter::signup(session, endpoint, "b@example.com", "B", "studio", [&] { ++completed; });
  ASSERT_TRUE(RunLoop::runUntil([&] { return service->count("subscribe") == 2; }, 20));
  Newsletter::signup(session, *Url::parse("http://127.0.0.1:1/subscribe"), "c@example.com", "C", "studio",
                     [&] { ++completed; });
  service->setSwitches({{"subscribe", "ok"}});
  Newsletter::signup(session, endpoint, "d@example.com", "D", "studio", [&] { ++completed; });
  ASSERT_TRUE(RunLoop::runUntil([&] { return completed == 2; }, 20));
  RunLoop::runUntil([] { return false; }, 0.2);
  EXPECT_EQ(completed, 2);
}

}  // namespace
