#include "Deadlines.h"

namespace pixavella {

Deadlines::Deadlines() : m_thread([this] { run(); }) {}

Deadlines::~Deadlines()
{
    stop();
}

Deadlines::Id Deadlines::schedule(std::chrono::milliseconds delay, std::function<void()> action)
{
    const TimePoint at = std::chrono::steady_clock::now() + delay;
    Id id = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return 0;
        id = m_next++;
        m_byTime.emplace(at, id);
        m_actions.emplace(id, std::make_pair(at, std::move(action)));
    }
    m_wake.notify_one();
    return id;
}

void Deadlines::cancel(Id id)
{
    std::lock_guard lock(m_mutex);
    auto it = m_actions.find(id);
    if (it == m_actions.end())
        return;
    auto [first, last] = m_byTime.equal_range(it->second.first);
    for (auto t = first; t != last; ++t) {
        if (t->second == id) {
            m_byTime.erase(t);
            break;
        }
    }
    m_actions.erase(it);
}

void Deadlines::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_byTime.clear();
        m_actions.clear();
    }
    m_wake.notify_one();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

void Deadlines::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (m_byTime.empty()) {
            m_wake.wait(lock);
            continue;
        }
        const auto first = m_byTime.begin();
        // A copy: the node may be erased by cancel() while this thread waits.
        const TimePoint due = first->first;
        if (std::chrono::steady_clock::now() < due) {
            m_wake.wait_until(lock, due);
            continue;
        }
        const Id id = first->second;
        m_byTime.erase(first);
        auto it = m_actions.find(id);
        if (it == m_actions.end())
            continue;
        std::function<void()> action = std::move(it->second.second);
        m_actions.erase(it);
        lock.unlock();
        action();
        lock.lock();
    }
}

} // namespace pixavella
