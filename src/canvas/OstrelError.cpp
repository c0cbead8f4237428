#include "OstrelError.h"

#include "platform/ErrorWording.h"

Error OstrelError::ostrelNotFound(const std::string& url) {
  return Error(domain, ostrelNotFoundCode, "The editor was not found").with("NSURL", url);
}

Error OstrelError::ostrelNotReady() { return Error(domain, ostrelNotReadyCode, "The editor page is not ready"); }

Error OstrelError::designNotHeld() {
  Error e(domain, designNotHeldCode, "The editor page has not reported that it holds the document's design");
  e.with(ErrorWording::failureReasonKey, "The document can't be saved.");
  e.with(ErrorWording::recoverySuggestionKey,
         "The editor never received this document's design from its project server, so what it shows would "
         "replace the whole design. Nothing was written: the document's design and pictures are as they were. "
         "Your edits stay in the open window; open the document again to edit its design.");
  return e;
}
