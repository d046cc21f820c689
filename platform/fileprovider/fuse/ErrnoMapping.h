#pragma once

#include "Error.h"

namespace pixavella {

// The host's own error kinds (ErrorDomain::FileProvider codes the framework defines besides
// the extension's): a sync anchor the extension no longer understands makes the host relist.
namespace FileProviderHostErrorCode {
inline constexpr int syncAnchorExpired = -1002;
} // namespace FileProviderHostErrorCode

// The one place where an error of any layer becomes the errno a FUSE request answers.
int errnoForError(const Error& error);

} // namespace pixavella
