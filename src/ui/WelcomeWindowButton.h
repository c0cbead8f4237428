#pragma once
// The flat button of the welcome window's recents bar ("Open…", "New"): no bezel, a 3-point
// corner radius, its title centred in the 12-point system font in the colour the owner gives.
// A click sends `action`. Main thread only.

#include <functional>
#include <string>

#include "ui/Color.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkCssProvider GtkCssProvider;

class WelcomeWindowButton {
 public:
  // The title starts black; the owner recolours it.
  explicit WelcomeWindowButton(const std::string& title);
  ~WelcomeWindowButton();
  WelcomeWindowButton(const WelcomeWindowButton&) = delete;
  WelcomeWindowButton& operator=(const WelcomeWindowButton&) = delete;

  GtkWidget* widget() const { return button_; }
  std::function<void()> action;

  std::string title() const;
  const Color& titleColor() const { return color_; }
  void setTitle(const std::string& title, const Color& color);

 private:
  GtkWidget* button_;
  GtkWidget* label_;
  GtkCssProvider* css_;
  Color color_;
};
