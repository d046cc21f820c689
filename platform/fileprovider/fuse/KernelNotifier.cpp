#include "KernelNotifier.h"

#include "FuseLog.h"

#include <cerrno>

namespace pixavella {

KernelNotifier::KernelNotifier(fuse_session* session)
    : m_session(session), m_thread([this] { run(); })
{
}

KernelNotifier::~KernelNotifier()
{
    stop();
}

void KernelNotifier::post(const ReplicaDelta& delta)
{
    if (delta.entries.isEmpty() && delta.inodes.isEmpty())
        return;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        for (const auto& [folder, name] : delta.entries)
            m_queue.push_back(Notice{folder, name});
        for (InodeNumber ino : delta.inodes)
            m_queue.push_back(Notice{ino, {}});
    }
    m_wake.notify_one();
}

void KernelNotifier::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_queue.clear();
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void KernelNotifier::run()
{
    for (;;) {
        Notice notice;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                return;
            notice = std::move(m_queue.front());
            m_queue.pop_front();
        }
        int rc = 0;
        if (notice.name.isEmpty())
            rc = fuse_lowlevel_notify_inval_inode(m_session, notice.ino, 0, 0);
        else
            rc = fuse_lowlevel_notify_inval_entry(m_session, notice.ino, notice.name.constData(),
                                                  size_t(notice.name.size()));
        // ENOENT: the kernel did not hold that inode or name, nothing to drop.
        if (rc != 0 && rc != -ENOENT)
            qCDebug(lcFuseHost) << "kernel invalidation of inode" << notice.ino << notice.name
                                << "failed:" << rc;
    }
}

} // namespace pixavella
