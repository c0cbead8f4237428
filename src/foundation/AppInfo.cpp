#include "AppInfo.h"

#include <sys/utsname.h>

#include <cstdio>
#include <mutex>

#include <nlohmann/json.hpp>

#include "platform/Fatal.h"
#include "platform/FileSystem.h"
#include "platform/JsonCoder.h"
#include "platform/Xdg.h"

namespace {

std::mutex currentMutex;
std::shared_ptr<AppInfo>& currentStorage() {
  static std::shared_ptr<AppInfo> info;
  return info;
}

std::string bundleValue(const char* key, const char* warning) {
  auto v = AppBundleInfo::main().string(key);
  if (!v) {
    std::printf("%s\n", warning);
    return {};
  }
  return *v;
}

}  // namespace

AppInfo::AppInfo(std::string userAgentName, std::optional<std::string> applicationSupportName,
                 std::optional<std::filesystem::path> ostrelDir)
    : applicationSupportName_(applicationSupportName ? std::move(applicationSupportName) : executableName()),
      userAgent_(userAgentFor(webkitVersion(), userAgentName, shortVersion())),
      ostrelDir_(std::move(ostrelDir)) {}

std::shared_ptr<AppInfo> AppInfo::makeShared(const AppBundleInfo& bundle) {
  auto name = bundle.string("UserAgentName");
  if (!name) name = bundle.string("CFBundleName");
  if (!name) KORVEL_FATAL("Warning: Could not find Bundle Name");
  auto executable = bundle.string("CFBundleExecutable");
  if (!executable) KORVEL_FATAL("Warning: Could not find the executable's name");
  return std::make_shared<AppInfo>(*name, *executable, std::nullopt);
}

std::shared_ptr<AppInfo> AppInfo::current() {
  std::lock_guard lock(currentMutex);
  if (!currentStorage()) currentStorage() = makeShared(AppBundleInfo::main());
  return currentStorage();
}

void AppInfo::setCurrent(std::shared_ptr<AppInfo> info) {
  std::lock_guard lock(currentMutex);
  currentStorage() = std::move(info);
}

std::optional<std::filesystem::path> AppInfo::supportURL() const {
  if (!applicationSupportName_) {
    std::printf("Warning: Could not find Application Support Directory\n");
    return std::nullopt;
  }
  return xdg::dataHome() / *applicationSupportName_;
}

std::optional<std::filesystem::path> AppInfo::ostrelDir() const {
  if (ostrelDir_) return ostrelDir_;
  auto support = supportURL();
  if (!support) return std::nullopt;
  return *support / "Ostrel";
}

std::optional<std::string> AppInfo::snippetsPath() const {
  auto support = supportURL();
  if (!support) return std::nullopt;
  return (*support / "Snippets").string();
}

std::optional<std::string> AppInfo::displayName() {
  return AppBundleInfo::main().string("CFBundleName");
}
std::optional<std::string> AppInfo::executableName() {
  return AppBundleInfo::main().string("CFBundleExecutable");
}

const std::string& AppInfo::shortVersion() {
  static const std::string v = bundleValue("CFBundleShortVersionString", "Warning: Could not find App version");
  return v;
}

const std::string& AppInfo::buildVersion() {
  static const std::string v = AppBundleInfo::main().string("CFBundleVersion").value_or("");
  return v;
}

const std::string& AppInfo::webkitVersion() {
  static const std::string v = bundleValue("WebKitVersion", "Warning: Could not find WebKit version");
  return v;
}

const std::string& AppInfo::operatingSystemVersion() {
  static const std::string v = [] {
    utsname u{};
    long major = 0, minor = 0, patch = 0;
    if (uname(&u) == 0) std::sscanf(u.release, "%ld.%ld.%ld", &major, &minor, &patch);
    return formatOperatingSystemVersion(major, minor, patch);
  }();
  return v;
}

const std::string& AppInfo::buildName() {
  static const std::string v = buildNameFor(shortVersion());
  return v;
}

AppInfo::Channel AppInfo::channelFor(std::string_view id) {
  if (id == "com.korvel.x") return Channel::production;
  if (id == "com.korvel.x.beta") return Channel::beta;
  if (id == "com.korvel.x.alpha") return Channel::alpha;
  if (id == "com.korvel.x.nightly") return Channel::nightly;
  if (id == "com.korvel.x.dev") return Channel::development;
  return Channel::none;
}

namespace {
AppInfo::Channel mainChannel() {
  static const AppInfo::Channel c =
      AppInfo::channelFor(AppBundleInfo::main().string("CFBundleIdentifier").value_or(""));
  return c;
}
}  // namespace

bool AppInfo::isProduction() {
  return mainChannel() == Channel::production;
}
bool AppInfo::isBeta() {
  return mainChannel() == Channel::beta;
}
bool AppInfo::isAlpha() {
  return mainChannel() == Channel::alpha;
}
bool AppInfo::isNightly() {
  return mainChannel() == Channel::nightly;
}
bool AppInfo::isDevelopment() {
  return mainChannel() == Channel::development;
}

std::string AppInfo::buildNameFor(std::string_view v) {
  if (v.find('/') != std::string_view::npos) {
    size_t start = 0;
    while (start < v.size()) {
      size_t slash = v.find('/', start);
      std::string_view piece =
          v.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
      if (!piece.empty()) {
        std::string out(piece);
        if (out[0] >= 'a' && out[0] <= 'z') out[0] = static_cast<char>(out[0] - 'a' + 'A');
        return out;
      }
      if (slash == std::string_view::npos) break;
      start = slash + 1;
    }
    return {};
  }
  if (v == "local") return "Dev";
  return {};
}

std::string AppInfo::formatOperatingSystemVersion(long major, long minor, long patch) {
  std::string out = std::to_string(major) + "_" + std::to_string(minor);
  if (patch != 0) out += "_" + std::to_string(patch);
  return out;
}

std::string AppInfo::userAgentFor(std::string_view webkit, std::string_view name, std::string_view shortVersion) {
  std::string out = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/";
  out += webkit;
  out += " (KHTML, like Gecko) ";
  out += name;
  out += "/";
  out += shortVersion;
  return out;
}

Result<AppInfo::OstrelGlobals> AppInfo::decodeOstrelGlobals(std::string_view text) {
  constexpr const char* domain = "com.korvel.appinfo";
  auto parsed = JsonCoder::parse(text);
  if (!parsed) return fail(parsed.error());
  const auto& root = *parsed;
  if (!root.is_object()) return fail(domain, 1, "app-globals.json is not an object");
  OstrelGlobals globals;
  auto version = root.find("documentVersion");
  if (version == root.end()) return fail(domain, 2, "\"documentVersion\" is missing");
  // An unsigned value above the signed range would wrap; it is out of range like a fraction.
  if (version->is_number_integer() &&
      !(version->is_number_unsigned() && version->get<std::uint64_t>() > std::uint64_t(INT64_MAX))) {
    globals.documentVersion = version->get<std::int64_t>();
  } else {
    return fail(domain, 3, "\"documentVersion\" is not an integer");
  }
  auto menu = root.find("appMenu");
  if (menu == root.end()) return fail(domain, 2, "\"appMenu\" is missing");
  if (!menu->is_array()) return fail(domain, 3, "\"appMenu\" is not an array");
  for (const auto& item : *menu) {
    auto options = AppMenu::decode(item);
    if (!options) return fail(options.error());
    globals.appMenu.push_back(std::move(*options));
  }
  return globals;
}

const std::optional<AppInfo::OstrelGlobals>& AppInfo::ostrelGlobals() {
  static const std::optional<OstrelGlobals> globals = []() -> std::optional<OstrelGlobals> {
    auto dir = current()->ostrelDir();
    if (!dir) return std::nullopt;
    auto file = *dir / "app-globals.json";
    auto text = fs::readText(file);
    if (!text) {
      std::printf("No data for %s\n", file.c_str());
      return std::nullopt;
    }
    auto decoded = decodeOstrelGlobals(*text);
    if (!decoded) return std::nullopt;
    return std::move(*decoded);
  }();
  return globals;
}
