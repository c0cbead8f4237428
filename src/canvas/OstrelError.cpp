#include "OstrelError.h"

Error OstrelError::ostrelNotFound(const std::string& url) {
  return Error(domain, ostrelNotFoundCode, "The editor was not found").with("NSURL", url);
}

Error OstrelError::ostrelNotReady() { return Error(domain, ostrelNotReadyCode, "The editor page is not ready"); }
