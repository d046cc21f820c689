#pragma once

#include "FuseApi.h"
#include "Result.h"

#include <QString>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace pixavella {

class HostCore;

// One mount of a HostCore: the libfuse session, the kernel mount and the multi-threaded loop.
class FuseSession {
public:
    FuseSession(std::shared_ptr<HostCore> core, QString mountPoint, bool debug);
    ~FuseSession();
    FuseSession(const FuseSession&) = delete;
    FuseSession& operator=(const FuseSession&) = delete;

    // `ended` runs on the loop thread when the loop stops without unmount().
    Result<void> mount(std::function<void()> ended);
    void unmount();
    bool isMounted() const;

private:
    void runLoop();

    const std::shared_ptr<HostCore> m_core;
    const QString m_mountPoint;
    const bool m_debug;
    // Serialises mount() and unmount(); taken before m_mutex.
    std::mutex m_control;
    // Guards the fields below.
    mutable std::mutex m_mutex;
    std::condition_variable m_loopEnded;
    fuse_session* m_session = nullptr;
    quint32 m_device = 0;
    bool m_running = false;
    bool m_unmounting = false;
    std::function<void()> m_ended;
    std::thread m_loop;
};

} // namespace pixavella
