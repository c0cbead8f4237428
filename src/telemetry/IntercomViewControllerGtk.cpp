#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <nlohmann/json.hpp>

#include "account/LoginController.h"
#include "canvas/WebViewController.h"
#include "platform/Resources.h"
#include "telemetry/IntercomViewController.h"
#include "ui/Color.h"
#include "ui/PopoverBackgroundView.h"

namespace {

std::string resourceFolderURL() {
  char* uri = g_filename_to_uri(std::filesystem::absolute(Resources::root()).c_str(), nullptr, nullptr);
  if (!uri) return "";
  std::string out = uri;
  g_free(uri);
  return out.back() == '/' ? out : out + "/";
}

GtkWidget* whitePanel() {
  GtkWidget* panel = gtk_event_box_new();
  auto* provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, "* { background-color: #FFFFFF; }", -1, nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(panel), GTK_STYLE_PROVIDER(provider),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(provider);
  return panel;
}

}  // namespace

void IntercomViewController::loadView() {
  if (view_) return;
  view_ = std::make_unique<PopoverBackgroundView>();
  view_->setBackgroundColor(Color::colorWithHexColorString("004ADD"));
  gtk_widget_set_size_request(view_->widget(), width, height);

  // The white panel covers all but a band at the bottom, where the blue shows; the page lies over both.
  GtkWidget* overlay = gtk_overlay_new();
  GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  GtkWidget* panel = whitePanel();
  gtk_widget_set_vexpand(panel, TRUE);
  gtk_box_pack_start(GTK_BOX(column), panel, TRUE, TRUE, 0);
  GtkWidget* band = gtk_event_box_new();
  gtk_event_box_set_visible_window(GTK_EVENT_BOX(band), FALSE);
  gtk_widget_set_size_request(band, -1, bandHeight);
  gtk_box_pack_start(GTK_BOX(column), band, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(overlay), column);

  GtkWidget* web = webViewController_->webView().widget();
  gtk_widget_set_hexpand(web, TRUE);
  gtk_widget_set_vexpand(web, TRUE);
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), web);
  gtk_container_add(GTK_CONTAINER(view_->widget()), overlay);
  gtk_widget_show_all(view_->widget());

  webViewController_->setBridgeHandler(
      [this](const std::string& method, const nlohmann::json& arguments) { handleBridgeMessage(method, arguments); });
  webViewController_->setUserAgent(std::string(userAgent));

  WebKitWebView* webKit = webViewController_->webView().webKitView();
  WebKitSettings* settings = webkit_web_view_get_settings(webKit);
  webkit_settings_set_allow_file_access_from_file_urls(settings, FALSE);
  webkit_settings_set_allow_universal_access_from_file_urls(settings, FALSE);

  webViewController_->loadHTMLString(pageTemplate(LoginController::shared()), resourceFolderURL());

  GdkRGBA clear = {0, 0, 0, 0};
  webkit_web_view_set_background_color(webKit, &clear);
}

void IntercomViewController::releaseView() {
  GtkWidget* web = webViewController_->webView().widget();
  if (GtkWidget* parent = gtk_widget_get_parent(web)) gtk_container_remove(GTK_CONTAINER(parent), web);
  view_.reset();
}
