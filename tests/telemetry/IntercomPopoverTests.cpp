// The messaging popover under the virtual display, with the stand-in messenger page: it opens
// and closes from buttons of real windows, outlives them, follows the unread count, and opens
// only web links.

#include <gtest/gtest.h>

#include "TelemetryTestSupport.h"
#include "canvas/WebViewController.h"
#include "foundation/SharedNames.h"
#include "platform/NotificationCenter.h"
#include "platform/UrlOpener.h"
#include "telemetry/IntercomPopover.h"

using namespace telemetrytest;

namespace {

struct ButtonWindow {
  ButtonWindow() : window(gtk_window_new(GTK_WINDOW_TOPLEVEL)), button(gtk_button_new_with_label("Messages")) {
    gtk_window_set_default_size(GTK_WINDOW(window), 500, 700);
    gtk_widget_set_valign(button, GTK_ALIGN_START);
    gtk_widget_set_halign(button, GTK_ALIGN_START);
    gtk_container_add(GTK_CONTAINER(window), button);
    gtk_widget_show_all(window);
    waitFor([this] { return gtk_widget_get_mapped(button); });
  }
  ~ButtonWindow() { close(); }
  void close() {
    if (window) gtk_widget_destroy(window);
    window = nullptr;
  }
  GtkWidget* window;
  GtkWidget* button;
};

struct Messaging {
  Messaging() {
    initGtk();
    popover = std::make_unique<IntercomPopover>(IntercomPopover::Dependencies{
        notifications,
        [this](double seconds, std::function<void()> work) { delayed.emplace_back(seconds, std::move(work)); }});
    counts = notifications.addObserver(IntercomUnreadCountDidChangeNotification, popover.get(),
                                       [this](const Notification& n) { posted.push_back((*n.userInfo)["count"]); });
    loaded = popover->observeIsLoaded([this] { ++loadedReports; });
  }
  std::optional<nlohmann::json> page(const std::string& script) {
    return evaluate(popover->intercomViewController().webViewController().webView(), script);
  }
  // -1 and none while the page does not answer.
  long shows() {
    auto n = page("window.Intercom.commands.filter(function (c) { return c === 'show'; }).length");
    return n && n->is_number_integer() ? n->get<long>() : -1;
  }
  std::vector<std::string> commands() {
    auto list = page("window.Intercom.commands");
    return list && list->is_array() ? list->get<std::vector<std::string>>() : std::vector<std::string>{};
  }

  NotificationCenter notifications;
  std::vector<std::pair<double, std::function<void()>>> delayed;
  std::vector<nlohmann::json> posted;
  int loadedReports = 0;
  std::unique_ptr<IntercomPopover> popover;
  ObserverToken counts, loaded;
};

TEST(IntercomPopover, LoadsTheMessengerOnceAndTogglesFromButtons) {
  Messaging m;
  ButtonWindow a, b;
  m.popover->load();
  ASSERT_TRUE(waitFor([&] { return m.popover->isLoaded(); }));
  EXPECT_EQ(m.loadedReports, 1);
  EXPECT_FALSE(m.popover->isShown());
  EXPECT_EQ(m.page("window.Intercom.settings.app_id"), "wrhplbzc");
  EXPECT_EQ(m.page("location.protocol"), "file:");

  m.popover->toggle(a.button);
  ASSERT_TRUE(m.popover->isShown());
  EXPECT_EQ(m.popover->currentButton(), a.button);
  GtkWidget* shownIn = gtk_widget_get_ancestor(m.popover->intercomViewController().view(), GTK_TYPE_POPOVER);
  ASSERT_TRUE(shownIn);
  EXPECT_EQ(gtk_popover_get_relative_to(GTK_POPOVER(shownIn)), a.button);
  ASSERT_TRUE(waitFor([&] { return m.commands() == std::vector<std::string>{"show"}; }));

  m.popover->toggle(a.button);
  EXPECT_FALSE(m.popover->isShown());
  EXPECT_EQ(m.popover->currentButton(), nullptr);
  ASSERT_TRUE(waitFor([&] { return m.commands() == std::vector<std::string>{"show", "hide"}; }));

  m.popover->toggle(a.button);
  m.popover->toggle(b.button);  // from another window: closes, then opens there
  EXPECT_TRUE(m.popover->isShown());
  EXPECT_EQ(m.popover->currentButton(), b.button);
  ASSERT_TRUE(waitFor([&] { return m.shows() == 3; }));

  // The page lives on when the window it hangs from goes.
  b.close();
  EXPECT_EQ(m.popover->currentButton(), nullptr);
  EXPECT_FALSE(m.popover->isShown());
  m.popover->toggle(a.button);
  EXPECT_TRUE(m.popover->isShown());
  ASSERT_TRUE(waitFor([&] { return m.shows() == 4; }));
  EXPECT_EQ(m.loadedReports, 1);

  m.popover->hide();
  EXPECT_FALSE(m.popover->isShown());
  GtkWidget* offscreen = gtk_offscreen_window_new();
  GtkWidget* loose = gtk_button_new();
  gtk_container_add(GTK_CONTAINER(offscreen), loose);
  m.popover->show(loose);  // in no real window: nothing happens
  EXPECT_FALSE(m.popover->isShown());
  gtk_widget_destroy(offscreen);
}

TEST(IntercomPopover, FollowsTheUnreadCountAndOpensOnNewMessages) {
  Messaging m;
  ButtonWindow front;
  m.popover->load();
  ASSERT_TRUE(waitFor([&] { return m.popover->isLoaded(); }));

  m.page("window.Intercom('update', {unread: 2}); true");  // no document: nothing opens
  ASSERT_TRUE(waitFor([&] { return m.posted.size() == 1; }));
  EXPECT_EQ(m.posted[0], 2);
  EXPECT_EQ(m.popover->unreadCount(), 2);
  EXPECT_TRUE(m.delayed.empty());

  m.popover->frontmostDocumentIntercomButton = [&] { return front.button; };
  m.page("window.Intercom('update', {unread: 3}); true");
  ASSERT_TRUE(waitFor([&] { return m.posted.size() == 2; }));
  ASSERT_EQ(m.delayed.size(), 1u);
  EXPECT_EQ(m.delayed[0].first, IntercomPopover::openDelayAfterNewMessages);
  EXPECT_FALSE(m.popover->isShown());
  m.delayed[0].second();
  EXPECT_TRUE(m.popover->isShown());
  EXPECT_EQ(m.popover->currentButton(), front.button);

  m.page("window.Intercom('update', {unread: 1}); true");
  ASSERT_TRUE(waitFor([&] { return m.posted.size() == 3; }));
  EXPECT_EQ(m.posted[2], 1);
  EXPECT_EQ(m.delayed.size(), 1u);

  // Closing the messenger inside the page closes the popover.
  m.page("document.getElementById('close').click(); true");
  ASSERT_TRUE(waitFor([&] { return !m.popover->isShown(); }));
  EXPECT_EQ(m.popover->currentButton(), nullptr);
}

TEST(IntercomPopover, OpensOnlyWebLinksAndIgnoresMalformedMessages) {
  Messaging m;
  std::vector<std::string> opened;
  UrlOpener::setHandler([&](const std::string& url) { opened.push_back(url); });
  m.popover->load();
  ASSERT_TRUE(waitFor([&] { return m.popover->isLoaded(); }));
  m.page("document.getElementById('help').click(); true");
  ASSERT_TRUE(waitFor([&] { return opened.size() == 1; }));
  EXPECT_EQ(opened[0], "https://help.korvel.io/");

  auto& controller = m.popover->intercomViewController();
  controller.handleBridgeMessage("openUrl", "file:///etc/passwd");
  controller.handleBridgeMessage("openUrl", "javascript:alert(1)");
  controller.handleBridgeMessage("openUrl", "");
  controller.handleBridgeMessage("openUrl", 7);
  controller.handleBridgeMessage("IntercomUnreadChange", {{"count", "2"}});
  controller.handleBridgeMessage("IntercomUnreadChange", {{"count", 1e300}});
  controller.handleBridgeMessage("IntercomUnreadChange", nlohmann::json::array());
  EXPECT_EQ(opened.size(), 1u);
  EXPECT_TRUE(m.posted.empty());
  UrlOpener::setHandler(nullptr);
}

}  // namespace
