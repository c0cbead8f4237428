#pragma once
// The preview pane: the web view that shows the preview page the document's project server
// serves, and the answers to that page's messages (the device catalog, package requests,
// store-data requests, run-time errors and its content scale). Main thread only.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "platform/Url.h"

class PreviewDocument;
class WebViewController;
typedef struct _GtkWidget GtkWidget;

class KorvelViewController {
 public:
  KorvelViewController();
  ~KorvelViewController();
  KorvelViewController(const KorvelViewController&) = delete;
  KorvelViewController& operator=(const KorvelViewController&) = delete;

  std::weak_ptr<PreviewDocument> document;

  WebViewController& webViewController() const { return *webViewController_; }
  GtkWidget* view() const;
  bool isLoading() const { return isLoading_; }

  // Loads the preview page of the document's server afresh; nothing without a server.
  void reload();
  void handleBridgeMethod(const std::string& method, const nlohmann::json& arguments);

  // The preview page's address under the server: "_app/resources/Ostrel/preview.html" with
  // "imageBaseURL" and "projectURL".
  static std::optional<std::string> previewPageURL(const std::string& serverLocalUrl, const Url& serverURL);
  // An npm package name: lower case, optionally scoped, at most 214 characters.
  static bool isValidPackageName(std::string_view name);
  // Asks the person whether the project may add `name`; the toolkit's alert unless replaced.
  static std::function<bool(const std::string& name)>& packageConsent();

 private:
  void addPackage(const std::string& name);

  std::shared_ptr<WebViewController> webViewController_;
  bool isLoading_ = false;
};
