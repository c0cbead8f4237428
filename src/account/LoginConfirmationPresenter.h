#pragma once
// Where the person in front of the application answers the sign-in controller's questions;
// the application shows alerts, tests answer themselves. Main thread only.

#include <optional>
#include <string>

class LoginConfirmationPresenter {
 public:
  virtual ~LoginConfirmationPresenter() = default;
  // "Sign Out and Quit" (true) or "Cancel" (false).
  virtual bool confirmSignOutAndQuit() = 0;
  // A link brought a sign-in token while `currentUser` is signed in: true to sign in with it.
  // Any web page can open such a link, so it never replaces a sign-in unasked.
  virtual bool confirmSignInFromLink(const std::optional<std::string>& currentUser) = 0;
};
