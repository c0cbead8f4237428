#pragma once
// Errors of the document layer, in the domain "KXDocumentErrorDomain"; the failure reason is
// what the user reads when the error is presented.

#include "platform/Error.h"

enum class KXDocumentError : long {
  containerAlreadyExists = 0,
  containerAlreadyExistsForOtherOrigin = 1,
  containerHasUnwrittenChanges = 2,
  containerIsNotDirectory = 3,
  archiveIsContainer = 4,
  archiveIsNil = 5,
  archiveHasIncorrectFileURL = 6,
  templateIsNil = 7,
  unsupportedImageFormat = 8,
  notImplemented = 9,
  notLoggedIn = 10,
  unsupportedDocument = 11,
  documentVersionTooNew = 12,
};

inline constexpr const char* KXDocumentErrorDomain = "KXDocumentErrorDomain";
inline constexpr const char* NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
// The recovery options, one per line, in order.
inline constexpr const char* NSLocalizedRecoveryOptionsErrorKey = "NSLocalizedRecoveryOptions";

Error makeError(KXDocumentError code);
bool isDocumentError(const Error& error, KXDocumentError code);
