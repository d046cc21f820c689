#pragma once

#include <QString>

namespace pixavella {

// Where an error came from. Codes keep their meaning within a domain and pass through every
// layer unchanged, so that whoever maps them (the FUSE host to errno, a window to text) sees
// what really happened.
namespace ErrorDomain {
// Immich client's own errors: code = HTTP status (-1 without HTTP response) or NoData.
inline const QString Client = QStringLiteral("ClientError");
// Transport errors: code = QNetworkReply::NetworkError.
inline const QString Network = QStringLiteral("QNetworkReply");
// JSON that is not what a record needs: code = JsonError value or 0.
inline const QString Decoding = QStringLiteral("Decoding");
// File-system errors: code = errno.
inline const QString File = QStringLiteral("File");
// File-provider framework codes (-1000, -1004, -1005).
inline const QString FileProvider = QStringLiteral("NSFileProviderErrorDomain");
// Generic platform codes (3328: unsupported operation).
inline const QString Cocoa = QStringLiteral("NSCocoaErrorDomain");
} // namespace ErrorDomain

struct Error {
    QString domain;
    int code = 0;
    QString description;

    bool is(const QString& d, int c) const { return domain == d && code == c; }
    bool operator==(const Error&) const = default;
};

// Error from a failed file-system call; `code` is the errno value.
Error fileError(int errnoValue, const QString& context);

} // namespace pixavella
