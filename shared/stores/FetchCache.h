#pragma once

#include "ImmichClient.h"

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QStringList>

#include <any>
#include <optional>

namespace pixavella {

class DedupIndex;

// The last server answer of a few well-known listings, for kLifetime seconds, in memory. It
// absorbs the bursts of identical listings the file manager asks for; operations that change
// the server invalidate the keys they make stale.
//
// Keys: "allAssets" (QList<ImmichAsset>), "albums" and "sharedAlbums" (QList<ImmichAlbum>),
// "album:" + id (ImmichAlbumDetail).
class FetchCache {
public:
    static constexpr double kLifetime = 10.0;
    static inline const QString kAllAssets = QStringLiteral("allAssets");
    static inline const QString kAlbums = QStringLiteral("albums");
    static inline const QString kSharedAlbums = QStringLiteral("sharedAlbums");
    static QString albumKey(const QString& albumId);

    // normal: a value younger than kLifetime is used; refresh: the server is always asked,
    // except for an album's photos while its entry in the album listings is unchanged since
    // they were read. Either way a successful answer is stored.
    enum class Mode { normal, refresh };

    // The album listings tell own albums from shared ones by the user's id in `currentUser`.
    // `dedupIndex`, when given, is rebuilt from every asset list fetched from the server.
    explicit FetchCache(CurrentUserIdCache& currentUser, DedupIndex* dedupIndex = nullptr);

    template <typename T> void store(const QString& key, T value)
    {
        storeAny(key, std::any(std::move(value)));
    }
    // The value stored under `key` less than kLifetime seconds ago, if it is a T.
    template <typename T> std::optional<T> fetch(const QString& key) const
    {
        const std::optional<std::any> value = fetchAny(key);
        if (!value)
            return std::nullopt;
        if (const T* typed = std::any_cast<T>(&*value))
            return *typed;
        return std::nullopt;
    }
    void invalidate(const QStringList& keys);

    // Cached listings: a hit completes at once on the calling thread; a miss asks the server
    // and completes on the client's callback thread. Failures store nothing. A full asset list
    // that comes from the server also rebuilds the dedup index, written in the background.
    void allAssets(const ImmichClient& client, Mode mode, Completion<QList<ImmichAsset>> done);
    void albums(const ImmichClient& client, bool shared, Mode mode,
                Completion<QList<ImmichAlbum>> done);
    void albumDetail(const ImmichClient& client, const QString& albumId, Mode mode,
                     Completion<ImmichAlbumDetail> done);

    FetchCache(const FetchCache&) = delete;
    FetchCache& operator=(const FetchCache&) = delete;

private:
    struct Entry {
        QDateTime storedAt;
        std::any value;
    };
    void storeAny(const QString& key, std::any value);
    std::optional<std::any> fetchAny(const QString& key) const;
    // What an album's entry in the album listings says of it (when it changed, how many
    // photos), empty when the server does not say when it changed.
    static QString stampOf(const ImmichAlbum& album);
    void noteStamps(const QList<ImmichAlbum>& albums);

    CurrentUserIdCache& m_currentUser;
    DedupIndex* const m_dedupIndex;
    mutable QMutex m_lock; // guards m_entries and the stamps
    QHash<QString, Entry> m_entries;
    QHash<QString, QString> m_albumStamps;  // album id → stamp of its latest listing entry
    QHash<QString, QString> m_detailStamps; // album id → the stamp its cached photos were read at
};

} // namespace pixavella
