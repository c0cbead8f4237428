#pragma once
// A sidebar button whose title is drawn in its own text colour and can be hidden, the text then
// staying as the tool tip. awakeFromNib() styles and keeps the title once the owner has set the
// text colour; until then there is no kept title and showing or hiding it changes nothing.
// Main thread only.

#include <optional>
#include <string>

#include "ui/Color.h"

typedef struct _GtkWidget GtkWidget;

class SidebarButton {
 public:
  explicit SidebarButton(const std::string& title);
  ~SidebarButton();
  SidebarButton(const SidebarButton&) = delete;
  SidebarButton& operator=(const SidebarButton&) = delete;

  GtkWidget* widget() const { return widget_; }
  std::optional<Color> textColor;

  void awakeFromNib();
  bool showTitle() const { return showTitle_; }
  void setShowTitle(bool show);

  std::string title() const;
  std::optional<std::string> toolTip() const;

 private:
  GtkWidget* widget_;
  std::optional<std::string> attributedTitleStore_;
  bool showTitle_ = false;
};
