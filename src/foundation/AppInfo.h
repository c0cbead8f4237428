#pragma once
// Facts about the running application: versions, release channel, user agent, its folders and
// the installed editor's "app-globals.json". Class-level values are computed once, at first use,
// and kept for the life of the process; instances never change after creation. Any thread.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/AppMenu.h"
#include "platform/AppBundleInfo.h"
#include "platform/Error.h"

class AppInfo {
 public:
  struct OstrelGlobals {
    std::int64_t documentVersion = 0;
    std::vector<AppMenu::MenuItemOptions> appMenu;
  };

  AppInfo(std::string userAgentName, std::optional<std::string> applicationSupportName,
          std::optional<std::filesystem::path> ostrelDir);
  virtual ~AppInfo() = default;

  // The shared instance; replacing it takes effect for every later reader.
  static std::shared_ptr<AppInfo> current();
  static void setCurrent(std::shared_ptr<AppInfo> info);

  const std::optional<std::string>& applicationSupportName() const { return applicationSupportName_; }
  const std::string& userAgent() const { return userAgent_; }
  // $XDG_DATA_HOME/<application support name>; not created here.
  virtual std::optional<std::filesystem::path> supportURL() const;
  std::optional<std::filesystem::path> ostrelDir() const;
  std::optional<std::string> snippetsPath() const;

  static std::optional<std::string> displayName();
  static std::optional<std::string> executableName();
  static const std::string& shortVersion();
  static const std::string& buildVersion();
  static const std::string& operatingSystemVersion();
  static const std::string& webkitVersion();
  static const std::string& buildName();
  static bool isProduction();
  static bool isBeta();
  static bool isAlpha();
  static bool isNightly();
  static bool isDevelopment();
  // The installed editor's globals; none when the file is missing or doesn't decode.
  static const std::optional<OstrelGlobals>& ostrelGlobals();

  // The rules behind the values above, for any input.
  enum class Channel { none, production, beta, alpha, nightly, development };
  static Channel channelFor(std::string_view bundleIdentifier);
  static std::string buildNameFor(std::string_view shortVersion);
  static std::string formatOperatingSystemVersion(long major, long minor, long patch);
  static std::string userAgentFor(std::string_view webkitVersion, std::string_view name, std::string_view shortVersion);
  static Result<OstrelGlobals> decodeOstrelGlobals(std::string_view jsonText);
  static std::shared_ptr<AppInfo> makeShared(const AppBundleInfo& bundle);

 private:
  std::optional<std::string> applicationSupportName_;
  std::string userAgent_;
  std::optional<std::filesystem::path> ostrelDir_;
};
