#include "NegativeEntries.h"

#include <algorithm>

namespace pixavella {

NegativeEntries::NegativeEntries(double kernelSeconds)
    : m_kernelSeconds(std::max(0.0, kernelSeconds)),
      m_remembered(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(m_kernelSeconds + 1.0)))
{
}

bool NegativeEntries::note(InodeNumber folder, const QByteArray& name, Clock::time_point now)
{
    if (m_kernelSeconds <= 0)
        return false;
    std::lock_guard lock(m_mutex);
    if (m_until.size() >= kCapacity)
        pruneLocked(now);
    if (m_until.size() >= kCapacity)
        return false;
    m_until.insert({folder, name}, now + m_remembered);
    return true;
}

void NegativeEntries::forget(InodeNumber folder, const QByteArray& name)
{
    std::lock_guard lock(m_mutex);
    if (!m_until.isEmpty())
        m_until.remove({folder, name});
}

QList<QPair<InodeNumber, QByteArray>>
NegativeEntries::takeArrived(const QList<QPair<InodeNumber, QByteArray>>& arrivals,
                             Clock::time_point now)
{
    QList<QPair<InodeNumber, QByteArray>> arrived;
    std::lock_guard lock(m_mutex);
    if (m_until.isEmpty())
        return arrived;
    for (const QPair<InodeNumber, QByteArray>& a : arrivals) {
        const auto it = m_until.constFind(a);
        if (it == m_until.cend())
            continue;
        if (it.value() > now)
            arrived.append(a);
        m_until.erase(it);
    }
    return arrived;
}

void NegativeEntries::pruneLocked(Clock::time_point now)
{
    for (auto it = m_until.begin(); it != m_until.end();)
        it = it.value() <= now ? m_until.erase(it) : std::next(it);
}

} // namespace pixavella
