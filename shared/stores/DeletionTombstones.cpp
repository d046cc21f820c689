#include "DeletionTombstones.h"

#include "Clock.h"

namespace pixavella {

namespace {
void dropExpired(QHash<QString, QDateTime>& map, const QDateTime& now)
{
    const qint64 ttlMs = qint64(DeletionTombstones::ttl * 1000.0);
    for (auto it = map.begin(); it != map.end();) {
        if (it.value().msecsTo(now) < ttlMs)
            ++it;
        else
            it = map.erase(it);
    }
}
} // namespace

void DeletionTombstones::prune()
{
    const QDateTime now = Clock::now();
    dropExpired(m_assets, now);
    dropExpired(m_items, now);
}

void DeletionTombstones::recordAsset(const QString& assetId)
{
    QMutexLocker locker(&m_lock);
    prune();
    m_assets.insert(assetId, Clock::now());
}

void DeletionTombstones::recordItem(const QString& identifier)
{
    QMutexLocker locker(&m_lock);
    prune();
    m_items.insert(identifier, Clock::now());
}

void DeletionTombstones::forgetAsset(const QString& assetId)
{
    QMutexLocker locker(&m_lock);
    prune();
    m_assets.remove(assetId);
}

bool DeletionTombstones::isHidden(const QString& identifier, const std::optional<QString>& assetId)
{
    QMutexLocker locker(&m_lock);
    prune();
    return m_items.contains(identifier) || (assetId && m_assets.contains(*assetId));
}

DeletionTombstones::Alive DeletionTombstones::aliveEntries()
{
    QMutexLocker locker(&m_lock);
    prune();
    return Alive{m_assets, m_items};
}

} // namespace pixavella
