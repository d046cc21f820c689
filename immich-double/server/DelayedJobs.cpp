#include "DelayedJobs.h"

namespace immichdouble {

DelayedJobs::DelayedJobs(std::mutex& held) : m_held(held), m_thread([this] { loop(); }) {}

DelayedJobs::~DelayedJobs()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void DelayedJobs::run(int delayMs, std::function<void()> job)
{
    if (delayMs <= 0) {
        job();
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_pending.push({std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs),
                        m_added++, std::move(job)});
    }
    m_changed.notify_all();
}

void DelayedJobs::loop()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (m_pending.empty()) {
            m_changed.wait(lock);
            continue;
        }
        // A copy: wait_until reads the time again after waking, and a job added meanwhile may
        // have moved the queue's storage.
        const std::chrono::steady_clock::time_point at = m_pending.top().at;
        if (std::chrono::steady_clock::now() < at) {
            m_changed.wait_until(lock, at);
            continue;
        }
        std::function<void()> job = m_pending.top().job;
        m_pending.pop();
        lock.unlock();
        {
            std::lock_guard held(m_held);
            job();
        }
        lock.lock();
    }
}

} // namespace immichdouble
