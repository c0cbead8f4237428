// Live sharing from the preview window of a real document, against the stand-in project
// server: the popover at the window's Live button, its states as the server reports them, the
// QR code read back from a picture of it, a server told to fail, and the shared page as a phone's
// browser draws it.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

#include "../document/DocumentTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "document/PDDocumentWindow.h"
#include "foundation/SharedNames.h"
#include "platform/NotificationCenter.h"
#include "platform/Pasteboard.h"
#include "platform/UrlOpener.h"
#include "platform/WebView.h"
#include "preview/PreviewWindow.h"
#include "preview/PreviewWindowController.h"
#include "server/CurrentHost.h"
#include "server/ServerController.h"
#include "support/EditorTestSupport.h"
#include "support/PointerClicks.h"
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
    testenv::PrivateDesktop::startOrTell();
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
  // `edit` changes the project before it is packed.
  std::shared_ptr<KXDocument> openProject(const std::string& switches = "",
                                          const std::function<void(const fsys::path&)>& edit = {}) {
    if (switches.empty())
      unsetenv("KORVEL_SERVER_TEST");
    else
      setenv("KORVEL_SERVER_TEST", switches.c_str(), 1);
    auto source = dir / "source";
    writeProject(source, "Home");
    if (edit) edit(source);
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

// Opened with a click on the document window's own Live button, while the editor's page has the
// keyboard, the popover takes the keys: Escape and Control-W close it and nothing else, Return
// starts sharing in it. The document window stays, with its document.
TEST_F(LiveSharing, FromTheDocumentWindowsLiveButtonThePopoverHasTheKeys) {
  auto document = openProject();
  ASSERT_TRUE(document);
  auto* preview = document->previewWindowController();
  auto* window = document->documentWindow();
  GtkWidget* documentWindow = GTK_WIDGET(window->window());
  GtkWidget* live = window->liveButton();
  int escapes = 0;
  auto token = NotificationCenter::defaultCenter().addObserver(PDDocumentWindow::escPressedNotification, nullptr,
                                                               [&](const Notification&) { ++escapes; });
  auto opens = [&](const std::string& name) {
    gtk_window_present(GTK_WINDOW(documentWindow));
    EXPECT_TRUE(waitFor([&] { return gtk_window_is_active(GTK_WINDOW(documentWindow)); }));
    document->ostrelViewController().makeFirstResponder();
    EXPECT_TRUE(waitFor([&] { return gtk_widget_get_mapped(live) && gtk_widget_get_allocated_width(live) > 1; }));
    testenv::clickOn(live);
    return waitFor([&] { return showing(*preview, name); }) && preview->mirrorPopover.anchor() == live;
  };
  auto documentStays = [&] {
    // Longer than a close of the window would take to show.
    return !RunLoop::runUntil([&] { return !gtk_widget_get_mapped(documentWindow); }, 0.5) &&
           controller->documents().size() == 1;
  };
  struct Case {
    const char* keys;
    const char* after;  // the popover's view afterwards; none when it closed
  } cases[] = {
      {"Escape", nullptr},
      {"ctrl+w", nullptr},
      {"Return", "active"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    ASSERT_TRUE(opens("available")) << "the popover opens at the document window's button";
    ASSERT_EQ(testenv::xdotool(std::string("key --clearmodifiers ") + c.keys), 0);
    if (c.after)
      EXPECT_TRUE(waitFor([&] { return showing(*preview, c.after); }, 60)) << view(*preview)->visibleViewName();
    else
      EXPECT_TRUE(waitFor([&] { return !preview->mirrorPopover.isShown() && !gtk_widget_get_mapped(view(*preview)->popover()); }))
          << "the popover stayed";
    EXPECT_TRUE(documentStays()) << "the document window went";
    EXPECT_EQ(escapes, 0) << "the document window had the key too";
  }
  // The sharing Return started stops again.
  press(*preview, "active");
  EXPECT_TRUE(waitFor([&] { return preview->liveSharing().state().kind == Kind::available; }));
}

namespace {

// How many pixels of `widget`'s window, as the display shows it, are nearly the colour given.
int pixelsOfColour(GtkWidget* widget, guint8 r, guint8 g, guint8 b) {
  GdkWindow* window = widget ? gtk_widget_get_window(widget) : nullptr;
  if (!window || !gtk_widget_get_mapped(widget)) return 0;
  GdkPixbuf* picture =
      gdk_pixbuf_get_from_window(window, 0, 0, gdk_window_get_width(window), gdk_window_get_height(window));
  if (!picture) return 0;
  int found = 0;
  const int channels = gdk_pixbuf_get_n_channels(picture), stride = gdk_pixbuf_get_rowstride(picture);
  const guint8* pixels = gdk_pixbuf_read_pixels(picture);
  auto near = [](int a, int b) { return std::abs(a - b) < 16; };
  for (int y = 0; y < gdk_pixbuf_get_height(picture); ++y)
    for (int x = 0; x < gdk_pixbuf_get_width(picture); ++x) {
      const guint8* p = pixels + y * stride + x * channels;
      found += near(p[0], r) && near(p[1], g) && near(p[2], b);
    }
  g_object_unref(picture);
  return found;
}

}  // namespace

// A phone on the network opens the shared address: its browser draws the design's picture, not
// a box with the file's name.
TEST_F(LiveSharing, ThePhonesBrowserDrawsThePicturesAtTheSharedAddress) {
  auto document = openProject("", [](const fsys::path& source) {
    GdkPixbuf* picture = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 40, 40);
    gdk_pixbuf_fill(picture, 0xff00ffff);  // magenta
    ASSERT_TRUE(gdk_pixbuf_save(picture, (source / "design" / "images" / "pic.png").c_str(), "png", nullptr, nullptr));
    g_object_unref(picture);
    std::ofstream(source / "design" / "document.json") << R"({"version": 1, "pages": [{"id": "page-1", "name": "Home",
      "layers": [{"id": "pic", "name": "pic.png", "type": "image", "image": "pic.png", "x": 20, "y": 20, "width": 120, "height": 120}]}]})";
  });
  ASSERT_TRUE(document);
  auto* server = document->serverController();
  // The editor publishes the frame it shows; the shared page follows it.
  ASSERT_TRUE(waitFor([&] { return server->previewData().has_value(); }));
  server->startLiveSharing();
  ASSERT_TRUE(waitFor([&] { return server->state() && server->state()->liveSharing.url; }));
  const std::string shared = *server->state()->liveSharing.url;

  WebView phone;
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 400, 700);
  gtk_container_add(GTK_CONTAINER(window), phone.widget());
  gtk_widget_show_all(window);
  phone.loadURL(shared);
  const std::string pictureShown =
      "(() => { const i = document.querySelector('#device img');"
      " return !!i && i.complete && i.naturalWidth === 40 && !!window.OstrelPictures; })()";
  bool shown = waitFor([&] { return guitest::evaluate(phone, pictureShown, 5) == nlohmann::json(true); }, 60);
  EXPECT_TRUE(shown) << guitest::read(phone, "document.body.innerText").value_or(nullptr).dump();
  // 120 × 120 at the page's scale, which fits the frame into the window.
  int magenta = 0;
  EXPECT_TRUE(waitFor([&] { return (magenta = pixelsOfColour(phone.widget(), 255, 0, 255)) > 60 * 60; })) << magenta;

  // A device wider than the phone's window is drawn whole at its proportions, scaled to fit it.
  document->previewWindowController()->handleDeviceMenuSelection("korvel-tablet");
  const std::string deviceBox =
      "(() => { const d = document.getElementById('device');"
      " if (!d || d.dataset.device !== 'korvel-tablet') return null;"
      " const r = d.getBoundingClientRect(); return [r.left, r.top, r.width, r.height, innerWidth, innerHeight]; })()";
  nlohmann::json box;
  ASSERT_TRUE(waitFor([&] { box = guitest::evaluate(phone, deviceBox, 5).value_or(nullptr); return box.is_array(); }, 30)) << box.dump();
  double left = box[0], top = box[1], width = box[2], height = box[3], innerWidth = box[4], innerHeight = box[5];
  double scale = std::min({1.0, innerWidth / 768, innerHeight / 1024});
  EXPECT_NEAR(width, 768 * scale, 1) << box.dump();
  EXPECT_NEAR(height, 1024 * scale, 1) << box.dump();
  EXPECT_NEAR(left, (innerWidth - width) / 2, 1) << "centred: " << box.dump();
  EXPECT_NEAR(top, (innerHeight - height) / 2, 1) << "centred: " << box.dump();
  // The view is ours: it leaves the window before the window goes.
  gtk_container_remove(GTK_CONTAINER(window), phone.widget());
  gtk_widget_destroy(window);
}
