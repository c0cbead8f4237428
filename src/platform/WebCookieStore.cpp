#include "WebCookieStore.h"

#include <libsoup/soup.h>
#include <webkit2/webkit2.h>

#include <memory>

#include "platform/WebContexts.h"

namespace {

WebKitCookieManager* manager() {
  WebKitWebContext* context = WebContexts::pages();
  return webkit_website_data_manager_get_cookie_manager(webkit_web_context_get_website_data_manager(context));
}

WebCookie fromSoup(SoupCookie* c) {
  WebCookie out;
  out.name = soup_cookie_get_name(c) ? soup_cookie_get_name(c) : "";
  out.value = soup_cookie_get_value(c) ? soup_cookie_get_value(c) : "";
  out.domain = soup_cookie_get_domain(c) ? soup_cookie_get_domain(c) : "";
  out.path = soup_cookie_get_path(c) ? soup_cookie_get_path(c) : "/";
  out.secure = soup_cookie_get_secure(c);
  if (GDateTime* expires = soup_cookie_get_expires(c))
    out.expires = std::chrono::system_clock::from_time_t(g_date_time_to_unix(expires));
  return out;
}

SoupCookie* toSoup(const WebCookie& cookie) {
  SoupCookie* c = soup_cookie_new(cookie.name.c_str(), cookie.value.c_str(), cookie.domain.c_str(),
                                  cookie.path.c_str(), -1);
  if (cookie.expires) {
    GDateTime* when = g_date_time_new_from_unix_utc(std::chrono::system_clock::to_time_t(*cookie.expires));
    soup_cookie_set_expires(c, when);
    g_date_time_unref(when);
  }
  soup_cookie_set_secure(c, cookie.secure);
  return c;
}

template <class F>
struct Pending {
  F completion;
};

}  // namespace

WebCookieStore& WebCookieStore::shared() {
  static WebCookieStore store;
  return store;
}

void WebCookieStore::cookies(const std::string& url, std::function<void(std::vector<WebCookie>)> completion) {
  using P = Pending<std::function<void(std::vector<WebCookie>)>>;
  webkit_cookie_manager_get_cookies(
      manager(), url.c_str(), nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<P> p(static_cast<P*>(data));
        GList* list = webkit_cookie_manager_get_cookies_finish(WEBKIT_COOKIE_MANAGER(source), result, nullptr);
        std::vector<WebCookie> out;
        for (GList* l = list; l; l = l->next) out.push_back(fromSoup(static_cast<SoupCookie*>(l->data)));
        g_list_free_full(list, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
        if (p->completion) p->completion(std::move(out));
      },
      new P{std::move(completion)});
}

void WebCookieStore::add(const WebCookie& cookie, std::function<void(bool)> completion) {
  using P = Pending<std::function<void(bool)>>;
  SoupCookie* c = toSoup(cookie);
  webkit_cookie_manager_add_cookie(
      manager(), c, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<P> p(static_cast<P*>(data));
        gboolean ok = webkit_cookie_manager_add_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result, nullptr);
        if (p->completion) p->completion(ok);
      },
      new P{std::move(completion)});
  soup_cookie_free(c);
}

void WebCookieStore::remove(const WebCookie& cookie, std::function<void()> completion) {
  using P = Pending<std::function<void()>>;
  SoupCookie* c = toSoup(cookie);
  webkit_cookie_manager_delete_cookie(
      manager(), c, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<P> p(static_cast<P*>(data));
        webkit_cookie_manager_delete_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result, nullptr);
        if (p->completion) p->completion();
      },
      new P{std::move(completion)});
  soup_cookie_free(c);
}
