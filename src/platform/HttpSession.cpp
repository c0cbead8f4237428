#include "HttpSession.h"

#include <libsoup/soup.h>

#include "GObjectPtr.h"
#include "RunLoop.h"

namespace {

class SoupTask final : public TestableURLSessionDataTaskProtocol, public std::enable_shared_from_this<SoupTask> {
 public:
  SoupTask(SoupSession* session, HttpRequest request, TestableURLSessionProtocol::Completion completion)
      : session_(session), request_(std::move(request)), completion_(std::move(completion)) {}

  ~SoupTask() override {
    if (timeout_) g_source_remove(timeout_);
  }

  void resume() override {
    if (started_ || finished_) return;
    started_ = true;
    message_.reset(soup_message_new(request_.method.c_str(), request_.url.absoluteString().c_str()));
    if (!message_) {
      finish(fail(HttpErrorDomain, HttpErrorUnknown, "not a valid request address"));
      return;
    }
    SoupMessageHeaders* headers = soup_message_get_request_headers(message_.get());
    for (const auto& [name, value] : request_.headers) soup_message_headers_replace(headers, name.c_str(), value.c_str());
    if (!request_.body.empty() || request_.method == "POST" || request_.method == "PUT") {
      GBytes* body = g_bytes_new(request_.body.data(), request_.body.size());
      soup_message_set_request_body_from_bytes(
          message_.get(), request_.contentType.empty() ? "application/octet-stream" : request_.contentType.c_str(), body);
      g_bytes_unref(body);
    }
    cancellable_.reset(g_cancellable_new());
    auto self = shared_from_this();
    // The pending operation keeps the task alive until its callback has run.
    auto* keep = new std::shared_ptr<SoupTask>(self);
    soup_session_send_and_read_async(session_, message_.get(), G_PRIORITY_DEFAULT, cancellable_.get(), &SoupTask::done,
                                     keep);
    if (request_.timeout > 0) {
      timeout_ = g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(request_.timeout * 1000), &SoupTask::timedOut,
                                    new std::weak_ptr<SoupTask>(self),
                                    [](gpointer p) { delete static_cast<std::weak_ptr<SoupTask>*>(p); });
    }
  }

  void cancel() override {
    if (finished_) return;
    if (!started_) {
      finish(fail(HttpErrorDomain, HttpErrorCancelled, "cancelled"));
      return;
    }
    cancelReason_ = HttpErrorCancelled;
    g_cancellable_cancel(cancellable_.get());
  }

 private:
  static gboolean timedOut(gpointer data) {
    if (auto self = static_cast<std::weak_ptr<SoupTask>*>(data)->lock()) {
      self->timeout_ = 0;
      self->cancelReason_ = HttpErrorTimedOut;
      g_cancellable_cancel(self->cancellable_.get());
    }
    return G_SOURCE_REMOVE;
  }

  static void done(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::shared_ptr<SoupTask>> keep(static_cast<std::shared_ptr<SoupTask>*>(data));
    auto& self = *keep;
    GError* error = nullptr;
    GBytes* bytes = soup_session_send_and_read_finish(SOUP_SESSION(source), result, &error);
    if (!bytes) {
      long code = self->cancelReason_ ? self->cancelReason_ : HttpErrorCannotConnect;
      std::string text = self->cancelReason_ == HttpErrorTimedOut ? "the request timed out"
                                                                 : (error ? error->message : "the request failed");
      g_clear_error(&error);
      self->finish(fail(HttpErrorDomain, code, text));
      return;
    }
    HttpResponse response;
    response.status = static_cast<int>(soup_message_get_status(self->message_.get()));
    gsize size = 0;
    auto* p = static_cast<const std::uint8_t*>(g_bytes_get_data(bytes, &size));
    response.body.assign(p, p + size);
    g_bytes_unref(bytes);
    SoupMessageHeadersIter iter;
    soup_message_headers_iter_init(&iter, soup_message_get_response_headers(self->message_.get()));
    const char *name, *value;
    while (soup_message_headers_iter_next(&iter, &name, &value)) {
      std::string lower = name;
      for (auto& c : lower) c = static_cast<char>(g_ascii_tolower(c));
      response.headers[lower] = value;
    }
    self->finish(std::move(response));
  }

  void finish(Result<HttpResponse> result) {
    if (finished_) return;
    finished_ = true;
    if (timeout_) {
      g_source_remove(timeout_);
      timeout_ = 0;
    }
    auto completion = std::move(completion_);
    // Never inside resume() or cancel(): the caller sees the answer on a later turn.
    MainQueue::async([completion, result = std::move(result)] {
      if (completion) completion(result);
    });
  }

  SoupSession* session_;
  HttpRequest request_;
  TestableURLSessionProtocol::Completion completion_;
  GObjectPtr<SoupMessage> message_;
  GObjectPtr<GCancellable> cancellable_;
  guint timeout_ = 0;
  long cancelReason_ = 0;
  bool started_ = false;
  bool finished_ = false;
};

}  // namespace

struct HttpSession::Impl {
  GObjectPtr<SoupSession> session{soup_session_new()};
};

HttpSession& HttpSession::shared() {
  static auto* session = new HttpSession();  // lives for the process
  return *session;
}

HttpSession::HttpSession() : impl_(std::make_unique<Impl>()) {}
HttpSession::~HttpSession() = default;

void HttpSession::setUserAgent(const std::string& userAgent) {
  soup_session_set_user_agent(impl_->session.get(), userAgent.c_str());
}

std::shared_ptr<TestableURLSessionDataTaskProtocol> HttpSession::testableDataTask(HttpRequest request,
                                                                                 Completion completion) {
  return std::make_shared<SoupTask>(impl_->session.get(), std::move(request), std::move(completion));
}

std::shared_ptr<TestableURLSessionDataTaskProtocol> HttpSession::send(HttpRequest request, Completion completion) {
  auto task = testableDataTask(std::move(request), std::move(completion));
  task->resume();
  return task;
}

SoupSession* HttpSession::soupSession() const { return impl_->session.get(); }
