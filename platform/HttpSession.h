#pragma once

#include "Error.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace pixavella {

struct HttpRequest {
    QUrl url;
    QByteArray method = "GET";
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;           // sent when not empty (and no uploadFile)
    QString uploadFile;        // when set, the body is streamed from this file
    QString downloadFile;      // when set, the body is written straight to this file
    int timeoutMs = 60'000;

    void setHeader(const QByteArray& name, const QByteArray& value);
};

// One answer: a transport error, or an HTTP status with its body.
struct HttpReply {
    std::optional<Error> transportError; // domain ErrorDomain::Network, code QNetworkReply::NetworkError
    int status = -1;                     // -1: no HTTP response
    QByteArray body;                     // empty when the body went to downloadFile
    QList<QPair<QByteArray, QByteArray>> headers;
    QString downloadedFile;              // the file holding the body when one was asked for

    bool hasResponse() const { return status >= 0; }
    bool isSuccess() const { return !transportError && status >= 200 && status <= 299; }
    QByteArray header(const QByteArray& name) const; // case-insensitive
};

// A request in flight. cancel() ends it with QNetworkReply::OperationCanceledError; the
// completion still runs exactly once.
class HttpTask {
public:
    virtual ~HttpTask() = default;
    virtual void cancel() = 0;
};

// Progress of a transfer: bytes done and expected (-1 when unknown), sent or received.
using HttpProgress = std::function<void(qint64 done, qint64 total)>;
using HttpCompletion = std::function<void(HttpReply)>;

// The process's one HTTP session. A private thread owns the QNetworkAccessManager; requests
// may be started from any thread; completions and progress run on a small callback thread
// pool, never on the main thread and never on the network thread, so a callback that waits
// (bounded) cannot block the answer it waits for.
class HttpSession {
public:
    static HttpSession& shared();

    std::shared_ptr<HttpTask> start(HttpRequest request, HttpCompletion completion,
                                     HttpProgress progress = {});

    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

private:
    HttpSession();
    ~HttpSession();
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace pixavella
