#include "ui/ModalAlert.h"

AlertSpec ModalAlert::alertWithMessageText(const std::string& message, const std::string& defaultButton,
                                           const std::optional<std::string>& alternateButton,
                                           const std::optional<std::string>& otherButton,
                                           const std::string& informativeText) {
  AlertSpec alert;
  alert.messageText = message;
  alert.buttons.push_back(defaultButton);
  if (alternateButton) alert.buttons.push_back(*alternateButton);
  if (otherButton) alert.buttons.push_back(*otherButton);
  alert.informativeText = informativeText;
  return alert;
}
