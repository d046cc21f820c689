#pragma once

#include "Error.h"

namespace pixavella {

// Codes of ErrorDomain::FileProvider, as the framework defines them.
namespace FileProviderErrorCode {
inline constexpr int notAuthenticated = -1000;
// An item of that name and contents exists already (a duplicate of a photo the server holds).
inline constexpr int filenameCollision = -1001;
inline constexpr int insufficientQuota = -1003;
inline constexpr int serverUnreachable = -1004;
inline constexpr int noSuchItem = -1005;
// The extension does not take this item where it was made (not a photo, not a place for files).
inline constexpr int excludedFromSync = -2010;
} // namespace FileProviderErrorCode

// Codes of ErrorDomain::Cocoa.
namespace CocoaErrorCode {
inline constexpr int featureUnsupported = 3328;
} // namespace CocoaErrorCode

// A framework error with its standard description (the framework's own name of the code).
Error fileProviderError(int code);
bool isFileProviderError(const Error& error, int code);

// The one "unsupported" answer of the drive: "Opération non supportée par Pixavella.".
Error unsupportedOperationError();
bool isUnsupportedOperationError(const Error& error);

} // namespace pixavella
