#pragma once
// The login window's views: a 808 × 472 titleless window in the application's welcome
// background colour, the login page filling it, a drag band over the top 100 points (but the
// leftmost 20), and a spinner in the middle while a page loads. Main thread only.

#include <memory>
#include <string>

#include "platform/RunLoop.h"
#include "ui/Spinner.h"
#include "ui/TitlelessWindow.h"
#include "ui/WindowDragView.h"

typedef struct _GtkWidget GtkWidget;

class LoginWindowView {
 public:
  static constexpr int width = 808;
  static constexpr int height = 472;
  // Where the refusal notice sits: below the title bar, above the page's heading.
  static constexpr int noticeTop = 64;
  static constexpr int spinnerSize = 48;

  // `page` stays its owner's; the view lets go of it when it goes.
  explicit LoginWindowView(GtkWidget* page);
  ~LoginWindowView();
  LoginWindowView(const LoginWindowView&) = delete;
  LoginWindowView& operator=(const LoginWindowView&) = delete;

  TitlelessWindow& window() { return window_; }
  void show(int level);
  bool isOnScreen() const { return window_.isOnScreen(); }
  void close() { window_.close(); }
  void shake() { window_.shake(); }

  // A page that is loading is hidden under the spinner; a loaded one fades in over 0.1 s.
  void showLoading();
  void showPage();
  bool isSpinnerShown() const;
  // A line along the bottom of the window, above the page; empty text hides it.
  void showNotice(const std::string& text);
  std::string notice() const;
  double pageOpacity() const;

 private:
  GtkWidget* page_;
  TitlelessWindow window_;
  WindowDragView dragView_;
  Spinner spinner_;
  GtkWidget* notice_;
  std::unique_ptr<Timer> fade_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
