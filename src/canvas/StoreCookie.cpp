#include "StoreCookie.h"

#include <cstdio>
#include <memory>

#include "account/LoginController.h"
#include "foundation/AppServices.h"
#include "platform/RWLog.h"

std::optional<WebCookie> StoreCookie::make(const Url& scope, const std::string& token,
                                           std::chrono::system_clock::time_point now) {
  if (token.empty()) return std::nullopt;
  std::string domain(1, '.');
  domain.append(scope.host().empty() ? std::string_view("localhost") : std::string_view(scope.host()));
  return WebCookie{name, token, std::move(domain), std::string(1, '/'), now + lifetime, scope.scheme() != "http"};
}

std::string StoreCookie::describe(const WebCookie& cookie) {
  return cookie.name + " for " + cookie.domain + cookie.path + (cookie.secure ? " (secure)" : "");
}

void StoreCookie::refresh(const Url& scope, const std::optional<std::string>& token, std::function<void()> completion) {
  auto& store = WebCookieStore::shared();
  store.cookies(scope.absoluteString(), [scope, token, completion = std::move(completion)](std::vector<WebCookie> old) {
    // Set the new cookie only after every old one is gone.
    auto remaining = std::make_shared<std::size_t>(old.size());
    auto setNew = [scope, token, completion] {
      auto cookie = token ? make(scope, *token, std::chrono::system_clock::now()) : std::nullopt;
      if (!token) {
        if (completion) completion();
        return;
      }
      if (!cookie) {
        std::printf("unable to create store login cookie\n");
        if (completion) completion();
        return;
      }
      WebCookieStore::shared().add(*cookie, [cookie = *cookie, completion](bool added) {
        if (added)
          RWLog("added store cookie: " + describe(cookie), 1);
        else
          std::printf("unable to create store login cookie\n");
        if (completion) completion();
      });
    };
    if (old.empty()) {
      setNew();
      return;
    }
    for (const auto& c : old)
      WebCookieStore::shared().remove(c, [remaining, setNew] {
        if (--*remaining == 0) setNew();
      });
  });
}

void StoreCookie::refresh(std::function<void()> completion) {
  refresh(AppServices::shared().currentEndpoints().storeCookieScopeURL, LoginController::shared().token(),
          std::move(completion));
}

void StoreCookie::followTokenChanges() {
  static bool following = false;
  if (following) return;
  following = true;
  AppServices::shared().addObserveHandler([] { refresh(); });
}
