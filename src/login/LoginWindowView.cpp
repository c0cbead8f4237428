#include "LoginWindowView.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>

#include "ui/AppAppearance.h"

namespace {

// The page is transparent over the window's colour. Drawn without compositing, a web view puts
// its clear pixels on the window as they are (black on a display without an alpha channel): its
// own background is the window's colour, opaque.
void paintBackground(TitlelessWindow& window, GtkWidget* page) {
  Color color = AppAppearance::Colors::welcomeBackground();
  window.setBackgroundColor(color);
  if (!WEBKIT_IS_WEB_VIEW(page)) return;
  GdkRGBA rgba = {color.red, color.green, color.blue, 1.0};
  webkit_web_view_set_background_color(WEBKIT_WEB_VIEW(page), &rgba);
}

}  // namespace

LoginWindowView::LoginWindowView(GtkWidget* page)
    : page_(page), window_(width, height), spinner_(spinnerSize, spinnerSize), notice_(gtk_label_new("")) {
  g_object_ref_sink(notice_);
  gtk_label_set_xalign(GTK_LABEL(notice_), 0.5);
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, "label { color: #c0392b; font-weight: bold; }", -1, nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(notice_), GTK_STYLE_PROVIDER(css),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);
  window_.setTitle("Log in");
  paintBackground(window_, page_);
  std::weak_ptr<bool> alive = alive_;
  AppAppearance::shared().observeHandlers.push_back([this, alive] {
    if (alive.expired()) return;
    paintBackground(window_, page_);
  });
  window_.flippedContentView().setFillingSubview(page_);
  window_.flippedContentView().addSubview(dragView_.widget(), {20, 0, width - 20, 100});
}

LoginWindowView::~LoginWindowView() {
  *alive_ = false;
  window_.flippedContentView().removeSubview(notice_);
  g_object_unref(notice_);
}

void LoginWindowView::showNotice(const std::string& text) {
  gtk_label_set_text(GTK_LABEL(notice_), text.c_str());
  if (text.empty())
    window_.flippedContentView().removeSubview(notice_);
  else
    // In the band the page leaves free above its heading, not over the page's footer.
    window_.flippedContentView().addSubview(notice_, {0, noticeTop, width, 24});
}

std::string LoginWindowView::notice() const {
  if (gtk_widget_get_parent(notice_) != window_.flippedContentView().widget()) return {};
  return gtk_label_get_text(GTK_LABEL(notice_));
}

void LoginWindowView::show(int level) {
  window_.setLevel(level);
  window_.center();
  window_.makeKeyAndOrderFront();
}

void LoginWindowView::showLoading() {
  fade_.reset();
  gtk_widget_set_opacity(page_, 0);
  spinner_.setAlpha(0.3);
  window_.flippedContentView().addSubview(
      spinner_.widget(), {(width - spinnerSize) / 2, (height - spinnerSize) / 2, spinnerSize, spinnerSize});
}

void LoginWindowView::showPage() {
  window_.flippedContentView().removeSubview(spinner_.widget());
  if (gtk_widget_get_opacity(page_) >= 1.0) return;
  constexpr double step = 1.0 / 6;  // six frames in 0.1 s
  fade_ = Timer::scheduled(0.1 / 6, true, [this] {
    double opacity = std::min(1.0, gtk_widget_get_opacity(page_) + step);
    gtk_widget_set_opacity(page_, opacity);
    if (opacity >= 1.0) fade_->invalidate();
  });
}

bool LoginWindowView::isSpinnerShown() const {
  return gtk_widget_get_parent(spinner_.widget()) == window_.flippedContentView().widget();
}

double LoginWindowView::pageOpacity() const {
  return gtk_widget_get_opacity(page_);
}
