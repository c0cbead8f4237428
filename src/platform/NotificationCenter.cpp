#include "NotificationCenter.h"

#include <algorithm>

#include "RunLoop.h"

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter* center = new NotificationCenter();  // lives for the process
  return *center;
}

ObserverToken NotificationCenter::add(std::string name, const void* object, Handler handler, bool oneShot) {
  auto entry = std::make_shared<Entry>(Entry{std::move(name), object, std::move(handler), oneShot});
  {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
  }
  std::weak_ptr<Entry> weak = entry;
  return ObserverToken([this, weak] {
    std::lock_guard lock(mutex_);
    if (auto e = weak.lock()) {
      e->active = false;
      std::erase(entries_, e);
    }
  });
}

ObserverToken NotificationCenter::addObserver(std::string name, const void* object, Handler handler) {
  return add(std::move(name), object, std::move(handler), false);
}

ObserverToken NotificationCenter::addOneShotObserver(std::string name, const void* object, Handler handler) {
  return add(std::move(name), object, std::move(handler), true);
}

void NotificationCenter::post(const std::string& name, const void* object,
                              std::shared_ptr<const nlohmann::json> userInfo) {
  post(Notification{name, object, std::move(userInfo)});
}

void NotificationCenter::post(const Notification& n) {
  std::vector<std::shared_ptr<Entry>> matching;
  {
    std::lock_guard lock(mutex_);
    for (auto& e : entries_)
      if (e->name == n.name && (!e->object || e->object == n.object)) matching.push_back(e);
  }
  for (auto& e : matching) {
    {
      // An observer removed by an earlier handler of this post is not called.
      std::lock_guard lock(mutex_);
      if (!e->active) continue;
      if (e->oneShot) {
        e->active = false;
        std::erase(entries_, e);
      }
    }
    e->handler(n);
  }
}

void NotificationCenter::postOnMainQueue(Notification notification) {
  MainQueue::async([this, n = std::move(notification)] { post(n); });
}
