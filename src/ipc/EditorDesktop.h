#pragma once
// What the editor's requests ask of the desktop: the alert sound, opening files in other
// programs and a modal alert. The toolkit's by default; tests put their own. Main thread only.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct EditorDesktop {
  struct Alert {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;  // the first is the default
  };

  std::function<void()> beep;
  // False when no application took the file.
  std::function<bool(const std::filesystem::path& file)> openWithDefaultApplication;
  // `application` is the name the desktop lists the program under.
  std::function<bool(const std::filesystem::path& file, const std::string& application)> openWithApplication;
  // Blocks until answered; the index of the chosen button, -1 when dismissed otherwise.
  std::function<int(const Alert& alert)> runModalAlert;

  static EditorDesktop& shared();
  // The desktop itself, through GIO and GTK.
  static EditorDesktop system();
};
