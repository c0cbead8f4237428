#pragma once
// The welcome window: the hosted welcome page (examples, tutorials, search) on the left, the
// recent documents with "Open…" and "New" in a 240-point sidebar on the right, a close button
// in the top-left corner and a drag strip over the top of the page. Made once and kept for the
// run; closing only hides it. Main thread only; the static helpers are plain decisions.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/Error.h"

typedef struct _GtkWindow GtkWindow;
class WebViewController;
class WelcomeWindowRecentsTableView;
class WelcomeWindowNoRecentDocumentsView;

class WelcomeWindow {
 public:
  using Completion = std::function<void(std::optional<Error> error)>;

  static constexpr double sideBarWidth = 240.0;
  static constexpr double bottomBarHeight = 32.0;
  static constexpr int width = 900;
  static constexpr int height = 600;
  static constexpr int dragStripHeight = 65;
  // The site search: the endpoint with "as_sitesearch" = the community site, then "q".
  static constexpr const char* searchEndpoint = "https://search.korvel.io/search";
  static constexpr const char* communitySite = "community.korvel.io";
  static constexpr const char* dismissedTutorialKey = "UserDefaultsDismissedTutorialCTA";
  // The Cocoa-domain code of a missing example or tutorial.
  static constexpr long missingResourceCode = -1100;

  WelcomeWindow();
  ~WelcomeWindow();
  WelcomeWindow(const WelcomeWindow&) = delete;
  WelcomeWindow& operator=(const WelcomeWindow&) = delete;

  GtkWindow* gtkWindow() const;
  bool isKeyWindow() const;
  bool isVisible() const;

  // Enabled while the window is key: Close, Find and the documentation item; nothing else.
  bool validateMenuItem(const std::string& action) const;
  // Runs the action of an item validateMenuItem enables; false for any other action.
  bool perform(const std::string& action);
  void performClose();
  void close();
  void toolbarDocs() {}
  void performTextFinderAction();
  void newPrototype();
  void openFile();
  void openRecentFile();
  // Places the window (centred the first time, and whenever it lies off the screen), shows it
  // and refreshes the recents.
  void makeKeyAndOrderFront();

  // One message of the page.
  void handleBridgeMethod(const std::string& method, const nlohmann::json& arguments);
  static void openExample(const std::string& name, Completion completion);
  static void openTutorial(const std::string& name, Completion completion);

  // Recents.
  const std::vector<std::filesystem::path>& recentDocuments() const { return recentDocuments_; }
  void loadRecentFiles();
  void showOrHideNoRecentFileInfo();
  // loadRecentFiles, reload the table, show or hide the placeholder.
  void refreshRecents();
  WelcomeWindowRecentsTableView* recentsTableView() const { return recentsTableView_.get(); }
  bool isShowingNoRecentFiles() const;

  WebViewController& webView() const { return *webView_; }
  bool welcomeShownThisLaunch() const { return welcomeShownThisLaunch_; }

  // Decisions.
  // The page template with the build's placeholders filled in.
  static std::string fillTemplate(std::string html, const std::string& buildName, const std::string& shortVersion);
  // The site-search address for `words`; none for empty words.
  static std::optional<std::string> searchURL(const std::string& words);
  // A name without its last extension.
  static std::string baseName(const std::string& name);
  // "example-landing page" → "Landing Page example".
  static std::string exampleDisplayName(const std::string& baseName);
  // Where an example or tutorial named by the page lives; none for a name that is no plain
  // file name.
  static std::optional<std::filesystem::path> exampleURL(const std::string& name);
  static std::optional<std::filesystem::path> tutorialURL(const std::string& name);
  // The recent documents whose files still exist, in the given order.
  static std::vector<std::filesystem::path> existingDocuments(const std::vector<std::filesystem::path>& urls);
  // "window.f && window.f(a, b)".
  static std::string ipcCallScript(const std::string& name, const std::vector<nlohmann::json>& arguments);
  // Whether a window at (x, y, w, h) lies partly outside a screen area of `areaWidth` × `areaHeight`.
  static bool liesOffScreen(int x, int y, int w, int h, int areaWidth, int areaHeight);

 private:
  void build();
  void buildSidebar();
  void colourSidebar();
  void loadWelcome();
  void loadWelcomeOnce();
  void fadeInPage();
  void ipcCallWithArray(const std::string& name, const std::vector<nlohmann::json>& arguments);
  void didBecomeKey();
  void place();

  struct Widgets;
  std::unique_ptr<Widgets> widgets_;
  std::shared_ptr<WebViewController> webView_;
  std::unique_ptr<WelcomeWindowRecentsTableView> recentsTableView_;
  std::unique_ptr<WelcomeWindowNoRecentDocumentsView> noRecentDocumentsView_;
  std::vector<std::filesystem::path> recentDocuments_;
  bool welcomeShownThisLaunch_ = false;
  bool welcomeRequested_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
