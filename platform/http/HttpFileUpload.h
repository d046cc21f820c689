#pragma once

#include "HttpRequest.h"

#include <atomic>

namespace pixavella {

// A request whose body is a whole file, sent over plain HTTP/1.1 by the calling thread: the
// head is written, the file is handed to the kernel with sendfile(2), and the answer is read
// whole (by its Content-Length, chunked, or up to the close). The file's bytes never pass
// through this process, nor through an event loop chunk by chunk. One connection per request,
// closed afterwards.
//
// It answers as the session does: the same status, body and headers (repeated ones joined);
// a refused connection, a connection closed before the answer is whole, a time-out (no byte
// moving either way for timeoutMs), a cancel and an unreadable file give the same errors.
class HttpFileUpload {
public:
    // Whether `request` can go this way: http://, a body file and no download file, no user
    // name in the URL, and no proxy for the URL. Anything else goes through Qt.
    static bool handles(const HttpRequest& request);
    // Statuses the session leaves to Qt, which follows them as it does for any request.
    static bool isRedirect(const HttpReply& reply);

    explicit HttpFileUpload(HttpRequest request);
    ~HttpFileUpload();
    HttpFileUpload(const HttpFileUpload&) = delete;
    HttpFileUpload& operator=(const HttpFileUpload&) = delete;

    // Sends the request and returns the answer; call once. `progress` (may be empty) gets the
    // bytes sent, then the bytes received.
    HttpReply run(const HttpProgress& progress);
    // Any thread, any time: run() ends at once with OperationCanceledError, or does not start.
    void cancel();

private:
    HttpRequest m_request;
    std::atomic<bool> m_cancelled{false};
    int m_wake = -1; // eventfd, readable once cancelled; every wait of run() watches it
};

} // namespace pixavella
