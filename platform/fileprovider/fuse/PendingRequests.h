#pragma once

#include "FuseApi.h"

#include <QHash>

#include <functional>
#include <mutex>
#include <shared_mutex>

namespace pixavella {

// Every FUSE request the host has not answered yet. A request is answered exactly once: by
// whoever takes it first (the extension's completion, a time-out, or the shutdown, which
// answers all that remain). No answer is sent once the session is closed.
class PendingRequests {
public:
    using Id = quint64;

    Id add(fuse_req_t req);
    // Runs `answer` with the request if it is still open; false when someone answered it.
    bool answer(Id id, const std::function<void(fuse_req_t)>& answer);
    // `error` is never 0: a request that carries nothing back is answered with succeed().
    bool fail(Id id, int error);
    // Answers a request that carries nothing back (a flush, a release, an unlink) as done.
    bool succeed(Id id);
    // Answers as done when `error` is 0, else fails with it: for outcomes reported as an errno.
    bool finish(Id id, int error);
    bool isOpen(Id id) const;
    // Answers every open request with `error` and refuses all later answers; returns once no
    // answer is being sent any more, so the session can then be destroyed.
    void close(int error);
    qsizetype openCount() const;

private:
    // Shared while an answer is sent, exclusive while closing. Taken before m_mutex.
    mutable std::shared_mutex m_gate;
    // Guards m_open, m_next and m_closed.
    mutable std::mutex m_mutex;
    QHash<Id, fuse_req_t> m_open;
    Id m_next = 1;
    bool m_closed = false;
};

} // namespace pixavella
