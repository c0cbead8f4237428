#pragma once
// Named notifications within the process. Names are the system's strings; user info is JSON.
// post() delivers synchronously on the posting thread; postOnMainQueue() delivers on the main loop.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "ObserverToken.h"

struct Notification {
  std::string name;
  const void* object = nullptr;
  std::shared_ptr<const nlohmann::json> userInfo;  // null when there is none
};

class NotificationCenter {
 public:
  using Handler = std::function<void(const Notification&)>;

  static NotificationCenter& defaultCenter();

  // Observes `name` posted by `object`, or by anyone when `object` is null.
  [[nodiscard]] ObserverToken addObserver(std::string name, const void* object, Handler handler);
  // Like addObserver, but the observation ends after the first delivery.
  [[nodiscard]] ObserverToken addOneShotObserver(std::string name, const void* object, Handler handler);

  void post(const std::string& name, const void* object = nullptr,
            std::shared_ptr<const nlohmann::json> userInfo = nullptr);
  void post(const Notification& notification);
  // Queued to the main loop; `object` must outlive the delivery or be used only as an identity.
  void postOnMainQueue(Notification notification);

 private:
  struct Entry {
    std::string name;
    const void* object;
    Handler handler;
    bool oneShot;
    bool active = true;
  };
  ObserverToken add(std::string name, const void* object, Handler handler, bool oneShot);
  std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_;
};
