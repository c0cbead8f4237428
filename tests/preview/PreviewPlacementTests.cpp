// The preview window beside its document window on a display of the test's own with a window
// manager: it follows the document window's real moves, stays where the person drags it, and
// answers the settings menu's keys. KORVEL_TEST_SHOTS names a folder for pictures of it.
#include <gtest/gtest.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <vector>
#include <string>

#include "FakePreviewDocument.h"
#include "platform/RunLoop.h"
#include "preview/PreviewWindow.h"
#include "support/PointerClicks.h"
#include "support/PrivateDesktop.h"
#include "support/TestEnvironment.h"
#include "ui/MirrorPopover.h"
#include "ui/MirrorPopoverViewController.h"

namespace {

// The preview's frame (title bar and borders included), in root coordinates.
GdkRectangle frameExtents(GtkWindow* window) {
  GdkRectangle extents{};
  gdk_window_get_frame_extents(gtk_widget_get_window(GTK_WIDGET(window)), &extents);
  return extents;
}

// One click, as a person's, on the close button of the window manager's frame: the title bar's
// last button. Whether the click was made.
bool clickCloseButton(GtkWindow* window) {
  GdkRectangle extents = frameExtents(window);
  double chrome = PreviewWindow::chromeOf(window);
  EXPECT_GT(chrome, 4) << "the window manager gives the preview a title bar";
  return chrome > 4 && testenv::xdotool("mousemove --sync " + std::to_string(extents.x + extents.width - 10) + " " +
                                        std::to_string(extents.y + int(chrome / 2)) + " click 1") == 0;
}

struct Origin {
  int x = 0, y = 0;
  bool operator==(const Origin&) const = default;
};

Origin originOf(GtkWindow* window) {
  Origin o;
  gtk_window_get_position(window, &o.x, &o.y);
  return o;
}

// The widget of `root` with this name, if any.
GtkWidget* named(GtkWidget* root, const char* name) {
  if (g_strcmp0(gtk_widget_get_name(root), name) == 0) return root;
  GtkWidget* found = nullptr;
  if (GTK_IS_CONTAINER(root)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(root));
    for (GList* c = children; c && !found; c = c->next) found = named(GTK_WIDGET(c->data), name);
    g_list_free(children);
  }
  return found;
}

using testenv::clickOn;

std::string xid(GtkWindow* window) {
  return std::to_string(gdk_x11_window_get_xid(gtk_widget_get_window(GTK_WIDGET(window))));
}

// Once both windows have drawn themselves, a picture of the screen.
void picture(const std::string& name, std::initializer_list<GtkWindow*> windows) {
  const char* folder = getenv("KORVEL_TEST_SHOTS");
  if (!folder) return;
  int drawn = 0;
  std::vector<gulong> handlers;
  for (auto* w : windows) {
    handlers.push_back(g_signal_connect_after(w, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, int* n) {
                                                ++*n;
                                                return FALSE;
                                              }),
                                              &drawn));
    gtk_widget_queue_draw(GTK_WIDGET(w));
  }
  RunLoop::runUntil([&] { return drawn >= int(windows.size()); }, 10);
  auto it = handlers.begin();
  for (auto* w : windows) g_signal_handler_disconnect(w, *it++);
  gdk_display_sync(gdk_display_get_default());
  GdkWindow* root = gdk_get_default_root_window();
  if (GdkPixbuf* shot = gdk_pixbuf_get_from_window(root, 0, 0, gdk_window_get_width(root), gdk_window_get_height(root))) {
    gdk_pixbuf_save(shot, (std::string(folder) + "/" + name + ".png").c_str(), "png", nullptr, nullptr);
    g_object_unref(shot);
  }
}

class PreviewPlacement : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    desktop = testenv::PrivateDesktop::startOrTell();
    gtk_init_check(nullptr, nullptr);
  }
  void SetUp() override {
    if (!desktop) GTEST_SKIP() << "needs Xvfb and openbox";
    documentWindow = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    gtk_window_set_title(documentWindow, "Document");
    gtk_window_set_default_size(documentWindow, 820, 560);
    gtk_window_move(documentWindow, 20, 60);
    gtk_widget_show_all(GTK_WIDGET(documentWindow));
    ASSERT_TRUE(RunLoop::runUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(documentWindow)); }, 30));
    g_signal_connect(documentWindow, "configure-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, int* n) {
                       ++*n;
                       return FALSE;
                     }),
                     &documentConfigures);
    document = WindowedDocument::make(documentWindow);
    document->loadCatalog(sampleCatalog());
    document->preview->loadWindow();
    preview = document->preview.get();
    previewWindow = preview->window()->window();
  }
  void TearDown() override {
    if (!document) return;
    preview->close();
    document->preview.reset();
    gtk_widget_destroy(GTK_WIDGET(documentWindow));
    RunLoop::runUntil([] { return false; }, 0.1);
  }
  // Shows the preview and waits until it stands where it was put.
  void showPreview() {
    preview->show(false, false);
    ASSERT_TRUE(RunLoop::runUntil([&] {
      return gtk_widget_get_mapped(GTK_WIDGET(previewWindow)) && !preview->window()->hasMovesUnderWay();
    }, 30));
  }
  // Moves the document window as another program would and waits for its move to arrive.
  Origin moveDocument(int dx, int dy) {
    Origin from = originOf(documentWindow);
    int seen = documentConfigures;
    EXPECT_EQ(testenv::xdotool("windowmove --sync " + xid(documentWindow) + " " + std::to_string(from.x + dx) + " " +
                               std::to_string(from.y + dy)),
              0);
    EXPECT_TRUE(RunLoop::runUntil([&] { return documentConfigures > seen && !(originOf(documentWindow) == from); }, 30));
    Origin to = originOf(documentWindow);
    EXPECT_TRUE(to.x - from.x != 0 || to.y - from.y != 0);
    return {to.x - from.x, to.y - from.y};
  }

  static inline bool desktop = false;
  GtkWindow* documentWindow = nullptr;
  int documentConfigures = 0;
  std::shared_ptr<WindowedDocument> document;
  PreviewWindowController* preview = nullptr;
  GtkWindow* previewWindow = nullptr;
};

TEST_F(PreviewPlacement, TheWindowFollowsItsDocumentUntilThePersonDragsIt) {
  showPreview();
  Origin documentAt = originOf(documentWindow);
  Origin previewAt = originOf(previewWindow);
  EXPECT_GE(previewAt.x, documentAt.x) << "placed beside the document window";
  EXPECT_TRUE(preview->window()->isFollowingDocumentWindow());

  // Two real moves of the document window: the preview moves by as much each time (with room
  // for it on the work area).
  for (auto [dx, dy] : {std::pair{40, 40}, std::pair{-30, 25}}) {
    Origin moved = moveDocument(dx, dy);
    Origin expected{previewAt.x + moved.x, previewAt.y + moved.y};
    ASSERT_TRUE(RunLoop::runUntil([&] { return originOf(previewWindow) == expected; }, 30))
        << originOf(previewWindow).x << "," << originOf(previewWindow).y << " for " << expected.x << "," << expected.y;
    previewAt = expected;
  }
  EXPECT_TRUE(preview->window()->isFollowingDocumentWindow());
  picture("preview-follows-document", {documentWindow, previewWindow});

  // The person drags the preview by its title bar, once korvel's moves of it are over.
  ASSERT_TRUE(RunLoop::runUntil([&] { return !preview->window()->hasMovesUnderWay(); }, 30));
  GdkRectangle frame{};
  gdk_window_get_frame_extents(gtk_widget_get_window(GTK_WIDGET(previewWindow)), &frame);
  double chrome = PreviewWindow::chromeOf(previewWindow);
  ASSERT_GT(chrome, 4) << "the window manager gives the preview a title bar";
  int grabX = frame.x + frame.width / 3, grabY = frame.y + int(chrome / 2);
  ASSERT_EQ(testenv::xdotool("mousemove --sync " + std::to_string(grabX) + " " + std::to_string(grabY) + " mousedown 1"), 0);
  for (int step = 1; step <= 6; ++step) {
    testenv::xdotool("mousemove --sync " + std::to_string(grabX - 20 * step) + " " + std::to_string(grabY + 15 * step));
    RunLoop::runUntil([] { return false; }, 0.02);  // lets the window manager's moves arrive between steps
  }
  // A person lets go of the window once it moved under the pointer.
  ASSERT_TRUE(RunLoop::runUntil([&] { return !(originOf(previewWindow) == previewAt); }, 30));
  ASSERT_EQ(testenv::xdotool("mouseup 1"), 0);
  ASSERT_TRUE(RunLoop::runUntil([&] { return !preview->window()->isFollowingDocumentWindow(); }, 30))
      << "the drag detaches the preview";
  picture("preview-dragged-away", {documentWindow, previewWindow});

  // Now it stays where it was put.
  Origin putAt = originOf(previewWindow);
  moveDocument(50, 0);
  gdk_display_sync(gdk_display_get_default());
  RunLoop::runUntil([] { return false; }, 0.05);
  EXPECT_EQ(originOf(previewWindow), putAt);
  EXPECT_FALSE(preview->window()->isFollowingDocumentWindow());

  // Placed again, it follows again.
  showPreview();
  EXPECT_TRUE(preview->window()->isFollowingDocumentWindow());
  previewAt = originOf(previewWindow);
  Origin moved = moveDocument(-40, 30);
  Origin expected{previewAt.x + moved.x, previewAt.y + moved.y};
  EXPECT_TRUE(RunLoop::runUntil([&] { return originOf(previewWindow) == expected; }, 30));
}

// Closed with its frame's close button after korvel moved it (a wide device keeps it on the
// screen so), then shown again: it stands where it stood and follows the document window's next
// move exactly.
TEST_F(PreviewPlacement, ShownAgainAfterItsCloseButtonItFollowsFromWhereItStands) {
  preview->ostrelPreviewUpdate(selectionText("f", {{"deviceType", "phone"}}));
  showPreview();
  Origin first = originOf(previewWindow);
  for (const char* device : {"tablet", "phone"}) {
    preview->ostrelPreviewUpdate(selectionText("f", {{"deviceType", device}}));
    ASSERT_TRUE(RunLoop::runUntil([&] {
      return !preview->window()->isAnimating() && !preview->window()->hasMovesUnderWay();
    }, 30)) << device;
  }
  ASSERT_LT(originOf(previewWindow).x, first.x) << "the tablet took the preview leftwards";
  for (auto [dx, dy] : {std::pair{-30, 20}, std::pair{25, -15}}) {
    SCOPED_TRACE(std::to_string(dx) + "," + std::to_string(dy));
    Origin stood = originOf(previewWindow);
    ASSERT_TRUE(clickCloseButton(previewWindow));
    ASSERT_TRUE(RunLoop::runUntil([&] { return !gtk_widget_get_mapped(GTK_WIDGET(previewWindow)); }, 30))
        << "the close button hides the preview";
    // A person shows it again later: what the close left for the main loop has run by then.
    bool turned = false;
    MainQueue::async([&] { turned = true; });
    ASSERT_TRUE(RunLoop::runUntil([&] { return turned; }, 30));
    showPreview();
    EXPECT_EQ(originOf(previewWindow), stood) << "shown again where it stood";
    EXPECT_TRUE(preview->window()->isFollowingDocumentWindow());
    Origin at = originOf(previewWindow);
    Origin moved = moveDocument(dx, dy);
    Origin expected{at.x + moved.x, at.y + moved.y};
    ASSERT_TRUE(RunLoop::runUntil([&] { return originOf(previewWindow) == expected && !preview->window()->hasMovesUnderWay(); }, 30))
        << originOf(previewWindow).x << "," << originOf(previewWindow).y << " for " << expected.x << "," << expected.y;
    picture("preview-shown-again-follows", {documentWindow, previewWindow});
  }
}

// A resize, as a device change makes one, is answered by the window manager, not by the person:
// the preview follows on; and following never takes it off the work area.
TEST_F(PreviewPlacement, AfterAResizeTheWindowFollowsOnTheWorkArea) {
  showPreview();
  auto frame = preview->window()->frame();
  frame.width += 60;
  frame.height += 90;
  preview->window()->setFrame(frame);
  int width = int(frame.width), height = int(frame.height - preview->window()->chrome());
  ASSERT_TRUE(RunLoop::runUntil([&] {
    int w = 0, h = 0;
    gtk_window_get_size(previewWindow, &w, &h);
    return w == width && h == height && !preview->window()->hasMovesUnderWay();
  }, 30));
  RunLoop::runUntil([] { return false; }, 0.1);  // the window manager's later word, if any
  EXPECT_TRUE(preview->window()->isFollowingDocumentWindow());

  Origin previewAt = originOf(previewWindow);
  Origin moved = moveDocument(-10, 20);
  Origin expected{previewAt.x + moved.x, previewAt.y + moved.y};
  ASSERT_TRUE(RunLoop::runUntil([&] { return originOf(previewWindow) == expected; }, 30))
      << originOf(previewWindow).x << "," << originOf(previewWindow).y << " for " << expected.x << "," << expected.y;

  // Far right and down: the preview stops at the work area's edges, its whole frame on it.
  auto area = PreviewWindow::screenFrameOf(previewWindow);
  ASSERT_TRUE(area);
  moveDocument(int(area->width) / 2, int(area->height) / 3);
  GdkRectangle extents{};
  ASSERT_TRUE(RunLoop::runUntil([&] {
    if (preview->window()->hasMovesUnderWay()) return false;
    gdk_window_get_frame_extents(gtk_widget_get_window(GTK_WIDGET(previewWindow)), &extents);
    return extents.x + extents.width == int(area->x + area->width) || extents.y + extents.height == int(area->y + area->height);
  }, 30)) << "frame " << extents.x << "," << extents.y << " " << extents.width << "x" << extents.height;
  EXPECT_GE(extents.x, int(area->x));
  EXPECT_GE(extents.y, int(area->y));
  EXPECT_LE(extents.x + extents.width, int(area->x + area->width));
  EXPECT_LE(extents.y + extents.height, int(area->y + area->height));
  EXPECT_TRUE(preview->window()->isFollowingDocumentWindow());
  picture("preview-kept-on-the-work-area", {documentWindow, previewWindow});
}

// Keys typed in the preview window: the settings menu's reload runs; arrows move no focus.
TEST_F(PreviewPlacement, TheSettingsMenusKeysWorkInThePreviewWindow) {
  preview->ostrelPreviewUpdate(selectionText("f", {}));
  showPreview();
  gtk_window_present(previewWindow);
  ASSERT_TRUE(RunLoop::runUntil([&] { return gtk_window_is_active(previewWindow); }, 30));
  EXPECT_TRUE(preview->wasKeyWindow());

  int before = document->reloads;
  ASSERT_EQ(testenv::xdotool("key --clearmodifiers ctrl+r"), 0);
  ASSERT_TRUE(RunLoop::runUntil([&] { return document->reloads == before + 1; }, 30));

  // The settings button has the focus; arrows that nothing uses leave it there.
  GtkWidget* settings = named(GTK_WIDGET(previewWindow), "settings");
  ASSERT_TRUE(settings);
  gtk_widget_grab_focus(settings);
  ASSERT_EQ(gtk_window_get_focus(previewWindow), settings);
  ASSERT_EQ(testenv::xdotool("key --clearmodifiers Left Up Right Down Left"), 0);
  before = document->reloads;
  ASSERT_EQ(testenv::xdotool("key --clearmodifiers ctrl+r"), 0);
  ASSERT_TRUE(RunLoop::runUntil([&] { return document->reloads == before + 1; }, 30)) << "the keys before it arrived";
  EXPECT_EQ(gtk_window_get_focus(previewWindow), settings);

  // A window brought back takes its frame again at once, without a spring.
  preview->restoreState();
  EXPECT_FALSE(preview->window()->isAnimating());

  // Another window became key: the state clears.
  gtk_window_present(documentWindow);
  EXPECT_TRUE(RunLoop::runUntil([&] { return !preview->wasKeyWindow(); }, 30));
}
}  // namespace

namespace {
// The window's state and type as the window manager keeps them on the window.
std::string property(GtkWindow* window, const char* name) {
  gdk_display_sync(gdk_display_get_default());
  std::string out;
  testenv::run("xprop -id " + xid(window) + " " + name, &out);
  return out;
}
bool isFullScreen(GtkWindow* window) { return property(window, "_NET_WM_STATE").find("_NET_WM_STATE_FULLSCREEN") != std::string::npos; }
}  // namespace

// F11 and the menu's item make the preview full screen under a window manager, and bring it back
// where it was, a utility window again.
TEST_F(PreviewPlacement, FullScreenFillsTheScreenAndComesBack) {
  preview->ostrelPreviewUpdate(selectionText("f", {}));
  showPreview();
  gtk_window_present(previewWindow);
  ASSERT_TRUE(RunLoop::runUntil([&] { return gtk_window_is_active(previewWindow); }, 30));
  Origin at = originOf(previewWindow);
  int width = 0, height = 0;
  gtk_window_get_size(previewWindow, &width, &height);
  ASSERT_NE(property(previewWindow, "_NET_WM_WINDOW_TYPE").find("_NET_WM_WINDOW_TYPE_UTILITY"), std::string::npos);

  ASSERT_EQ(testenv::xdotool("key --clearmodifiers F11"), 0);
  ASSERT_TRUE(RunLoop::runUntil([&] { return isFullScreen(previewWindow); }, 30)) << property(previewWindow, "_NET_WM_STATE");
  GdkRectangle screen{};
  gdk_monitor_get_geometry(gdk_display_get_monitor(gdk_display_get_default(), 0), &screen);
  EXPECT_TRUE(RunLoop::runUntil([&] {
    int w = 0, h = 0;
    gtk_window_get_size(previewWindow, &w, &h);
    return w == screen.width && h == screen.height;
  }, 30));
  EXPECT_TRUE(RunLoop::runUntil([&] { return preview->isFullScreen(); }, 30));
  picture("preview-full-screen", {previewWindow});

  preview->togglePreviewFullscreen();
  ASSERT_TRUE(RunLoop::runUntil([&] { return !isFullScreen(previewWindow); }, 30));
  EXPECT_TRUE(RunLoop::runUntil([&] {
    int w = 0, h = 0;
    gtk_window_get_size(previewWindow, &w, &h);
    return originOf(previewWindow) == at && w == width && h == height;
  }, 30)) << originOf(previewWindow).x << "," << originOf(previewWindow).y;
  EXPECT_NE(property(previewWindow, "_NET_WM_WINDOW_TYPE").find("_NET_WM_WINDOW_TYPE_UTILITY"), std::string::npos);
  EXPECT_FALSE(preview->isFullScreen());
  EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(previewWindow)));
}

namespace {
// What the screen shows of `widget`, as a person sees it: the root window's pixels where the
// widget is, cut to the screen.
bool screenPicture(GtkWidget* widget, const std::filesystem::path& png) {
  GdkWindow* window = gtk_widget_get_window(widget);
  if (!window || !gtk_widget_get_mapped(widget)) return false;
  gdk_display_sync(gdk_display_get_default());
  int x = 0, y = 0;
  gdk_window_get_origin(window, &x, &y);
  GtkAllocation a{};
  gtk_widget_get_allocation(widget, &a);
  if (gtk_widget_get_has_window(widget) && !gtk_widget_is_toplevel(widget)) a.x = a.y = 0;
  if (gtk_widget_is_toplevel(widget)) a.x = a.y = 0;
  GdkWindow* root = gdk_get_default_root_window();
  int left = std::max(0, x + a.x), top = std::max(0, y + a.y);
  int right = std::min(gdk_window_get_width(root), x + a.x + a.width), bottom = std::min(gdk_window_get_height(root), y + a.y + a.height);
  if (right <= left || bottom <= top) return false;
  GdkPixbuf* picture = gdk_pixbuf_get_from_window(root, left, top, right - left, bottom - top);
  if (!picture) return false;
  bool saved = gdk_pixbuf_save(picture, png.c_str(), "png", nullptr, nullptr);
  g_object_unref(picture);
  return saved;
}
}  // namespace

// In the smallest preview the window allows, the whole live-sharing popover shows, and a phone
// reads its QR code off the screen.
TEST_F(PreviewPlacement, TheLiveSharingPopoverShowsWholeBesideTheSmallestPreview) {
  const std::string shared = "http://127.0.0.1:8123/";
  preview->ostrelPreviewUpdate(selectionText("f", {}));
  showPreview();
  gtk_window_present(previewWindow);
  ASSERT_TRUE(RunLoop::runUntil([&] { return gtk_window_is_active(previewWindow); }, 30));
  double chrome = PreviewWindow::chromeOf(previewWindow);
  struct Case {
    int width, height;
  } cases[] = {{250, 250}, {600, 250}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    auto frame = preview->window()->frame();
    preview->window()->setFrame({frame.x, frame.y, double(c.width), c.height + chrome});
    ASSERT_TRUE(RunLoop::runUntil([&] {
      int w = 0, h = 0;
      gtk_window_get_size(previewWindow, &w, &h);
      return w == c.width && h == c.height;
    }, 30));
    preview->mirrorPopover.setState({MirrorPopoverState::Kind::active, shared, {}});
    GtkWidget* live = preview->window()->liveButton();
    ASSERT_TRUE(RunLoop::runUntil([&] { return gtk_widget_get_mapped(live) && gtk_widget_get_allocated_width(live) > 1; }, 30));
    gtk_button_clicked(GTK_BUTTON(live));
    ASSERT_TRUE(RunLoop::runUntil([&] {
      auto* v = preview->mirrorPopover.viewController();
      return v && preview->mirrorPopover.isShown() && gtk_widget_get_mapped(v->popover()) && !v->isTransitionRunning();
    }, 30));
    GtkWidget* popover = preview->mirrorPopover.viewController()->popover();
    auto png = testenv::freshFolder("popover") / "screen.png";
    std::string read;
    RunLoop::runUntil([&] {
      if (!screenPicture(popover, png)) return false;
      std::string out;
      if (testenv::run("zbarimg --raw -q '" + png.string() + "'", &out) != 0) return false;
      while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
      read = out;
      return read == shared;
    }, 20);
    EXPECT_EQ(read, shared) << "the QR code is on the screen whole";
    picture("live-popover-" + std::to_string(c.width) + "x" + std::to_string(c.height), {previewWindow});
    preview->mirrorPopover.close();
    ASSERT_TRUE(RunLoop::runUntil([&] { return !gtk_widget_get_mapped(popover); }, 30));
  }
}

// The settings menu opened with a click while the document window has the keyboard: the menu's
// grab takes the focus off both windows, and the preview stays on the screen under its menu.
// Its actions are drawn as actions, its options (the device item named after its device) with
// their check boxes.
TEST_F(PreviewPlacement, ThePreviewStaysUnderItsOwnMenu) {
  preview->ostrelPreviewUpdate(selectionText("f", {{"deviceType", "phone"}}));
  showPreview();
  gtk_window_present(documentWindow);
  ASSERT_TRUE(RunLoop::runUntil([&] { return gtk_window_is_active(documentWindow); }, 30));
  GtkWidget* settings = named(GTK_WIDGET(previewWindow), "settings");
  ASSERT_TRUE(settings);
  GtkWidget* menu = nullptr;
  auto opened = [&] {
    GList* menus = gtk_menu_get_for_attach_widget(settings);
    menu = menus ? GTK_WIDGET(menus->data) : nullptr;
    return menu && gtk_widget_get_mapped(menu);
  };
  // A click that came before the window was ready for it is tried again.
  for (int attempt = 0; attempt < 3 && !opened(); ++attempt) {
    clickOn(settings);
    RunLoop::runUntil(opened, 10);
  }
  ASSERT_TRUE(opened()) << "the settings menu opens";
  // Longer than the preview takes to follow its document window out.
  EXPECT_FALSE(RunLoop::runUntil([&] { return !gtk_widget_get_mapped(GTK_WIDGET(previewWindow)); }, 1.5))
      << "the preview went while its menu was open";
  EXPECT_TRUE(gtk_widget_get_mapped(menu));
  picture("preview-settings-menu", {previewWindow});

  std::vector<std::string> actions, options;
  GList* items = gtk_container_get_children(GTK_CONTAINER(menu));
  for (GList* i = items; i; i = i->next) {
    GtkWidget* item = GTK_WIDGET(i->data);
    if (GTK_IS_SEPARATOR_MENU_ITEM(item) || gtk_menu_item_get_submenu(GTK_MENU_ITEM(item))) continue;
    (GTK_IS_CHECK_MENU_ITEM(item) ? options : actions).push_back(gtk_widget_get_name(item));
  }
  g_list_free(items);
  EXPECT_EQ(actions, (std::vector<std::string>{"Rotate", "Hand", "Reload Preview", "Web Inspector", "Full Screen"}));
  EXPECT_EQ(options, (std::vector<std::string>{"Canvas", "Responsive Canvas", "Phone X", "Touch Cursor", "Responsive"}));

  ASSERT_EQ(testenv::xdotool("key --clearmodifiers Escape"), 0);
  EXPECT_TRUE(RunLoop::runUntil([&] { return !gtk_widget_get_mapped(menu); }, 30));
  EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(previewWindow)));
}

// The live-sharing popover lies above every program's windows: a switch to another program
// closes it.
TEST_F(PreviewPlacement, TheLiveSharingPopoverClosesWhenThePersonSwitchesToAnotherProgram) {
  preview->ostrelPreviewUpdate(selectionText("f", {}));
  showPreview();
  gtk_window_present(previewWindow);
  ASSERT_TRUE(RunLoop::runUntil([&] { return gtk_window_is_active(previewWindow); }, 30));
  preview->mirrorPopover.setState({MirrorPopoverState::Kind::active, "http://127.0.0.1:8123/", {}});
  GtkWidget* live = preview->window()->liveButton();
  ASSERT_TRUE(RunLoop::runUntil([&] { return gtk_widget_get_mapped(live) && gtk_widget_get_allocated_width(live) > 1; }, 30));
  clickOn(live);
  ASSERT_TRUE(RunLoop::runUntil([&] {
    auto* v = preview->mirrorPopover.viewController();
    return v && preview->mirrorPopover.isShown() && gtk_widget_get_mapped(v->popover());
  }, 30));
  GtkWidget* popover = preview->mirrorPopover.viewController()->popover();

  // Another program's window, given the focus by the window manager.
  std::string pid;
  testenv::run("xlogo -geometry 300x300+600+200 -title 'Another program' >/dev/null 2>&1 & echo $!", &pid);
  struct Ender {
    std::string pid;
    ~Ender() { testenv::run("kill " + pid + " 2>/dev/null"); }
  } ender{pid};
  std::string id;
  ASSERT_TRUE(RunLoop::runUntil([&] {
    return testenv::xdotool("search --onlyvisible --name 'Another program'", &id) == 0 && !id.empty();
  }, 30));
  id = id.substr(0, id.find('\n'));
  ASSERT_TRUE(RunLoop::runUntil([&] {
    testenv::xdotool("windowactivate " + id);
    return RunLoop::runUntil([&] { return !gtk_window_is_active(previewWindow); }, 2);
  }, 30)) << "the other program takes the focus";
  EXPECT_TRUE(RunLoop::runUntil([&] { return !gtk_widget_get_mapped(popover) && !preview->mirrorPopover.isShown(); }, 30))
      << "the popover stayed above the other program";
  picture("live-popover-after-switch", {previewWindow});
}

// The inspector asked for while the window still springs to a new device's size: the window takes
// the inspector's frame and keeps it.
TEST_F(PreviewPlacement, TheInspectorsFrameWinsOverASpringUnderWay) {
  preview->ostrelPreviewUpdate(selectionText("f", {{"deviceType", "phone"}}));
  showPreview();
  preview->ostrelPreviewUpdate(selectionText("f", {{"deviceType", "watch"}}));
  ASSERT_TRUE(preview->window()->isAnimating());
  preview->showInspector();
  EXPECT_FALSE(preview->window()->isAnimating());
  auto width = [&] {
    int w = 0, h = 0;
    gtk_window_get_size(previewWindow, &w, &h);
    return w;
  };
  ASSERT_TRUE(RunLoop::runUntil([&] { return width() >= 950; }, 30)) << width();
  // Longer than the spring would have run.
  EXPECT_FALSE(RunLoop::runUntil([&] { return width() < 950; }, 1.5)) << width();
}

// The live-sharing popover over its preview, opened with a click on the Live button.
class LivePopover : public PreviewPlacement {
 protected:
  void SetUp() override {
    PreviewPlacement::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    preview->ostrelPreviewUpdate(selectionText("f", {{"deviceType", "phone"}}));
    showPreview();
    preview->mirrorPopover.setState({MirrorPopoverState::Kind::active, "http://127.0.0.1:8123/", {}});
  }
  // Clicks Live until the popover is up, as a person clicks again a button that was not ready.
  GtkWidget* openPopover() {
    gtk_window_present(previewWindow);
    EXPECT_TRUE(RunLoop::runUntil([&] { return gtk_window_is_active(previewWindow); }, 30));
    GtkWidget* live = preview->window()->liveButton();
    EXPECT_TRUE(RunLoop::runUntil([&] { return gtk_widget_get_mapped(live) && gtk_widget_get_allocated_width(live) > 1; }, 30));
    auto up = [&] {
      auto* v = preview->mirrorPopover.viewController();
      return v && preview->mirrorPopover.isShown() && gtk_widget_get_mapped(v->popover()) &&
             gtk_widget_get_opacity(v->popover()) >= 1.0;
    };
    for (int attempt = 0; attempt < 3 && !up(); ++attempt) {
      clickOn(live);
      RunLoop::runUntil(up, 10);
    }
    EXPECT_TRUE(up()) << "the popover opens";
    return up() ? preview->mirrorPopover.viewController()->popover() : nullptr;
  }
  bool popoverGone(GtkWidget* popover) { return !preview->mirrorPopover.isShown() && !gtk_widget_get_mapped(popover); }
};

// With the popover open, one click on the close button in the preview's frame closes the preview
// at once, and the popover with it.
TEST_F(LivePopover, TheFramesCloseButtonClosesThePreviewAtOnce) {
  GtkWidget* popover = openPopover();
  ASSERT_TRUE(popover);
  picture("live-popover-before-close", {previewWindow});
  ASSERT_TRUE(clickCloseButton(previewWindow));
  EXPECT_TRUE(RunLoop::runUntil([&] { return !gtk_widget_get_mapped(GTK_WIDGET(previewWindow)); }, 30))
      << "the close button closed the preview";
  EXPECT_TRUE(RunLoop::runUntil([&] { return popoverGone(popover); }, 30)) << "the popover went with it";

  // Shown again, the preview opens its popover again, and the close button works as before.
  showPreview();
  popover = openPopover();
  ASSERT_TRUE(popover);
  preview->mirrorPopover.close();
  ASSERT_TRUE(RunLoop::runUntil([&] { return popoverGone(popover); }, 30));
  ASSERT_TRUE(clickCloseButton(previewWindow));
  EXPECT_TRUE(RunLoop::runUntil([&] { return !gtk_widget_get_mapped(GTK_WIDGET(previewWindow)); }, 30));
}

// The person working in the popover's window closes the popover, and the window stays: a click
// on its title bar, one on its page, Escape, Control-W. A click on the popover itself keeps it.
TEST_F(LivePopover, WorkInItsWindowClosesThePopoverAndTheWindowStays) {
  struct Case {
    const char* name;
    std::function<void()> act;
  } cases[] = {
      {"a click on the title bar",
       [&] {
         GdkRectangle extents = frameExtents(previewWindow);
         int chrome = int(PreviewWindow::chromeOf(previewWindow));
         EXPECT_EQ(testenv::xdotool("mousemove --sync " + std::to_string(extents.x + extents.width / 3) + " " +
                                    std::to_string(extents.y + chrome / 2) + " click 1"),
                   0);
       }},
      {"Escape", [] { EXPECT_EQ(testenv::xdotool("key --clearmodifiers Escape"), 0); }},
      {"Control-W", [] { EXPECT_EQ(testenv::xdotool("key --clearmodifiers ctrl+w"), 0); }},
      {"a click on the page",
       [&] {
         GdkRectangle extents = frameExtents(previewWindow);
         EXPECT_EQ(testenv::xdotool("mousemove --sync " + std::to_string(extents.x + 30) + " " +
                                    std::to_string(extents.y + extents.height - 30) + " click 1"),
                   0);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GtkWidget* popover = openPopover();
    ASSERT_TRUE(popover);
    // A click on the popover's own title leaves it up.
    int px = 0, py = 0;
    gdk_window_get_origin(gtk_widget_get_window(popover), &px, &py);
    EXPECT_EQ(testenv::xdotool("mousemove --sync " + std::to_string(px + gtk_widget_get_allocated_width(popover) / 2) + " " +
                               std::to_string(py + 14) + " click 1"),
              0);
    EXPECT_FALSE(RunLoop::runUntil([&] { return !preview->mirrorPopover.isShown(); }, 0.5)) << "closed by its own click";
    // A title-bar click after another within the double-click time would shade the window.
    RunLoop::runUntil([] { return false; }, 0.6);
    c.act();
    EXPECT_TRUE(RunLoop::runUntil([&] { return popoverGone(popover); }, 30)) << "the popover stayed";
    picture(std::string("live-popover-closed-by-") + c.name, {previewWindow});
    EXPECT_FALSE(RunLoop::runUntil([&] { return !gtk_widget_get_mapped(GTK_WIDGET(previewWindow)); }, 0.5))
        << "the preview went too";
    EXPECT_TRUE(preview->window()->isFollowingDocumentWindow()) << "no drag";
  }
}

// The document window moved while the preview was closed, then the preview shown again: it
// stands where it stood, and follows each of the next ten moves exactly.
TEST_F(PreviewPlacement, MovesOfTheDocumentWhileThePreviewIsClosedBringNoJumpLater) {
  preview->ostrelPreviewUpdate(selectionText("f", {{"deviceType", "phone"}}));
  showPreview();
  Origin stood = originOf(previewWindow);
  ASSERT_TRUE(clickCloseButton(previewWindow));
  ASSERT_TRUE(RunLoop::runUntil([&] { return !gtk_widget_get_mapped(GTK_WIDGET(previewWindow)); }, 30));
  for (auto [dx, dy] : {std::pair{-30, 20}, std::pair{-12, 9}}) moveDocument(dx, dy);
  gdk_display_sync(gdk_display_get_default());
  RunLoop::runUntil([] { return false; }, 0.1);

  showPreview();
  ASSERT_TRUE(RunLoop::runUntil([&] { return originOf(previewWindow) == stood; }, 30))
      << "shown at " << originOf(previewWindow).x << "," << originOf(previewWindow).y << ", it stood at " << stood.x
      << "," << stood.y;
  picture("preview-shown-after-hidden-moves", {documentWindow, previewWindow});
  const std::pair<int, int> moves[] = {{-25, 18}, {14, -9}, {-9, -11}, {11, 13}, {7, -6},
                                       {-13, 8},  {20, 5},  {-6, -15}, {9, 12}, {-8, -10}};
  int index = 0;
  for (auto [dx, dy] : moves) {
    SCOPED_TRACE("move " + std::to_string(++index));
    Origin at = originOf(previewWindow);
    Origin moved = moveDocument(dx, dy);
    Origin expected{at.x + moved.x, at.y + moved.y};
    ASSERT_TRUE(RunLoop::runUntil([&] {
      return originOf(previewWindow) == expected && !preview->window()->hasMovesUnderWay();
    }, 30)) << originOf(previewWindow).x << "," << originOf(previewWindow).y << " for " << expected.x << "," << expected.y;
  }
  EXPECT_TRUE(preview->window()->isFollowingDocumentWindow());
  picture("preview-follows-after-hidden-moves", {documentWindow, previewWindow});
}
