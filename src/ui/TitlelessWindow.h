#pragma once
// A window without a visible title bar or controls: no close, minimise or resize. It cannot be
// closed by the person (only its owner closes it), survives being closed so it can be shown
// again, moves when dragged by its background, and lays its content out from the top-left
// corner in flippedContentView. Main thread only.

#include <memory>
#include <string>

#include "ui/Color.h"
#include "ui/PDFlippedView.h"

typedef struct _GtkWindow GtkWindow;
typedef struct _GtkCssProvider GtkCssProvider;

class TitlelessWindow {
 public:
  TitlelessWindow(int width, int height);
  ~TitlelessWindow();
  TitlelessWindow(const TitlelessWindow&) = delete;
  TitlelessWindow& operator=(const TitlelessWindow&) = delete;

  GtkWindow* window() const { return window_; }
  PDFlippedView& flippedContentView() { return content_; }
  const PDFlippedView& flippedContentView() const { return content_; }
  int width() const { return width_; }
  int height() const { return height_; }

  // Kept for the window manager; never drawn.
  void setTitle(const std::string& title);
  void setBackgroundColor(const Color& color);
  // Level 0 is the normal level; any higher one keeps the window above others.
  void setLevel(int level);
  void center();
  void makeKeyAndOrderFront();
  void close();
  bool isOnScreen() const;
  void shake();

 private:
  GtkWindow* window_;
  PDFlippedView content_;
  GtkCssProvider* css_;
  int width_, height_;
};
