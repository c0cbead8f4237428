#pragma once
// The editor area of a document window: the web view over a placeholder that outlines the
// editor's chrome (tools panel, canvas, property panel) while the page loads behind a fully
// transparent web view. Forwards the inspector shortcut and pinches; shows context menus.
// Main thread only.

#include <functional>
#include <memory>

typedef struct _GtkWidget GtkWidget;
class Menu;
class MenuItem;

class OstrelView {
 public:
  static constexpr double propertyPanelWidth = 220;
  // The tools panel's width for the stored tab content width (absent reads as 0).
  static double toolsPanelWidth(double tabContentWidth);

  explicit OstrelView(GtkWidget* webView);
  ~OstrelView();
  OstrelView(const OstrelView&) = delete;
  OstrelView& operator=(const OstrelView&) = delete;

  GtkWidget* widget() const { return root_; }
  bool isInWindow() const;
  double height() const;

  void reflectAppAppearance();
  // Animates the web view's opacity to 1 over 0.25 s.
  void fadeInWebView();
  double webViewOpacity() const;
  void focusWebView();

  // Shows `menu` with its top-left corner at (x, y) of the view (origin top-left); `done` gets
  // the chosen item, or none when the menu was dismissed.
  void popUpMenu(std::shared_ptr<Menu> menu, double x, double y, std::function<void(MenuItem* chosen)> done);

  // Answers true when the key was used.
  std::function<bool(bool control, bool alt, bool super, unsigned keyval)> keyPressed;
  std::function<void(double magnification, double x, double y)> magnified;
  std::function<void()> movedToWindow;

 private:
  struct Signals;
  GtkWidget* root_;
  GtkWidget* placeholder_;
  GtkWidget* webView_;
  void* zoom_;
  double lastScale_ = 1.0;
  unsigned fadeTimer_ = 0;
  unsigned long keyHandler_ = 0, drawHandler_ = 0, hierarchyHandler_ = 0;
};
