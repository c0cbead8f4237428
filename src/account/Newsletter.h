#pragma once
// Signs an address up for the newsletter with one POST of {"name", "email", "source"} to the
// newsletter service's "/subscribe". Only statuses 200 and 201 count as success, and only they
// run the completion; nothing is retried. Main thread only; the completion runs on the main loop.

#include <functional>
#include <string>

#include "platform/Url.h"

class TestableURLSessionProtocol;

class Newsletter {
 public:
  // The service's subscription address; the local stand-in's for the local environment.
  static Url endpoint();
  static void signup(const std::string& email, const std::string& name, const std::string& source,
                     std::function<void()> completion = nullptr);
  static void signup(TestableURLSessionProtocol& session, const Url& endpoint, const std::string& email,
                     const std::string& name, const std::string& source, std::function<void()> completion = nullptr);
};
