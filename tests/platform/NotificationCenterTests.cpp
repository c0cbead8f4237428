#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

TEST(NotificationCenter, DeliversByNameAndObjectWithUserInfo) {
  NotificationCenter center;
  int sender = 0, other = 0;
  int any = 0, fromSender = 0;
  long count = -1;
  auto t1 = center.addObserver("IntercomUnreadCountDidChangeNotification", nullptr, [&](const Notification& n) {
    ++any;
    if (n.userInfo) count = (*n.userInfo)["count"].get<long>();
  });
  auto t2 = center.addObserver("IntercomUnreadCountDidChangeNotification", &sender,
                               [&](const Notification&) { ++fromSender; });
  center.post("IntercomUnreadCountDidChangeNotification", &sender,
              std::make_shared<nlohmann::json>(nlohmann::json{{"count", 3}}));
  center.post("IntercomUnreadCountDidChangeNotification", &other);
  center.post("SomethingElse", &sender);
  EXPECT_EQ(any, 2);
  EXPECT_EQ(fromSender, 1);
  EXPECT_EQ(count, 3);
}

TEST(NotificationCenter, OneShotObserverRunsOnceEvenWhenPostedAgainFromItsHandler) {
  NotificationCenter center;
  int calls = 0;
  auto token = center.addOneShotObserver("UserConfigChangedNotification", nullptr, [&](const Notification&) {
    ++calls;
    center.post("UserConfigChangedNotification");
  });
  center.post("UserConfigChangedNotification");
  center.post("UserConfigChangedNotification");
  EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, ObserverRemovedByAnEarlierHandlerIsNotCalled) {
  NotificationCenter center;
  int second = 0;
  ObserverToken b;
  auto a = center.addObserver("n", nullptr, [&](const Notification&) { b.reset(); });
  b = center.addObserver("n", nullptr, [&](const Notification&) { ++second; });
  center.post("n");
  EXPECT_EQ(second, 0);
}

TEST(NotificationCenter, PostOnMainQueueDeliversLaterOnTheMainThread) {
  NotificationCenter center;
  bool delivered = false, onMain = false;
  auto token = center.addObserver("ServerControllerStateDidUpdateNotification", nullptr, [&](const Notification&) {
    delivered = true;
    onMain = RunLoop::isMainThread();
  });
  std::thread([&] { center.postOnMainQueue({"ServerControllerStateDidUpdateNotification", nullptr, nullptr}); }).join();
  EXPECT_FALSE(delivered);
  ASSERT_TRUE(RunLoop::runUntil([&] { return delivered; }, 5));
  EXPECT_TRUE(onMain);
}
