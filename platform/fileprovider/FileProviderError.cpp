#include "FileProviderError.h"

#include <QCoreApplication>

namespace pixavella {

Error fileProviderError(int code)
{
    QString name;
    switch (code) {
    case FileProviderErrorCode::notAuthenticated:
        name = QStringLiteral("NSFileProviderErrorNotAuthenticated");
        break;
    case FileProviderErrorCode::filenameCollision:
        name = QStringLiteral("NSFileProviderErrorFilenameCollision");
        break;
    case FileProviderErrorCode::insufficientQuota:
        name = QStringLiteral("NSFileProviderErrorInsufficientQuota");
        break;
    case FileProviderErrorCode::excludedFromSync:
        name = QStringLiteral("NSFileProviderErrorExcludedFromSync");
        break;
    case FileProviderErrorCode::serverUnreachable:
        name = QStringLiteral("NSFileProviderErrorServerUnreachable");
        break;
    case FileProviderErrorCode::noSuchItem:
        name = QStringLiteral("NSFileProviderErrorNoSuchItem");
        break;
    default:
        name = QStringLiteral("NSFileProviderError %1").arg(code);
        break;
    }
    return Error{ErrorDomain::FileProvider, code, name};
}

bool isFileProviderError(const Error& error, int code)
{
    return error.is(ErrorDomain::FileProvider, code);
}

Error unsupportedOperationError()
{
    return Error{
        ErrorDomain::Cocoa, CocoaErrorCode::featureUnsupported,
        QCoreApplication::translate("FileProviderError", "Opération non supportée par Pixavella.")};
}

bool isUnsupportedOperationError(const Error& error)
{
    return error.is(ErrorDomain::Cocoa, CocoaErrorCode::featureUnsupported);
}

} // namespace pixavella
