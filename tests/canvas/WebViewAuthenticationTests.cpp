// A server's question for credentials (HTTP authentication) goes to the view's hook, never to the
// person: the hook's answer is sent to that host and port, a refusal ends the load, and once an
// answer was turned down the next question names it.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "CanvasTestSupport.h"
#include "platform/Crypto.h"
#include "platform/Data.h"
#include "platform/WebView.h"
#include "support/BareListener.h"

using namespace canvastest;

TEST(WebViewAuthentication, TheHookAnswersAndHearsWhatWasTurnedDown) {
  initGtk();
  BareListener listener;
  ASSERT_TRUE(listener.start());
  WebView view;
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_container_add(GTK_CONTAINER(window), view.widget());
  gtk_widget_show_all(window);

  // The listener turns every answer down: each question after the first names the last answer.
  std::vector<WebView::AuthenticationChallenge> asked;
  view.authenticate = [&](const WebView::AuthenticationChallenge& challenge) -> std::optional<WebView::Credential> {
    asked.push_back(challenge);
    if (!challenge.refusedPassword) return WebView::Credential{"korvel", "first"};
    if (*challenge.refusedPassword == "first") return WebView::Credential{"korvel", "second"};
    return std::nullopt;
  };
  bool finished = false;
  view.loadFinished = [&](std::uint64_t) { finished = true; };
  view.loadURL(listener.address() + "/challenge-page");
  ASSERT_TRUE(waitFor([&] { return finished && asked.size() == 3; }));

  struct Asked {
    std::optional<std::string> refused;
  };
  const std::vector<Asked> expected{{std::nullopt}, {"first"}, {"second"}};
  for (std::size_t i = 0; i < asked.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(asked[i].host, "127.0.0.1");
    EXPECT_EQ(static_cast<int>(asked[i].port), listener.port);
    EXPECT_EQ(asked[i].realm, "Korvel project server");
    EXPECT_EQ(asked[i].refusedPassword, expected[i].refused);
  }
  std::vector<std::string> sent;
  for (const auto& r : listener.requests)
    if (r["headers"].contains("authorization")) sent.push_back(r["headers"]["authorization"]);
  EXPECT_EQ(sent, (std::vector<std::string>{"Basic " + crypto::base64Encode(dataFromString("korvel:first")),
                                            "Basic " + crypto::base64Encode(dataFromString("korvel:second"))}));
  gtk_container_remove(GTK_CONTAINER(window), view.widget());
  gtk_widget_destroy(window);
}
