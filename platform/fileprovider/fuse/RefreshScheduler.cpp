#include "RefreshScheduler.h"

#include "Clock.h"

namespace pixavella {

RefreshScheduler::RefreshScheduler(StartRefresh start, qint64 recentUseSeconds)
    : m_start(std::move(start)), m_recentUseSeconds(recentUseSeconds)
{
}

bool RefreshScheduler::recentlyUsed(const State& s) const
{
    return s.lastUse.isValid() && s.lastUse.secsTo(Clock::now()) < m_recentUseSeconds;
}

bool RefreshScheduler::beginLocked(State& s)
{
    if (s.running)
        return false;
    s.running = true;
    s.runningForMark = s.markedOnly;
    s.changed = false;
    s.markedOnly = false;
    s.runningWaiters.append(s.nextWaiters);
    s.nextWaiters.clear();
    return true;
}

void RefreshScheduler::use(const FileProviderItemIdentifier& container, Ready ready)
{
    bool start = false;
    {
        std::lock_guard lock(m_mutex);
        State& s = m_states[container];
        s.lastUse = Clock::now();
        s.forgotten = false;
        if (s.listed && !s.changed && !s.running) {
            // Current: answer below, outside the lock.
        } else if (s.running && !s.changed) {
            s.runningWaiters.append(std::move(ready));
            return;
        } else {
            s.nextWaiters.append(std::move(ready));
            start = beginLocked(s);
            if (!start)
                return;
        }
    }
    if (start) {
        m_start(container);
        return;
    }
    ready(Result<void>::success());
}

void RefreshScheduler::signal(const FileProviderItemIdentifier& container)
{
    bool start = false;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_states.find(container);
        // A container never listed has nothing to refresh: its first use lists it.
        if (it == m_states.end() || !it->listed)
            return;
        it->changed = true;
        it->markedOnly = false;
        if (!it->running && recentlyUsed(*it))
            start = beginLocked(*it);
    }
    if (start)
        m_start(container);
}

void RefreshScheduler::markAllChanged(pid_t writer)
{
    std::lock_guard lock(m_mutex);
    for (State& s : m_states) {
        if (s.listed && !s.changed) {
            s.changed = true;
            s.markedOnly = true;
        }
    }
    m_writer = writer;
    m_writerMarkedAt = Clock::now();
}

bool RefreshScheduler::changedOnlyBy(const FileProviderItemIdentifier& container,
                                     pid_t requester) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_states.constFind(container);
    const qint64 age = m_writerMarkedAt.msecsTo(Clock::now());
    if (requester <= 0 || requester != m_writer || it == m_states.cend() || !it->listed ||
        age < 0 || age >= kWriterWindowSeconds * 1000)
        return false;
    const bool marked = it->changed && it->markedOnly;
    return it->running ? it->runningForMark && (marked || !it->changed) : marked;
}

void RefreshScheduler::startMarkedOnceSettled(std::chrono::milliseconds settled)
{
    QList<FileProviderItemIdentifier> containers;
    {
        std::lock_guard lock(m_mutex);
        if (!m_writerMarkedAt.isValid() || m_writerMarkedAt.msecsTo(Clock::now()) < settled.count())
            return;
        for (auto it = m_states.begin(); it != m_states.end(); ++it)
            if (it->listed && it->changed && it->markedOnly && !it->running &&
                recentlyUsed(*it) && beginLocked(*it))
                containers.append(it.key());
    }
    for (const FileProviderItemIdentifier& c : std::as_const(containers))
        m_start(c);
}

void RefreshScheduler::signalAll()
{
    QList<FileProviderItemIdentifier> containers;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_states.cbegin(); it != m_states.cend(); ++it)
            if (it->listed)
                containers.append(it.key());
    }
    for (const FileProviderItemIdentifier& c : std::as_const(containers))
        signal(c);
}

void RefreshScheduler::finished(const FileProviderItemIdentifier& container,
                                const Result<void>& outcome)
{
    QList<Ready> served;
    bool again = false;
    bool usable = false;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_states.find(container);
        if (it == m_states.end() || !it->running)
            return;
        State& s = *it;
        s.running = false;
        if (outcome.ok())
            s.listed = true;
        usable = s.listed;
        served = std::move(s.runningWaiters);
        s.runningWaiters.clear();
        if (s.changed || !s.nextWaiters.isEmpty()) {
            if (!s.nextWaiters.isEmpty() || recentlyUsed(s))
                again = beginLocked(s);
        } else if (s.forgotten) {
            m_states.erase(it);
        }
    }
    const Result<void> answer = usable ? Result<void>::success() : outcome;
    for (const Ready& ready : std::as_const(served))
        ready(answer);
    if (again)
        m_start(container);
}

void RefreshScheduler::forget(const FileProviderItemIdentifier& container)
{
    std::lock_guard lock(m_mutex);
    auto it = m_states.find(container);
    if (it == m_states.end())
        return;
    if (it->running || !it->nextWaiters.isEmpty())
        it->forgotten = true;
    else
        m_states.erase(it);
}

bool RefreshScheduler::isListed(const FileProviderItemIdentifier& container) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_states.constFind(container);
    return it != m_states.cend() && it->listed;
}

} // namespace pixavella
