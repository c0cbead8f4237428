#pragma once
// The application's About window: icon, title, the version (the marketing version, or the build
// number after a click on it), the build label, and links to the acknowledgements and to the
// licence agreement. The decisions live here; RWAboutWindowGtk.cpp builds and updates the widgets.
// Main thread only.

#include <array>
#include <memory>
#include <string>

class AppBundleInfo;
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;

class RWAboutWindow {
 public:
  static constexpr const char* licenseAgreementURL = "https://www.korvel.io/assets/static/downloads/eula.pdf";
  static constexpr std::array<const char*, 2> versionLabelKeys = {"CFBundleShortVersionString", "CFBundleVersion"};

  // The one About window, made on first use and kept for the rest of the run.
  static RWAboutWindow& sharedInstance();
  explicit RWAboutWindow(const AppBundleInfo& bundle);
  ~RWAboutWindow();
  RWAboutWindow(const RWAboutWindow&) = delete;
  RWAboutWindow& operator=(const RWAboutWindow&) = delete;

  // Builds the window on first use, then brings it to the front.
  void showWindow();
  bool isWindowLoaded() const { return widgets_ != nullptr; }

  // The version label shows the selected key's value; a missing key leaves its text.
  void updateVersionLabel();
  int versionLabelSelectedKey() const { return versionLabelSelectedKey_; }
  const std::string& versionLabelText() const { return versionText_; }
  // A click that lands on the version label: the other version.
  void versionLabelClicked();
  void acknowledgmentsClicked();
  void licenseAgreementClicked();

  // The widgets, once loaded (for tests).
  GtkWindow* window() const;
  GtkWidget* versionLabel() const;
  GtkWidget* versionLabelClickArea() const;
  GtkWidget* extraVersionInfoLabel() const;
  GtkWidget* acknowledgmentsButton() const;
  GtkWidget* licenseAgreementButton() const;

 private:
  struct Widgets;
  void windowDidLoad();
  void showVersionText();

  const AppBundleInfo& bundle_;
  int versionLabelSelectedKey_ = 0;
  std::string versionText_;
  std::unique_ptr<Widgets> widgets_;
};
