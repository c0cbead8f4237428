#pragma once
// Page messages and dialogs heard from a view's main frame only. WebKitGTK names no frame for a
// script message or a dialog, so the view's message handlers live in a script world of the host's
// own, which only the main frame's document reaches: a relay injected there alone carries what the
// page posts through the handlers' usual names (`window.webkit.messageHandlers[name]`), over events
// of that document, which no frame of another origin can fire. The main frame's alert, confirm,
// prompt and print announce themselves on the same road just before they ask; a dialog or print
// panel nothing announced (another frame's) is answered at once, without a window. Display-free,
// any thread.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace FrameRelay {

// The host's script world, and its handler of dialog announcements.
inline constexpr const char* worldName = "korvel-host";
inline constexpr const char* dialogHandler = "korvelDialog";

// For the page's own world, in the main frame at document start: the handlers by these names
// and the announcing alert, confirm and prompt.
std::string pageScript(const std::vector<std::string>& handlerNames);
// For the host's world, in the main frame at document start: hands each event on to its handler.
std::string relayScript(const std::vector<std::string>& handlerNames);

// What an announcement says of a dialog: its kind ("alert", "confirm", "prompt", "print") and
// message (none for print).
std::string announcement(std::string_view kind, std::string_view message);

}  // namespace FrameRelay

// The dialog the main frame announced last; a dialog goes before the person only when it is that
// one, and takes it. A new document or a new announcement forgets an announcement not taken.
class DialogTickets {
 public:
  void announced(std::string text) { last_ = std::move(text); }
  void forget() { last_.reset(); }
  bool take(std::string_view kind, std::string_view message);

 private:
  std::optional<std::string> last_;
};
