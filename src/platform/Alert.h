#pragma once
// Where a person answers a question: a modal alert or a sheet on a window. The application
// installs the toolkit's alerts; tests install one that answers for the person. Main thread.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct _GtkWindow GtkWindow;

struct AlertSpec {
  std::string messageText;
  std::string informativeText;
  // In order; none gives the single default "OK".
  std::vector<std::string> buttons;
  // What Escape and closing the alert answer, by index into `buttons`: the button that changes
  // nothing. Unset: the one titled "Cancel", else the last.
  std::optional<std::size_t> closeButton = std::nullopt;
};

class Alert {
 public:
  // Responses: the first button answers 1000, the second 1001, and so on.
  static constexpr int firstButtonReturn = 1000;
  static constexpr int secondButtonReturn = 1001;
  static constexpr int thirdButtonReturn = 1002;

  // The response of an alert dismissed without a button: Escape, its window closed, or no one
  // there to answer.
  static int closeResponse(const AlertSpec& alert);

  static Alert& shared();
  static void setShared(std::unique_ptr<Alert> alert);

  virtual ~Alert() = default;
  virtual int runModal(const AlertSpec& alert, GtkWindow* parent) = 0;
  // Shows the alert attached to `window` and answers later, on the main loop.
  virtual void beginSheet(const AlertSpec& alert, GtkWindow* window, std::function<void(int response)> completion) = 0;
  // The system's beep.
  virtual void beep() {}
};
