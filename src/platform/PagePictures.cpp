#include "platform/PagePictures.h"

#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "platform/FileSystem.h"
#include "platform/GObjectPtr.h"
#include "platform/PictureStore.h"
#include "platform/RunLoop.h"
#include "platform/WebContexts.h"

namespace PagePictures {

namespace {

constexpr const char* stateKey = "korvel-picture-state";

using Held = std::shared_ptr<GObjectPtr<WebKitURISchemeRequest>>;
using Picture = std::shared_ptr<const PictureStore::Picture>;

// What a view's pictures are and what its page has yet to take of them. Main thread only.
struct ViewState {
  std::optional<std::filesystem::path> folder, reducedCopies;
  // Bytes handed to the engine and not yet taken by it.
  std::size_t waiting = 0;
  // Answers made that wait for them, in order. Their pictures are held up to a bound; beyond it
  // an answer waits without its picture, which is asked for again in its turn.
  struct Queued {
    Held request;
    Picture picture;
    std::string origin;
    std::string name;
    std::size_t size = 0;
    PictureStore::Drawn drawn;
    std::chrono::steady_clock::time_point asked = std::chrono::steady_clock::now();
  };
  std::deque<Queued> queued;
  std::size_t queuedBytes = 0;
  bool askingAgain = false;
  // Who asks, as the picture store knows this page.
  std::string asker;
};
using SharedState = std::shared_ptr<ViewState>;

void refuse(WebKitURISchemeRequest* request, const std::string& why) {
  GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, why.c_str());
  webkit_uri_scheme_request_finish_error(request, error);
  g_error_free(error);
}

// Finishes `request` with `length` bytes of `body` as `type`, readable by the page of `origin`.
void respond(WebKitURISchemeRequest* request, GInputStream* body, std::size_t length, const char* type,
             const std::string& origin, int status = 200) {
  GObjectPtr<WebKitURISchemeResponse> response(webkit_uri_scheme_response_new(body, gint64(length)));
  if (status != 200) webkit_uri_scheme_response_set_status(response.get(), guint(status), nullptr);
  webkit_uri_scheme_response_set_content_type(response.get(), type);
  SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  soup_message_headers_append(headers, "Access-Control-Allow-Origin", origin.c_str());
  webkit_uri_scheme_response_set_http_headers(response.get(), headers);
  webkit_uri_scheme_request_finish_with_response(request, response.get());
}

// A refusal the page can read as one (its own origin may see the status): a picture the host
// will not make is not drawn at all, where a failed load would send the page to the file
// itself, which its engine would decode whole.
void decline(WebKitURISchemeRequest* request, const std::string& origin, const std::string& why) {
  GObjectPtr<GInputStream> body(g_memory_input_stream_new_from_data(g_strdup(why.c_str()), gssize(why.size()), g_free));
  respond(request, body.get(), why.size(), "text/plain", origin, 404);
}

// "scheme://host[:port]" as a page's engine writes an origin; none for an address without a host.
std::string originOf(const char* address) {
  if (!address) return {};
  GUri* uri = g_uri_parse(address, G_URI_FLAGS_NONE, nullptr);
  if (!uri) return {};
  std::string origin;
  const char* host = g_uri_get_host(uri);
  if (host && *host) {
    gchar* scheme = g_ascii_strdown(g_uri_get_scheme(uri), -1);
    origin = std::string(scheme) + "://" + host;
    g_free(scheme);
    if (g_uri_get_port(uri) >= 0) origin += ":" + std::to_string(g_uri_get_port(uri));
  }
  g_uri_unref(uri);
  return origin;
}

std::string withoutFragment(const char* address) {
  std::string text = address ? address : "";
  return text.substr(0, text.find('#'));
}

bool isOwnPage(const char* page, const char* asking, const char* referrer) {
  if (!page || !asking) return false;
  std::string origin = originOf(page);
  if (!origin.empty()) return origin == asking;
  return g_str_has_prefix(page, "file:") && std::string(asking) == "null" && referrer &&
         withoutFragment(referrer) == withoutFragment(page);
}

void send(const SharedState& state, ViewState::Queued answer);
void ask(const SharedState& state, const std::string& name, PictureStore::Drawn drawn,
         std::function<void(const PictureStore::Answer&)> then);

bool fits(const ViewState& state, std::size_t size) {
  return state.waiting == 0 || state.waiting + size <= maximumWaitingBytes;
}

// Sends what waits, in order, while the engine has room for it.
void pump(const SharedState& state) {
  while (!state->queued.empty() && fits(*state, state->queued.front().size)) {
    auto& next = state->queued.front();
    if (!next.picture) {
      if (state->askingAgain) return;
      // Asked again in its turn, but not past the wait any request may have.
      if (std::chrono::duration<double>(std::chrono::steady_clock::now() - next.asked).count() >
          PictureStore::maximumWait) {
        decline(next.request->get(), next.origin, "The picture could not be made in time.");
        state->queued.pop_front();
        continue;
      }
      state->askingAgain = true;
      return ask(state, next.name, next.drawn, [state](const PictureStore::Answer& picture) {
        state->askingAgain = false;
        auto& front = state->queued.front();
        if (!picture) {
          decline(front.request->get(), front.origin, picture.error().message);
          state->queued.pop_front();
        } else {
          front.picture = *picture;
          front.size = (*picture)->bytes.size();
          state->queuedBytes += front.size;
        }
        pump(state);
      });
    }
    auto answer = std::move(next);
    state->queued.pop_front();
    state->queuedBytes -= answer.size;
    send(state, std::move(answer));
  }
}

// The engine took an answer's bytes: the next answers may go.
void taken(const SharedState& state, std::size_t size) {
  state->waiting -= size;
  pump(state);
}

void send(const SharedState& state, ViewState::Queued answer) {
  // The answers share the picture's one copy; each holds it until the engine has taken it.
  struct Lent {
    Picture picture;
    SharedState state;
  };
  const Data& bytes = answer.picture->bytes;
  state->waiting += bytes.size();
  auto* lent = new Lent{answer.picture, state};
  GBytes* shared = g_bytes_new_with_free_func(
      bytes.data(), bytes.size(),
      [](gpointer data) {
        std::unique_ptr<Lent> lent(static_cast<Lent*>(data));
        MainQueue::async([state = lent->state, size = lent->picture->bytes.size()] { taken(state, size); });
      },
      lent);
  GObjectPtr<GInputStream> stream(g_memory_input_stream_new_from_bytes(shared));
  g_bytes_unref(shared);
  respond(answer.request->get(), stream.get(), bytes.size(), answer.picture->type.c_str(), answer.origin);
}

void deliver(const SharedState& state, ViewState::Queued answer) {
  answer.size = answer.picture->bytes.size();
  if (state->queued.empty() && fits(*state, answer.size)) return send(state, std::move(answer));
  if (state->queued.size() >= maximumQueuedAnswers)
    return decline(answer.request->get(), answer.origin, "Too many pictures wait for this page.");
  if (state->queuedBytes + answer.size <= maximumWaitingBytes) state->queuedBytes += answer.size;
  else answer.picture.reset();
  state->queued.push_back(std::move(answer));
}

// The picture `name` of the view's folder at the size it is drawn at (from a reduced copy where
// one covers it), made by the store on its workers; `then` runs on the main thread. Opened beside
// the main loop.
void ask(const SharedState& state, const std::string& name, PictureStore::Drawn drawn,
         std::function<void(const PictureStore::Answer&)> then) {
  GlobalQueue::async([folder = *state->folder, copies = state->reducedCopies, name, drawn, asker = state->asker,
                      then = std::move(then)] {
    auto finish = [then](const PictureStore::Answer& picture) { MainQueue::async([then, picture] { then(picture); }); };
    auto open = [folder, copies, name, drawn]() -> Result<UniqueFd> {
      auto file = fs::openInside(folder, name);
      if (!file) return fail(file.error().domain, file.error().code, "No such picture.");
      auto copy = copies ? PictureStore::reducedCopy(*copies, name, drawn) : std::nullopt;
      // Not an animation's, which a document made elsewhere may hold: a copy is a still.
      if (copy && !PictureStore::isAnimation(file->get())) return std::move(*copy);
      return file;
    };
    auto file = open();
    if (!file) return finish(tl::unexpected(file.error()));
    // The store opens it again in its turn: a page that asks for thousands holds no file open.
    PictureStore::shared().request(std::move(*file), drawn, finish, asker, open);
  });
}

void answer(WebKitURISchemeRequest* request, gpointer) {
  WebKitWebView* view = webkit_uri_scheme_request_get_web_view(request);
  auto* held = view ? static_cast<SharedState*>(g_object_get_data(G_OBJECT(view), stateKey)) : nullptr;
  if (!held || !(*held)->folder) return refuse(request, "This page has no pictures.");
  SharedState state = *held;
  // Only the view's own page: a frame of another origin inside it gets nothing. The engine sends
  // the origin that asks, which no page can set, with a fetch or an image asked for across
  // origins; a page of files has none of its own ("null", as a frame of data has), and is known
  // by the address its fetch names as its referrer. A plain image says neither and is refused.
  const char* page = webkit_web_view_get_uri(view);
  SoupMessageHeaders* headers = webkit_uri_scheme_request_get_http_headers(request);
  const char* asking = headers ? soup_message_headers_get_one(headers, "Origin") : nullptr;
  const char* referrer = headers ? soup_message_headers_get_one(headers, "Referer") : nullptr;
  std::string origin = asking ? asking : "";
  if (!isOwnPage(page, asking, referrer)) return refuse(request, "This page may not draw these pictures.");
  gchar* unescaped = g_uri_unescape_string(webkit_uri_scheme_request_get_path(request), nullptr);
  std::string name = unescaped ? unescaped : "";
  g_free(unescaped);
  // One file directly in the folder.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos)
    return decline(request, origin, "No such picture.");
  auto waiting = std::make_shared<GObjectPtr<WebKitURISchemeRequest>>(GObjectPtr<WebKitURISchemeRequest>::retain(request));
  const char* address = webkit_uri_scheme_request_get_uri(request);
  auto drawn = PictureStore::drawnIn(address ? address : "");
  ask(state, name, drawn, [state, waiting, origin, name, drawn, asked = std::chrono::steady_clock::now()](
                              const PictureStore::Answer& picture) {
    if (!picture) return decline(waiting->get(), origin, picture.error().message);
    deliver(state, {waiting, *picture, origin, name, 0, drawn, asked});
  });
}

}  // namespace

void serve(GtkWidget* webView, const std::optional<std::filesystem::path>& folder,
           const std::optional<std::filesystem::path>& reducedCopies) {
  static bool registered = [] {
    WebKitWebContext* context = WebContexts::pages();
    webkit_web_context_register_uri_scheme(context, scheme, answer, nullptr, nullptr);
    // Asked for across origins, so that each request says which page asks.
    webkit_security_manager_register_uri_scheme_as_cors_enabled(webkit_web_context_get_security_manager(context),
                                                                 scheme);
    return true;
  }();
  (void)registered;
  if (!webView) return;
  auto* held = static_cast<SharedState*>(g_object_get_data(G_OBJECT(webView), stateKey));
  if (!held) {
    held = new SharedState(std::make_shared<ViewState>());
    (*held)->asker = "page " + std::to_string(reinterpret_cast<std::uintptr_t>(held->get()));
    g_object_set_data_full(G_OBJECT(webView), stateKey, held, [](gpointer data) { delete static_cast<SharedState*>(data); });
  }
  (*held)->folder = folder;
  (*held)->reducedCopies = reducedCopies;
}

}  // namespace PagePictures
