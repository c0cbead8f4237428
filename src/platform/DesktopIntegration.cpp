#include "platform/DesktopIntegration.h"

#include <glib.h>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <vector>

#include "platform/AppBundleInfo.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/RWLog.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "platform/Xdg.h"

namespace DesktopIntegration {
namespace {

bool isPlain(char c) {
  return g_ascii_isalnum(c) || c == '/' || c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == ':' ||
         c == '@' || c == '%';
}

std::vector<std::string> urlSchemes(const AppBundleInfo& bundle) {
  std::vector<std::string> schemes;
  std::string all = bundle.string("CFBundleURLSchemes").value_or("");
  std::string current;
  for (char c : all + ";") {
    if (c == ';' || c == ',' || c == ' ') {
      if (!current.empty()) schemes.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  return schemes;
}

Result<std::string> bundleIdentifier(const AppBundleInfo& bundle) {
  std::string id = bundle.string("CFBundleIdentifier").value_or("");
  if (id.empty() || id.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") !=
                        std::string::npos)
    return fail(ErrorDomain, unusableExecutable, "The bundle identifier cannot name a desktop entry.");
  return id;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// Writes only when the content differs; answers whether it wrote.
Result<bool> writeIfChanged(const std::filesystem::path& path, std::string_view text, unsigned mode) {
  if (auto old = fs::readText(path); old && *old == text) return false;
  if (auto made = fs::createDirectories(path.parent_path()); !made) return fail(made.error());
  if (auto written = fs::writeAtomically(path, text, mode); !written) return fail(written.error());
  return true;
}

// The database tools run in the background; each is kept until it ends.
std::vector<std::unique_ptr<Process>>& runningTools() {
  static std::vector<std::unique_ptr<Process>> tools;
  return tools;
}

void runTool(const char* name, const std::filesystem::path& folder) {
  gchar* found = g_find_program_in_path(name);
  if (!found) return;
  Process::Options options;
  options.executable = found;
  g_free(found);
  options.arguments = {folder.string()};
  Process::Handlers handlers;
  handlers.exit = [name = std::string(name)](const Process::Exit& exit) {
    if (exit.status() != 0) RWLog("Desktop integration: " + name + " ended with status " + std::to_string(exit.status()), 1);
  };
  auto launched = Process::launch(std::move(options), std::move(handlers));
  if (!launched) {
    RWLog("Desktop integration: " + launched.error().description(), 1);
    return;
  }
  auto& tools = runningTools();
  std::erase_if(tools, [](const std::unique_ptr<Process>& p) { return !p->isRunning(); });
  tools.push_back(std::move(*launched));
}

}  // namespace

Result<std::string> execArgument(std::string_view argument) {
  bool quote = argument.empty();
  for (char c : argument) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      return fail(ErrorDomain, unusableExecutable, "The executable's path holds a control character.");
    if (!isPlain(c) && !(static_cast<unsigned char>(c) & 0x80)) quote = true;
  }
  std::string out;
  if (quote) out += '"';
  for (char c : argument) {
    // Inside quotes '"', '`', '$' and '\' take a backslash; then every backslash is doubled for
    // the string rules, and '%' is doubled so it is not a field code.
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) out += "\\\\";
    if (c == '\\') out += "\\\\";
    else if (c == '%') out += "%%";
    else out += c;
  }
  if (quote) out += '"';
  return out;
}

Result<std::string> desktopEntry(const std::filesystem::path& executable, const AppBundleInfo& bundle) {
  auto id = bundleIdentifier(bundle);
  if (!id) return fail(id.error());
  auto exec = execArgument(executable.string());
  if (!exec) return fail(exec.error());
  std::string mimeTypes = documentMimeType;
  mimeTypes.push_back(';');
  for (const auto& scheme : urlSchemes(bundle)) mimeTypes.append("x-scheme-handler/").append(scheme).push_back(';');
  std::string name = bundle.string("CFBundleDisplayName").value_or("Korvel");
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Version=1.5\n"
         "Name=" + name + "\n"
         "Exec=" + *exec + " %U\n"
         "Icon=" + *id + "\n"
         "Terminal=false\n"
         "StartupNotify=true\n"
         "Categories=Graphics;Development;\n"
         "MimeType=" + mimeTypes + "\n";
}

std::string mimePackage() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
         "  <mime-type type=\"" + std::string(documentMimeType) + "\">\n"
         "    <comment>Korvel document</comment>\n"
         "    <glob pattern=\"*.korvelx\"/>\n"
         "  </mime-type>\n"
         "</mime-info>\n";
}

std::string mergeMimeApps(std::string_view existing, std::string_view mimeType, std::string_view desktopFile) {
  std::vector<std::string> lines;
  std::string_view rest = existing;
  while (!rest.empty()) {
    auto end = rest.find('\n');
    lines.emplace_back(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  std::string ours = std::string(desktopFile) + ";";

  // Sets the key's value in a section, making the section or the line when missing.
  auto upsert = [&](std::string_view section, auto valueFor) {
    std::string header = "[" + std::string(section) + "]";
    std::optional<std::size_t> start, lastInSection;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      std::string_view line = trim(lines[i]);
      if (!line.empty() && line.front() == '[') {
        if (start) break;
        if (line == header) start = lastInSection = i;
        continue;
      }
      if (!start) continue;
      if (!line.empty()) lastInSection = i;
      auto equals = line.find('=');
      if (equals != std::string_view::npos && trim(line.substr(0, equals)) == mimeType) {
        lines[i] = std::string(mimeType) + "=" + valueFor(std::string(trim(line.substr(equals + 1))));
        return;
      }
    }
    std::string entry = std::string(mimeType) + "=" + valueFor(std::string());
    if (start) {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*lastInSection) + 1, entry);
      return;
    }
    while (!lines.empty() && trim(lines.back()).empty()) lines.pop_back();
    if (!lines.empty()) lines.emplace_back();
    lines.push_back(header);
    lines.push_back(entry);
  };
  upsert("Default Applications", [&](const std::string&) { return ours; });
  upsert("Added Associations", [&](const std::string& old) {
    std::string merged = ours;
    std::string item;
    for (char c : old + ";") {
      if (c == ';') {
        if (!item.empty() && item != desktopFile) merged += item + ";";
        item.clear();
      } else {
        item += c;
      }
    }
    return merged;
  });
  std::string out;
  for (const auto& line : lines) out += line + "\n";
  return out;
}

Result<void> registerApplication(const std::filesystem::path& executable) {
  return registerApplication(executable, AppBundleInfo::main());
}

Result<void> registerApplication(const std::filesystem::path& executable, const AppBundleInfo& bundle) {
  std::error_code ec;
  auto absolute = std::filesystem::absolute(executable, ec).lexically_normal();
  if (ec || executable.empty()) return fail(ErrorDomain, unusableExecutable, "The executable's path is not usable.");
  auto id = bundleIdentifier(bundle);
  if (!id) return fail(id.error());
  auto entry = desktopEntry(absolute, bundle);
  if (!entry) return fail(entry.error());

  auto data = xdg::dataHome();
  auto applications = data / "applications";
  auto mime = data / "mime";
  auto desktopChanged = writeIfChanged(applications / (*id + ".desktop"), *entry, 0644);
  if (!desktopChanged) return fail(desktopChanged.error());
  auto mimeChanged = writeIfChanged(mime / "packages" / "korvel.xml", mimePackage(), 0644);
  if (!mimeChanged) return fail(mimeChanged.error());

  auto icon = fs::readText(Resources::path("korvel", "svg"));
  if (!icon) return fail(icon.error());
  auto iconChanged = writeIfChanged(data / "icons" / "hicolor" / "scalable" / "apps" / (*id + ".svg"), *icon, 0644);
  if (!iconChanged) return fail(iconChanged.error());

  auto mimeApps = xdg::configHome() / "mimeapps.list";
  // A list we cannot read is left alone rather than replaced by ours.
  auto read = fs::readText(mimeApps);
  if (!read && fs::exists(mimeApps)) return fail(read.error());
  std::string existing = read.value_or("");
  std::string merged = existing;
  for (const auto& scheme : urlSchemes(bundle)) merged = mergeMimeApps(merged, "x-scheme-handler/" + scheme, *id + ".desktop");
  if (merged != existing) {
    struct stat info {};
    unsigned mode = ::stat(mimeApps.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0644;
    if (auto written = writeIfChanged(mimeApps, merged, mode); !written) return fail(written.error());
  }

  if (*mimeChanged) runTool("update-mime-database", mime);
  if (*desktopChanged) runTool("update-desktop-database", applications);
  return {};
}

}  // namespace DesktopIntegration
