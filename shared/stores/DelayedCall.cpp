#include "DelayedCall.h"

namespace pixavella {

DelayedCall::DelayedCall(std::function<void()> call) : m_call(std::move(call)) {}

DelayedCall::~DelayedCall()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void DelayedCall::armWithin(std::chrono::milliseconds delay)
{
    const auto due = std::chrono::steady_clock::now() + delay;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping || (m_due && *m_due <= due))
            return;
        m_due = due;
        if (!m_thread.joinable())
            m_thread = std::thread([this] { run(); });
    }
    m_changed.notify_all();
}

void DelayedCall::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (!m_due) {
            m_changed.wait(lock);
            continue;
        }
        // A copy: wait_until reads the time again after waking, when m_due may be another.
        const std::chrono::steady_clock::time_point due = *m_due;
        if (m_changed.wait_until(lock, due) != std::cv_status::timeout)
            continue;
        if (!m_due || std::chrono::steady_clock::now() < *m_due)
            continue;
        m_due.reset();
        lock.unlock();
        m_call();
        lock.lock();
    }
}

} // namespace pixavella
