#pragma once

#include "FuseApi.h"
#include "Replica.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace pixavella {

// Tells the kernel to drop cached names and attributes, from a thread of its own: an
// invalidation waits for the kernel's directory locks, which a request waiting on the same
// refresh may hold, so it must never run on the path that answers requests.
class KernelNotifier {
public:
    explicit KernelNotifier(fuse_session* session);
    ~KernelNotifier();
    KernelNotifier(const KernelNotifier&) = delete;
    KernelNotifier& operator=(const KernelNotifier&) = delete;

    void post(const ReplicaDelta& delta);
    // Drops what is still queued and joins the thread; nothing is sent afterwards.
    void stop();

private:
    struct Notice {
        InodeNumber ino = 0;
        QByteArray name; // empty: the inode itself
    };
    void run();

    fuse_session* const m_session;
    // Guards m_queue and m_stopping.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Notice> m_queue;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace pixavella
