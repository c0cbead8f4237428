#pragma once
// For tests only: lets documents open while nobody is signed in, as the document controller's
// tests need. The application never includes this header.

#include "account/LoginController.h"

struct LoginControllerTesting {
  static void setDocumentsOpenWithoutSignIn(bool open) { LoginController::documentsOpenWithoutSignIn_ = open; }
};
