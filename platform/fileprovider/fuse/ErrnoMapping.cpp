#include "ErrnoMapping.h"

#include "FileProviderError.h"

#include <QNetworkReply>

#include <cerrno>

namespace pixavella {

int errnoForError(const Error& error)
{
    if (error.domain == ErrorDomain::FileProvider) {
        switch (error.code) {
        case FileProviderErrorCode::notAuthenticated:
            return EACCES;
        case FileProviderErrorCode::noSuchItem:
            return ENOENT;
        case FileProviderErrorCode::serverUnreachable:
            return EHOSTUNREACH;
        case FileProviderErrorCode::filenameCollision:
            return EEXIST;
        case FileProviderErrorCode::insufficientQuota:
            return ENOSPC;
        case FileProviderErrorCode::excludedFromSync:
            return EPERM;
        default:
            return EIO;
        }
    }
    if (error.domain == ErrorDomain::Cocoa)
        return error.code == CocoaErrorCode::featureUnsupported ? ENOTSUP : EIO;
    if (error.domain == ErrorDomain::Client) {
        switch (error.code) {
        case 401:
        case 403:
            return EACCES;
        case 400:
        case 404:
            return ENOENT;
        default:
            return EIO;
        }
    }
    if (error.domain == ErrorDomain::Network)
        return error.code == QNetworkReply::TimeoutError ? ETIMEDOUT : EHOSTUNREACH;
    // A file error carries its errno; 0 or a negative value would read as success to the kernel.
    if (error.domain == ErrorDomain::File)
        return error.code > 0 ? error.code : EIO;
    return EIO;
}

} // namespace pixavella
