// Live sharing from the preview window of a real document, against the stand-in project
// server: the popover at the window's Live button, its states as the server reports them, the
// QR code read back from a picture of it, and a server told to fail.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

#include "../document/DocumentTestSupport.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "document/PDDocumentWindow.h"
#include "foundation/SharedNames.h"
#include "platform/NotificationCenter.h"
#include "platform/Pasteboard.h"
#include "platform/UrlOpener.h"
#include "preview/PreviewWindow.h"
#include "preview/PreviewWindowController.h"
#include "server/CurrentHost.h"
#include "server/ServerController.h"
#include "support/PrivateDesktop.h"
#include "support/QRPicture.h"
#include "support/TestEnvironment.h"
#include "ui/MirrorPopoverViewController.h"

using namespace doctests;
using Kind = MirrorPopoverState::Kind;
namespace fsys = std::filesystem;

namespace {

// The popover closes, as it should, when another window takes the focus: on the shared display of
// a parallel run other tests' windows do, so the suite runs on a display of its own.
class LiveSharing : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    if (!testenv::PrivateDesktop::start(&why)) fprintf(stderr, "no desktop of our own: %s\n", why.c_str());
  }
  void SetUp() override {
    setUpDocumentTest();
    controller = std::make_unique<DocumentController>();
    dir = testenv::freshFolder("live");
    UrlOpener::setHandler([this](const std::string& url) { opened.push_back(url); });
  }
  void TearDown() override {
    for (auto& d : controller->documents()) d->close();
    controller.reset();
    unsetenv("KORVEL_SERVER_TEST");
    UrlOpener::setHandler(nullptr);
    RunLoop::runUntil([] { return false; }, 0.2);
  }

  // Opens a project whose server runs with the test switches given, and shows its preview.
  std::shared_ptr<KXDocument> openProject(const std::string& switches = "") {
    if (switches.empty())
      unsetenv("KORVEL_SERVER_TEST");
    else
      setenv("KORVEL_SERVER_TEST", switches.c_str(), 1);
    auto source = dir / "source";
    writeProject(source, "Home");
    makeZip(source, dir / "Project.korvelx");
    auto opened = openWith(*controller, dir / "Project.korvelx");
    EXPECT_TRUE(opened && waitForEditor(*opened));
    if (!opened) return nullptr;
    opened->showPreviewWindow();
    auto* preview = opened->previewWindowController();
    EXPECT_TRUE(waitFor([&] { return preview->liveSharing().state().kind == Kind::available; }));
    EXPECT_TRUE(waitFor([&] { return gtk_widget_get_mapped(preview->window()->liveButton()); }));
    return opened;
  }

  static MirrorPopoverViewController* view(PreviewWindowController& preview) {
    return preview.mirrorPopover.viewController();
  }
  // The popover is on screen showing `name`, with the fade over.
  static bool showing(PreviewWindowController& preview, const std::string& name) {
    auto* v = view(preview);
    return v && preview.mirrorPopover.isShown() && gtk_widget_get_mapped(v->popover()) && v->visibleViewName() == name &&
           !v->isTransitionRunning();
  }
  static void press(PreviewWindowController& preview, const std::string& viewName) {
    GtkWidget* button = view(preview)->mainButton(viewName);
    ASSERT_TRUE(gtk_widget_is_sensitive(button)) << viewName;
    gtk_button_clicked(GTK_BUTTON(button));
  }

  std::unique_ptr<DocumentController> controller;
  fsys::path dir;
  std::vector<std::string> opened;
};

}  // namespace

TEST_F(LiveSharing, StartsShowsTheCodeCopiesAndStopsFromThePreviewWindow) {
  auto document = openProject();
  ASSERT_TRUE(document);
  auto* preview = document->previewWindowController();
  auto* server = document->serverController();
  std::vector<Kind> seen;
  auto observer = NotificationCenter::defaultCenter().addObserver(
      ServerControllerStateDidUpdateNotification, server, [&](const Notification&) {
        Kind kind = preview->liveSharing().state().kind;
        if (seen.empty() || seen.back() != kind) seen.push_back(kind);
      });

  gtk_button_clicked(GTK_BUTTON(preview->window()->liveButton()));
  ASSERT_TRUE(waitFor([&] { return showing(*preview, "available"); }));
  EXPECT_EQ(preview->mirrorPopover.anchor(), preview->window()->liveButton());
  press(*preview, "available");
  EXPECT_EQ(preview->liveSharing().state().kind, Kind::starting) << "shown at once";
  EXPECT_EQ(view(*preview)->visibleViewName(), "starting");
  ASSERT_TRUE(waitFor([&] { return showing(*preview, "active"); }));
  auto shared = server->state()->liveSharing.url.value_or("");
  auto address = Url::parse(shared);
  ASSERT_TRUE(address) << shared;
  // The machine's network address, for a phone to open; loopback only when it has none.
  auto hosts = CurrentHost::IPv4Addresses();
  EXPECT_TRUE(hosts.empty() ? address->isLoopback()
                            : std::find(hosts.begin(), hosts.end(), address->host()) != hosts.end())
      << shared;
  EXPECT_NE(address->port(), server->currentServerURL()->port());
  EXPECT_EQ(preview->liveSharing().state().url, shared);
  EXPECT_EQ(guitest::readQRCode(view(*preview)->popover(), shared), shared);

  // The address goes to the clipboard from the popover's Control-C.
  Pasteboard::general().declareTypes({PasteboardType::string});
  Pasteboard::general().setString("before", PasteboardType::string);
  GdkEvent* key = gdk_event_new(GDK_KEY_PRESS);
  key->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(view(*preview)->popover())));
  key->key.keyval = GDK_KEY_c;
  key->key.state = GDK_CONTROL_MASK;
  gdk_event_set_device(key, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
  gboolean done = FALSE;
  g_signal_emit_by_name(view(*preview)->popover(), "key-press-event", key, &done);
  gdk_event_free(key);
  EXPECT_EQ(Pasteboard::general().stringForType(PasteboardType::string), shared);

  press(*preview, "active");
  EXPECT_FALSE(preview->mirrorPopover.isShown()) << "Stop closes the popover at once";
  ASSERT_TRUE(waitFor([&] { return preview->liveSharing().state().kind == Kind::available; }));
  // Pushes that arrive together are seen as one, so a busy machine may skip a passing state; the
  // order holds, and nothing else comes between.
  const std::vector<Kind> order{Kind::starting, Kind::active, Kind::stopping, Kind::available};
  auto rank = [&](Kind k) { return std::find(order.begin(), order.end(), k) - order.begin(); };
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), Kind::available);
  EXPECT_NE(std::find(seen.begin(), seen.end(), Kind::active), seen.end());
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_LT(rank(seen[i]), static_cast<long>(order.size())) << i;
    if (i > 0) {
      EXPECT_LT(rank(seen[i - 1]), rank(seen[i])) << i;
    }
  }
  EXPECT_FALSE(preview->liveSharing().copyableAddress()) << "no address to copy once sharing stopped";
  Pasteboard::general().setString("after", PasteboardType::string);
  preview->copyLiveSharingURL();
  EXPECT_EQ(Pasteboard::general().stringForType(PasteboardType::string), "after");
  gtk_button_clicked(GTK_BUTTON(preview->window()->liveButton()));
  ASSERT_TRUE(waitFor([&] { return showing(*preview, "available"); }));

  // The menu command closes it, and opens it again at the preview window's button, showing the
  // preview window first.
  document->showLivePreview(nullptr);
  EXPECT_FALSE(preview->mirrorPopover.isShown());
  gtk_widget_hide(GTK_WIDGET(preview->window()->window()));
  document->showLivePreview(nullptr);
  EXPECT_TRUE(preview->isVisible());
  ASSERT_TRUE(waitFor([&] { return showing(*preview, "available"); }));
  EXPECT_EQ(preview->mirrorPopover.anchor(), preview->window()->liveButton());

  // A stopped server can share nothing.
  server->stop();
  ASSERT_TRUE(waitFor([&] { return showing(*preview, "error"); }));
  EXPECT_EQ(preview->liveSharing().state().kind, Kind::unavailable);
  EXPECT_FALSE(gtk_widget_is_sensitive(view(*preview)->mainButton("error")));
}

TEST_F(LiveSharing, AFailingServerShowsTheErrorWithItsButton) {
  auto document = openProject("live-sharing=fail");
  ASSERT_TRUE(document);
  auto* preview = document->previewWindowController();
  gtk_button_clicked(GTK_BUTTON(preview->window()->liveButton()));
  ASSERT_TRUE(waitFor([&] { return showing(*preview, "available"); }));
  press(*preview, "available");
  ASSERT_TRUE(waitFor([&] { return showing(*preview, "error"); }));
  GtkWidget* message = view(*preview)->message("error");
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(message)), "Couldn't start Live Preview.");
  EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(view(*preview)->mainButton("error"))), "Contact Support");
  press(*preview, "error");
  EXPECT_EQ(opened, std::vector<std::string>{MirrorPopover::helpURL});
}

TEST_F(LiveSharing, AStartTheServerNeverAnswersTurnsIntoTheError) {
  auto document = openProject("live-sharing=hang");
  ASSERT_TRUE(document);
  auto* preview = document->previewWindowController();
  preview->liveSharingStartTimeout = 1;
  // The document toolbar's buttons: Preview shows the preview window, Live the popover at itself.
  auto* window = document->documentWindow();
  gtk_widget_hide(GTK_WIDGET(preview->window()->window()));
  gtk_button_clicked(GTK_BUTTON(window->previewButton()));
  EXPECT_TRUE(preview->isVisible());
  gtk_button_clicked(GTK_BUTTON(window->liveButton()));
  ASSERT_TRUE(waitFor([&] { return showing(*preview, "available"); }));
  EXPECT_EQ(preview->mirrorPopover.anchor(), window->liveButton());
  press(*preview, "available");
  ASSERT_TRUE(waitFor([&] { return document->serverController()->state()->liveSharing.status == "starting"; }));
  EXPECT_EQ(view(*preview)->visibleViewName(), "starting");
  ASSERT_TRUE(waitFor([&] { return showing(*preview, "error"); }));
  EXPECT_EQ(preview->liveSharing().state().reason, LiveSharingModel::errorText);
}
