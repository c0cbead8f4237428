#include "KXDocumentError.h"

namespace {
const char* failureReason(KXDocumentError code) {
  switch (code) {
    case KXDocumentError::containerAlreadyExists:
    case KXDocumentError::containerAlreadyExistsForOtherOrigin: return "Close other documents and try again.";
    case KXDocumentError::containerHasUnwrittenChanges: return "More changes were made while saving.";
    case KXDocumentError::containerIsNotDirectory: return "The document must use the Korvel folder format.";
    case KXDocumentError::archiveIsContainer: return "The document uses the Korvel folder format.";
    case KXDocumentError::archiveIsNil: return "The document has no archive.";
    case KXDocumentError::archiveHasIncorrectFileURL: return "The document moved unexpectedly.";
    case KXDocumentError::templateIsNil: return "The document template couldn't be found.";
    case KXDocumentError::unsupportedImageFormat: return "The format of the image is unsupported.";
    case KXDocumentError::notImplemented: return "Not implemented.";
    case KXDocumentError::notLoggedIn: return "Not logged in.";
    case KXDocumentError::unsupportedDocument: return "The document could not be read.";
    case KXDocumentError::documentVersionTooNew: return "The document was written by a later version of Korvel.";
  }
  return "";
}
}  // namespace

Error makeError(KXDocumentError code) {
  Error e(KXDocumentErrorDomain, static_cast<long>(code), failureReason(code));
  e.with(NSLocalizedFailureReasonErrorKey, failureReason(code));
  if (code == KXDocumentError::documentVersionTooNew) e.with(NSLocalizedRecoveryOptionsErrorKey, "Check for Updates\nOK");
  return e;
}

bool isDocumentError(const Error& error, KXDocumentError code) {
  return error.domain == KXDocumentErrorDomain && error.code == static_cast<long>(code);
}
