#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

#include <optional>

namespace pixavella {

// What the user has just deleted, remembered for a few seconds so that a listing fetched in
// the same moment (from the server or a snapshot) does not bring it back. In memory only.
class DeletionTombstones {
public:
    DeletionTombstones() = default;

    // An entry hides its item while it is younger than this (strictly).
    static constexpr double ttl = 20.0;

    // A library asset about to be sent to the trash.
    void recordAsset(const QString& assetId);
    // An album ("album:" + id) or an asset inside an album ("ai:…", "si:…").
    void recordItem(const QString& identifier);
    // The asset came back from the trash.
    void forgetAsset(const QString& assetId);
    bool isHidden(const QString& identifier, const std::optional<QString>& assetId = {});

    // The items, in order, that are not hidden by their identifier or their asset id.
    template <typename Item, typename IdentifierOf, typename AssetIdOf>
    QList<Item> filter(const QList<Item>& items, IdentifierOf identifierOf, AssetIdOf assetIdOf)
    {
        const Alive alive = aliveEntries();
        QList<Item> kept;
        kept.reserve(items.size());
        for (const Item& item : items) {
            const std::optional<QString> assetId = assetIdOf(item);
            if (alive.items.contains(identifierOf(item)) ||
                (assetId && alive.assets.contains(*assetId)))
                continue;
            kept.append(item);
        }
        return kept;
    }

private:
    struct Alive {
        QHash<QString, QDateTime> assets;
        QHash<QString, QDateTime> items;
    };
    // Drops the expired entries; callers hold m_lock.
    void prune();
    Alive aliveEntries();

    QMutex m_lock; // guards m_assets and m_items
    QHash<QString, QDateTime> m_assets;
    QHash<QString, QDateTime> m_items;
};

} // namespace pixavella
