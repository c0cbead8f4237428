#include "welcome/WelcomeWindowRecentsRowView.h"

#include <gtk/gtk.h>

#include "ui/AntiAliasedText.h"
#include "ui/AppAppearance.h"

namespace {

constexpr std::string_view documentExtension = ".korvelx";

GtkWidget* labelWithText(const std::string& text) {
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_label_set_single_line_mode(GTK_LABEL(label), TRUE);
  gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  return label;
}

void style(GtkWidget* label, double size, const Color& color) {
  AntiAliasedTitle title;
  const char* text = gtk_label_get_text(GTK_LABEL(label));
  title.text = text ? text : "";
  title.font = AntiAliasedFont::systemFont(size);
  title.alignment = TextAlignment::left;
  title.textColor = color;
  title.backgroundColor = Color{0, 0, 0, 0};
  title.maximumLineHeight = size * 1.3;
  AntiAliasedText::apply(label, title);
}

gboolean drawBackground(GtkWidget* widget, cairo_t* cr, gpointer data) {
  auto* row = static_cast<WelcomeWindowRecentsRowView*>(data);
  bool selected = row->state() == WelcomeWindowRecentsRowState::selected;
  Color fill = selected ? AppAppearance::Colors::welcomeRecentsSelectionBackground()
                        : AppAppearance::Colors::welcomeRecentsBackground();
  Color line =
      selected ? AppAppearance::Colors::welcomeRecentsSelectionBorder() : AppAppearance::Colors::welcomeRecentsBorder();
  double h = gtk_widget_get_allocated_height(widget);
  cairo_set_source_rgba(cr, fill.red, fill.green, fill.blue, fill.alpha);
  cairo_paint(cr);
  cairo_set_source_rgba(cr, line.red, line.green, line.blue, line.alpha);
  cairo_rectangle(cr, 0, 0, 1, h);
  cairo_fill(cr);
  return FALSE;
}

}  // namespace

std::string WelcomeWindowRecentsRowView::titleText(const std::optional<std::filesystem::path>& url) {
  if (!url) return "";
  auto path = *url;
  if (!path.has_filename()) path = path.parent_path();  // a folder given with a trailing "/"
  std::string name = path.filename().string();
  if (name.size() > documentExtension.size() && name.ends_with(documentExtension))
    name.resize(name.size() - documentExtension.size());
  return name;
}

std::string WelcomeWindowRecentsRowView::pathText(const std::optional<std::filesystem::path>& url,
                                                  const std::string& home) {
  if (!url) return "";
  auto path = *url;
  if (!path.has_filename()) path = path.parent_path();
  std::string folder = path.parent_path().string();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  std::string prefix = home;
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  if (prefix.empty() || prefix == "/") return folder;
  if (folder == prefix) return "~";
  if (folder.size() > prefix.size() && folder.starts_with(prefix) && folder[prefix.size()] == '/')
    return "~" + folder.substr(prefix.size());
  return folder;
}

WelcomeWindowRecentsRowView::WelcomeWindowRecentsRowView(std::optional<std::filesystem::path> data, int width)
    : data_(std::move(data)), background_(gtk_drawing_area_new()) {
  g_signal_connect(background_, "draw", G_CALLBACK(drawBackground), this);
  content_.setFillingSubview(background_);
  gtk_widget_set_size_request(content_.widget(), width, rowHeight);
  titleLabel_ = labelWithText(titleText(data_));
  content_.addSubview(titleLabel_, {12, 6, width - 54, 20});
  pathLabel_ = labelWithText(pathText(data_, g_get_home_dir()));
  content_.addSubview(pathLabel_, {12, 23, width - 54, 18});
  setState(WelcomeWindowRecentsRowState::normal);
}

WelcomeWindowRecentsRowView::~WelcomeWindowRecentsRowView() {
  g_signal_handlers_disconnect_by_data(background_, this);
}

std::string WelcomeWindowRecentsRowView::title() const {
  return gtk_label_get_text(GTK_LABEL(titleLabel_));
}
std::string WelcomeWindowRecentsRowView::path() const {
  return gtk_label_get_text(GTK_LABEL(pathLabel_));
}

void WelcomeWindowRecentsRowView::setState(WelcomeWindowRecentsRowState state) {
  state_ = state;
  bool selected = state == WelcomeWindowRecentsRowState::selected;
  style(
      titleLabel_, 12,
      selected ? AppAppearance::Colors::welcomeRecentsSelectionTitle() : AppAppearance::Colors::welcomeRecentsTitle());
  style(pathLabel_, 10,
        selected ? AppAppearance::Colors::welcomeRecentsSelectionPath() : AppAppearance::Colors::welcomeRecentsPath());
  gtk_widget_queue_draw(background_);
}
