#pragma once

#include "Error.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace pixavella {

struct HttpRequest {
    QUrl url; // http or https only; any other scheme fails as a transport error
    QByteArray method = "GET";
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;        // sent when not empty (and no uploadFile)
    QString uploadFile;     // when set, the body is streamed from this file
    QByteArray uploadHead;  // with uploadFile: sent before the file's bytes
    QByteArray uploadTail;  // with uploadFile: sent after them
    QString downloadFile;   // when set, a 2xx body is written straight to this file
    int timeoutMs = 60'000; // longest time without any byte moving either way
    // Qt's time-out counts silence, which a server that never accepts the connection, or an
    // answer that trickles, never ends. These count time: until the connection carries the
    // request (0: no limit), and until the whole answer is in (0: no limit).
    int connectTimeoutMs = 5'000;
    int deadlineMs = 0;

    // Replaces every header of that name (case-insensitive), or adds it.
    void setHeader(const QByteArray& name, const QByteArray& value);
    QByteArray header(const QByteArray& name) const; // case-insensitive
};

// One answer: a transport error, or an HTTP status with its body.
struct HttpReply {
    // Domain ErrorDomain::Network with a QNetworkReply::NetworkError code (a time-out is
    // TimeoutError, a cancel OperationCanceledError), or ErrorDomain::File when the upload
    // file could not be read or the download file could not be written.
    std::optional<Error> transportError;
    int status = -1; // -1: no HTTP response
    QByteArray body; // empty when the body went to downloadFile
    QList<QPair<QByteArray, QByteArray>> headers;
    // The file holding the body, set only for a 2xx answer to a request with downloadFile;
    // otherwise the file is removed and any (error) body is in `body`.
    QString downloadedFile;

    bool hasResponse() const { return status >= 0; }
    bool isSuccess() const { return !transportError && status >= 200 && status <= 299; }
    QByteArray header(const QByteArray& name) const; // case-insensitive
};

// Progress of a transfer: bytes done and expected (-1 when unknown), sent or received.
using HttpProgress = std::function<void(qint64 done, qint64 total)>;

} // namespace pixavella
