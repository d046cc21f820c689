#pragma once

#include "HttpRequest.h"

#include <functional>
#include <memory>

namespace pixavella {

// A request in flight. cancel() ends it with QNetworkReply::OperationCanceledError; the
// completion still runs exactly once. Cancelling a finished request does nothing. Dropping
// the handle does not cancel.
class HttpTask {
public:
    virtual ~HttpTask() = default;
    virtual void cancel() = 0;
};

using HttpCompletion = std::function<void(HttpReply)>;

// The process's one HTTP session. A private thread owns the QNetworkAccessManager; requests
// may be started from any thread; completions and progress run on a small callback thread
// pool, never on the main thread and never on the network thread, so a callback that waits
// (bounded) cannot block the answer it waits for. The callbacks of one request run one at a
// time and in order (progress before completion). No cookies are kept; answers are not cached.
// An upload file for a plain http:// server without a proxy is sent by HttpFileUpload on a
// thread of the session's own, not through Qt; its answer arrives the same way.
// The session stops when the QCoreApplication is destroyed; requests started after that
// complete at once as cancelled.
class HttpSession {
public:
    // Kept process-wide: the Immich client is a plain value, and its free functions start
    // their requests here; the mains hand this one to the objects that send their own.
    static HttpSession& shared();

    std::shared_ptr<HttpTask> start(HttpRequest request, HttpCompletion completion,
                                    HttpProgress progress = {});
    // Runs `job` on the callback pool: for completions that need no request (an answer known
    // beforehand, a failure before sending) and for work too slow for the caller's thread.
    void dispatch(std::function<void()> job);

    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

private:
    HttpSession();
    ~HttpSession();
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace pixavella
