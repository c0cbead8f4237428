#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "canvas/BackgroundPages.h"
#include "canvas/WebViewController.h"
#include "foundation/AppInfo.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "ui/AppAppearance.h"
#include "ui/ImageMouseOverButton.h"
#include "ui/PDFlippedView.h"
#include "ui/TitlelessWindow.h"
#include "ui/WelcomeWindowButton.h"
#include "ui/WindowDragView.h"
#include "welcome/WelcomeWindow.h"
#include "welcome/WelcomeWindowNoRecentDocumentsView.h"
#include "welcome/WelcomeWindowRecentsTableView.h"

namespace {

constexpr int sideBar = static_cast<int>(WelcomeWindow::sideBarWidth);
constexpr int bottomBar = static_cast<int>(WelcomeWindow::bottomBarHeight);

void fill(cairo_t* cr, const Color& color, double x, double y, double w, double h) {
  cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
  cairo_rectangle(cr, x, y, w, h);
  cairo_fill(cr);
}

// The sidebar's background: its fill with a one-point line along its left edge.
gboolean drawSidebarBackground(GtkWidget* widget, cairo_t* cr, gpointer) {
  double h = gtk_widget_get_allocated_height(widget), w = gtk_widget_get_allocated_width(widget);
  fill(cr, AppAppearance::Colors::welcomeRecentsBackground(), 0, 0, w, h);
  fill(cr, AppAppearance::Colors::welcomeRecentsBorder(), 0, 0, 1, h);
  return FALSE;
}

// The button bar: its fill, a left line, a top line and the divider between the buttons.
gboolean drawButtonBar(GtkWidget* widget, cairo_t* cr, gpointer) {
  double h = gtk_widget_get_allocated_height(widget), w = gtk_widget_get_allocated_width(widget);
  fill(cr, AppAppearance::Colors::welcomeRecentsBackground(), 0, 0, w, h);
  Color line = AppAppearance::Colors::welcomeRecentsBorder();
  fill(cr, line, 0, 0, 1, bottomBar);
  fill(cr, line, 0, 0, sideBar, 1);
  fill(cr, line, sideBar / 2, 0, 1, bottomBar);
  return FALSE;
}

}  // namespace

struct WelcomeWindow::Widgets {
  TitlelessWindow window{WelcomeWindow::width, WelcomeWindow::height};
  // Windowless, so that it paints beneath the list and the bar rather than over them.
  GtkWidget* sidebarBackground = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  PDFlippedView bar;
  GtkWidget* barBackground = gtk_drawing_area_new();
  WelcomeWindowButton openButton{"Open\u2026"};
  WelcomeWindowButton newButton{"New"};
  WindowDragView dragStrip;
  ImageMouseOverButton closeButton{30, 30, "close"};
  std::unique_ptr<Timer> fade;
  gulong activeHandler = 0;
};

WelcomeWindow::WelcomeWindow() : widgets_(std::make_unique<Widgets>()) {
  webView_ = WebViewController::create(false, WebViewController::PageProcess::signIn);
  std::weak_ptr<bool> alive = alive_;
  webView_->setBridgeHandler([this, alive](const std::string& method, const nlohmann::json& arguments) {
    if (!alive.expired()) handleBridgeMethod(method, arguments);
  });
  auto& window = widgets_->window;
  window.setTitle("Welcome to Korvel");
  window.setBackgroundColor(AppAppearance::Colors::welcomeBackground());
  AppAppearance::shared().observeHandlers.push_back([this, alive] {
    if (alive.expired()) return;
    widgets_->window.setBackgroundColor(AppAppearance::Colors::welcomeBackground());
  });
  widgets_->activeHandler =
      g_signal_connect(window.window(), "notify::is-active", G_CALLBACK(+[](GObject*, gpointer, gpointer self) {
                         auto* welcome = static_cast<WelcomeWindow*>(self);
                         if (welcome->isKeyWindow()) welcome->didBecomeKey();
                       }),
                       this);
  build();
}

WelcomeWindow::~WelcomeWindow() {
  *alive_ = false;
  if (widgets_->activeHandler) g_signal_handler_disconnect(widgets_->window.window(), widgets_->activeHandler);
  widgets_->fade.reset();
  auto& content = widgets_->window.flippedContentView();
  content.removeSubview(webView_->webView().widget());
  if (recentsTableView_) content.removeSubview(recentsTableView_->widget());
  if (noRecentDocumentsView_ && recentsTableView_)
    recentsTableView_->view().removeSubview(noRecentDocumentsView_->widget());
  noRecentDocumentsView_.reset();
  recentsTableView_.reset();
  webView_->cleanup();
}

void WelcomeWindow::build() {
  // Hidden, the page waits for the documents being opened; shown, it loads at once.
  std::weak_ptr<bool> waiting = alive_;
  BackgroundPages::whenIdle([this, waiting] {
    if (!waiting.expired()) loadWelcomeOnce();
  });
  buildSidebar();
  // The page and the strip by which the window is dragged; the close button on top.
  auto& content = widgets_->window.flippedContentView();
  content.addSubview(webView_->webView().widget(), {0, 0, width - sideBar, height});
  content.addSubview(widgets_->dragStrip.widget(), {0, 0, width - sideBar, dragStripHeight});
  auto& close = widgets_->closeButton;
  std::weak_ptr<bool> alive = alive_;
  close.action = [this, alive] {
    if (!alive.expired()) this->close();
  };
  // The toolkit places children from the window's corner; the button's image keeps its place.
  content.addSubview(close.widget(), {0, 0, 30, 30});
  auto tint = [&close] {
    close.setTintColor(AppAppearance::Colors::welcomeCloseButtonTint());
    close.setHighlightTintColor(AppAppearance::Colors::welcomeCloseButtonHighlightTint());
  };
  tint();
  AppAppearance::shared().observeHandlers.push_back([this, alive] {
    if (alive.expired()) return;
    widgets_->closeButton.setTintColor(AppAppearance::Colors::welcomeCloseButtonTint());
    widgets_->closeButton.setHighlightTintColor(AppAppearance::Colors::welcomeCloseButtonHighlightTint());
  });
  // Until the page reports its document, it stays hidden.
  gtk_widget_set_opacity(webView_->webView().widget(), 0);
}

void WelcomeWindow::loadWelcomeOnce() {
  if (welcomeRequested_) return;
  welcomeRequested_ = true;
  loadWelcome();
}

void WelcomeWindow::loadWelcome() {
  auto index = Resources::path("index", "html", "WelcomeWindow");
  std::error_code missing;
  if (!std::filesystem::exists(index, missing)) return;
  webView_->webView().setDeveloperExtrasEnabled(false);
  GdkRGBA clear = {0, 0, 0, 0};
  webkit_web_view_set_background_color(webView_->webView().webKitView(), &clear);
  std::weak_ptr<bool> alive = alive_;
  webView_->setDocumentReadyHandler([this, alive](const nlohmann::json&) {
    if (!alive.expired()) fadeInPage();
  });
  std::ifstream in(index, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in && !in.eof()) return;
  std::string html = text.str();
  if (!g_utf8_validate(html.data(), static_cast<gssize>(html.size()), nullptr)) return;
  char* uri = g_filename_to_uri(std::filesystem::absolute(index).c_str(), nullptr, nullptr);
  if (!uri) return;
  std::string base = uri;
  g_free(uri);
  webView_->loadHTMLString(fillTemplate(html, AppInfo::buildName(), AppInfo::shortVersion()), base);
}

void WelcomeWindow::fadeInPage() {
  GtkWidget* page = webView_->webView().widget();
  if (!gtk_widget_get_parent(page)) return;
  std::weak_ptr<bool> alive = alive_;
  MainQueue::async([this, alive, page] {
    if (alive.expired()) return;
    gtk_widget_set_opacity(page, 0);
    constexpr double frames = 15;  // 0.25 s
    widgets_->fade = Timer::scheduled(0.25 / frames, true, [this, page] {
      double opacity = std::min(1.0, gtk_widget_get_opacity(page) + 1.0 / frames);
      gtk_widget_set_opacity(page, opacity);
      if (opacity >= 1.0) widgets_->fade->invalidate();
    });
  });
}

void WelcomeWindow::buildSidebar() {
  const int x0 = width - sideBar, h0 = height - bottomBar;
  auto& content = widgets_->window.flippedContentView();
  loadRecentFiles();
  g_signal_connect(widgets_->sidebarBackground, "draw", G_CALLBACK(drawSidebarBackground), nullptr);
  content.addSubview(widgets_->sidebarBackground, {x0, 0, sideBar, height});

  recentsTableView_ = std::make_unique<WelcomeWindowRecentsTableView>(sideBar, h0);
  std::weak_ptr<bool> alive = alive_;
  recentsTableView_->recentDocuments = [this, alive] {
    return alive.expired() ? std::vector<std::filesystem::path>{} : recentDocuments_;
  };
  recentsTableView_->onActivate = [this, alive] {
    if (!alive.expired()) openRecentFile();
  };
  content.addSubview(recentsTableView_->widget(), {x0, 0, sideBar, h0});
  loadRecentFiles();
  recentsTableView_->reloadData(recentDocuments_);
  showOrHideNoRecentFileInfo();
  if (!recentDocuments_.empty()) recentsTableView_->selectRow(0);

  auto& bar = widgets_->bar;
  g_signal_connect(widgets_->barBackground, "draw", G_CALLBACK(drawButtonBar), nullptr);
  bar.setFillingSubview(widgets_->barBackground);
  content.addSubview(bar.widget(), {x0, h0, sideBar, bottomBar});
  const int half = sideBar / 2;
  widgets_->openButton.action = [this, alive] {
    if (!alive.expired()) openFile();
  };
  bar.addSubview(widgets_->openButton.widget(), {2, 2, half - 4, bottomBar - 4});
  widgets_->newButton.action = [this, alive] {
    if (!alive.expired()) newPrototype();
  };
  bar.addSubview(widgets_->newButton.widget(), {half - 1 + 2, 2, half - 4, bottomBar - 4});
  gtk_widget_show_all(bar.widget());
  recentsTableView_->grabFocus();

  colourSidebar();
  AppAppearance::shared().observeHandlers.push_back([this, alive] {
    if (!alive.expired()) colourSidebar();
  });
}

void WelcomeWindow::colourSidebar() {
  gtk_widget_queue_draw(widgets_->sidebarBackground);
  gtk_widget_queue_draw(widgets_->barBackground);
  for (auto* button : {&widgets_->openButton, &widgets_->newButton})
    button->setTitle(button->title(), AppAppearance::Colors::welcomeRecentsTitle());
  if (recentsTableView_) recentsTableView_->reloadData(recentDocuments_);
}

void WelcomeWindow::showOrHideNoRecentFileInfo() {
  if (recentDocuments_.empty()) {
    if (!noRecentDocumentsView_)
      noRecentDocumentsView_ = std::make_unique<WelcomeWindowNoRecentDocumentsView>(sideBar, 49);
    if (recentsTableView_) {
      recentsTableView_->view().addSubview(noRecentDocumentsView_->widget(), {0, 169, sideBar, 49});
      gtk_widget_show_all(noRecentDocumentsView_->widget());
    }
  } else if (noRecentDocumentsView_ && recentsTableView_) {
    recentsTableView_->view().removeSubview(noRecentDocumentsView_->widget());
  }
}

bool WelcomeWindow::isShowingNoRecentFiles() const {
  return noRecentDocumentsView_ && recentsTableView_ &&
         recentsTableView_->view().contains(noRecentDocumentsView_->widget());
}

GtkWindow* WelcomeWindow::gtkWindow() const {
  return widgets_->window.window();
}

bool WelcomeWindow::isKeyWindow() const {
  return gtk_window_is_active(gtkWindow());
}

bool WelcomeWindow::isVisible() const {
  return widgets_->window.isOnScreen();
}

void WelcomeWindow::close() {
  widgets_->window.close();
}

void WelcomeWindow::makeKeyAndOrderFront() {
  loadWelcomeOnce();
  loadRecentFiles();
  place();
  widgets_->window.makeKeyAndOrderFront();
}

void WelcomeWindow::place() {
  GtkWindow* window = gtkWindow();
  if (!welcomeShownThisLaunch_) {
    welcomeShownThisLaunch_ = true;
    widgets_->window.center();
    return;
  }
  GdkDisplay* display = gdk_display_get_default();
  GdkMonitor* monitor = display ? gdk_display_get_primary_monitor(display) : nullptr;
  if (!monitor && display && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
  if (!monitor) return;
  GdkRectangle area;
  gdk_monitor_get_workarea(monitor, &area);
  int x = 0, y = 0;
  gtk_window_get_position(window, &x, &y);
  if (liesOffScreen(x, y, width, height, area.width, area.height)) {
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    gtk_window_move(window, std::max(0, (area.width - width) / 2), std::max(0, (area.height - height) / 2));
  }
}

void WelcomeWindow::didBecomeKey() {
  refreshRecents();
}
