#include "Progress.h"

#include <algorithm>

namespace pixavella {

std::shared_ptr<Progress> Progress::make(qint64 totalUnitCount)
{
    return std::make_shared<Progress>(totalUnitCount);
}

qint64 Progress::totalUnitCount() const
{
    std::lock_guard lock(m_mutex);
    return m_total;
}

void Progress::setTotalUnitCount(qint64 total)
{
    std::lock_guard lock(m_mutex);
    m_total = total;
}

qint64 Progress::completedUnitCount() const
{
    std::lock_guard lock(m_mutex);
    return m_completed;
}

void Progress::setCompletedUnitCount(qint64 completed)
{
    std::lock_guard lock(m_mutex);
    m_completed = completed;
}

void Progress::addCompletedUnitCount(qint64 units)
{
    std::lock_guard lock(m_mutex);
    m_completed += units;
}

void Progress::addChild(std::shared_ptr<Progress> child, qint64 pendingUnitCount)
{
    if (!child || child.get() == this)
        return;
    bool cancelled = false;
    {
        std::lock_guard lock(m_mutex);
        cancelled = m_cancelled;
        m_children.append(Child{child, pendingUnitCount});
    }
    if (cancelled)
        child->cancel();
}

double Progress::fractionCompleted() const
{
    qint64 total = 0;
    qint64 completed = 0;
    QList<Child> children;
    {
        std::lock_guard lock(m_mutex);
        total = m_total;
        completed = m_completed;
        children = m_children;
    }
    if (total <= 0)
        return 0.0;
    double units = double(completed);
    for (const Child& c : std::as_const(children))
        units += std::clamp(c.progress->fractionCompleted(), 0.0, 1.0) * double(c.pendingUnitCount);
    return std::clamp(units / double(total), 0.0, 1.0);
}

void Progress::cancel()
{
    std::function<void()> handler;
    QList<Child> children;
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled)
            return;
        m_cancelled = true;
        handler = std::move(m_cancellationHandler);
        m_cancellationHandler = nullptr;
        children = m_children;
    }
    for (const Child& c : std::as_const(children))
        c.progress->cancel();
    if (handler)
        handler();
}

bool Progress::isCancelled() const
{
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

void Progress::setCancellationHandler(std::function<void()> handler)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_cancelled) {
            m_cancellationHandler = std::move(handler);
            return;
        }
    }
    if (handler)
        handler();
}

} // namespace pixavella
