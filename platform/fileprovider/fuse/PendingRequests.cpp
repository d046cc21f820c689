#include "PendingRequests.h"

namespace pixavella {

PendingRequests::Id PendingRequests::add(fuse_req_t req)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_closed) {
            const Id id = m_next++;
            m_open.insert(id, req);
            return id;
        }
    }
    // Only a loop thread adds requests, so the session is still alive here.
    fuse_reply_err(req, EIO);
    return 0;
}

bool PendingRequests::answer(Id id, const std::function<void(fuse_req_t)>& answer)
{
    std::shared_lock gate(m_gate);
    fuse_req_t req = nullptr;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return false;
        req = m_open.take(id);
    }
    if (!req)
        return false;
    answer(req);
    return true;
}

bool PendingRequests::fail(Id id, int error)
{
    return answer(id, [error](fuse_req_t req) { fuse_reply_err(req, error); });
}

bool PendingRequests::succeed(Id id)
{
    // FUSE answers a request that carries nothing back as error 0.
    return answer(id, [](fuse_req_t req) { fuse_reply_err(req, 0); });
}

bool PendingRequests::finish(Id id, int error)
{
    return error ? fail(id, error) : succeed(id);
}

bool PendingRequests::isOpen(Id id) const
{
    std::lock_guard lock(m_mutex);
    return m_open.contains(id);
}

void PendingRequests::close(int error)
{
    std::unique_lock gate(m_gate);
    std::lock_guard lock(m_mutex);
    m_closed = true;
    for (fuse_req_t req : std::as_const(m_open))
        fuse_reply_err(req, error);
    m_open.clear();
}

qsizetype PendingRequests::openCount() const
{
    std::lock_guard lock(m_mutex);
    return m_open.size();
}

} // namespace pixavella
