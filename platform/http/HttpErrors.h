#pragma once

#include "Error.h"

#include <QNetworkReply>

#include <cerrno>

namespace pixavella::http {

// Transport errors carry Qt's codes and texts whichever way a request went, so that callers
// cannot tell Qt's path from the session's own uploads.
inline Error networkError(QNetworkReply::NetworkError code, const QString& text)
{
    return Error{ErrorDomain::Network, int(code), text};
}

inline Error canceledError()
{
    return networkError(QNetworkReply::OperationCanceledError,
                        QStringLiteral("Operation canceled"));
}

inline Error timeoutError()
{
    return networkError(QNetworkReply::TimeoutError, QStringLiteral("Operation timed out"));
}

inline Error closedError()
{
    return networkError(QNetworkReply::RemoteHostClosedError, QStringLiteral("Connection closed"));
}

// errno after a failed call, never 0.
inline int lastErrno()
{
    return errno != 0 ? errno : EIO;
}

// The most a body's announced length reserves at once: a length is only the server's word.
constexpr qint64 kMaxBodyReserve = 64 * 1024 * 1024;

} // namespace pixavella::http
