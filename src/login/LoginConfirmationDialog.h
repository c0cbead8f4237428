#pragma once
// The application's answers to the sign-in controller's questions: modal alerts. Main thread only.

#include "account/LoginConfirmationPresenter.h"

class LoginConfirmationDialog : public LoginConfirmationPresenter {
 public:
  bool confirmSignOutAndQuit() override;
  bool confirmSignInFromLink(const std::optional<std::string>& currentUser) override;
};
