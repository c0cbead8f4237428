#pragma once
// HTTP requests over libsoup on the main loop. Completions run on the main loop; a task can be
// cancelled, and a request that takes longer than its time-out fails. Main thread only.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "Data.h"
#include "Error.h"
#include "Url.h"

typedef struct _SoupSession SoupSession;

struct HttpRequest {
  explicit HttpRequest(Url address) : url(std::move(address)) {}
  Url url;
  std::string method = "GET";
  std::map<std::string, std::string> headers;
  Data body;
  std::string contentType;  // of the body
  double timeout = 60.0;
};

struct HttpResponse {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  Data body;
};

inline constexpr const char* HttpErrorDomain = "NSURLErrorDomain";
enum HttpErrorCode : long {
  HttpErrorCancelled = -999,
  HttpErrorTimedOut = -1001,
  HttpErrorCannotConnect = -1004,
  HttpErrorUnknown = -1,
};

// A request made but not started until resume(), as the sign-in code expects of a session.
class TestableURLSessionDataTaskProtocol {
 public:
  virtual ~TestableURLSessionDataTaskProtocol() = default;
  virtual void resume() = 0;
  virtual void cancel() = 0;
};

class TestableURLSessionProtocol {
 public:
  using Completion = std::function<void(Result<HttpResponse>)>;
  virtual ~TestableURLSessionProtocol() = default;
  virtual std::shared_ptr<TestableURLSessionDataTaskProtocol> testableDataTask(HttpRequest request,
                                                                               Completion completion) = 0;
};

class HttpSession : public TestableURLSessionProtocol {
 public:
  static HttpSession& shared();
  HttpSession();
  ~HttpSession() override;
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // The user agent sent with every request.
  void setUserAgent(const std::string& userAgent);

  std::shared_ptr<TestableURLSessionDataTaskProtocol> testableDataTask(HttpRequest request,
                                                                       Completion completion) override;
  // Starts at once.
  std::shared_ptr<TestableURLSessionDataTaskProtocol> send(HttpRequest request, Completion completion);
  // For clients that stream a body themselves over the same connections.
  SoupSession* soupSession() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
