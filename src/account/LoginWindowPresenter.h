#pragma once
// The login window as the sign-in controller sees it. Main thread only.

#include <string>

class LoginWindowPresenter {
 public:
  virtual ~LoginWindowPresenter() = default;
  // Opens the window on the login page, or reloads the login page in the open window.
  virtual void showLoginWindow() = 0;
  virtual bool isOnScreen() const = 0;
  // Calls window._<name>() of the page when the page defines it.
  virtual void ipcCall(const std::string& name) = 0;
  // Tells the person the token they gave was not accepted; the next token clears it.
  virtual void showTokenRefused() {}
};
