#pragma once
// Stand-ins for what the sign-in controller asks of others in tests: a login window that records
// what it is told, the person's answers, and every log line the process writes.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "account/LoginConfirmationPresenter.h"
#include "account/LoginWindowPresenter.h"

namespace signintest {

struct RecordingWindow : LoginWindowPresenter {
  void showLoginWindow() override { ++shown; }
  bool isOnScreen() const override { return onScreen; }
  void ipcCall(const std::string& name) override { calls.push_back(name); }
  bool onScreen = false;
  int shown = 0;
  std::vector<std::string> calls;
};

struct Answers : LoginConfirmationPresenter {
  bool confirmSignOutAndQuit() override {
    ++asked;
    return quit;
  }
  bool confirmSignInFromLink(const std::optional<std::string>&) override {
    ++asked;
    return link;
  }
  bool quit = false, link = false;
  int asked = 0;
};

// Log lines written since the process started (installed before main).
std::vector<std::string> logLines();
long countLogLines(const std::string& text);

}  // namespace signintest
