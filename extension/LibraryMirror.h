#pragma once

#include "ImmichClient.h"
#include "LibraryCalendar.h"
#include "PackedAsset.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QSet>

#include <chrono>
#include <functional>
#include <optional>

namespace pixavella {

class DedupIndex;

// An asset of the mirror and the identifier of its item in "Mes photos", one string shared
// by the mirror, the items and the host.
struct MirroredAsset {
    QString identifier;
    ImmichAsset asset;
};

// The library as the drive last learned it from the server: every asset outside the trash, by
// id and by capture month. It is listed whole once (at the first use, after a sign-in, when the
// server's count disagrees or a long time has passed); after that only what changed is asked
// for: the assets updated since the anchor, trashed ones included, in the pages of the metadata
// search. A hundred thousand photos then cost a listing once, not on every refresh.
//
// The anchor is the server's own time of the last answer (its Date header), so the desktop's
// clock never matters; each change listing starts kChangeMargin before it, because a change
// can carry a time older than the moment it becomes visible (a transaction still being written
// when the last listing ran) and because the database that stamps changes may run on a clock a
// little apart from the web server's. Listing a change twice is harmless.
//
// A listing that fails part-way changes nothing and keeps the anchor. Thread-safe; no lock is
// held across a request or while a completion runs.
class LibraryMirror {
public:
    static constexpr double kLifetime = 10.0;
    static constexpr std::chrono::seconds kChangeMargin{120};

    // How current a caller needs the library.
    enum class Need {
        // What is known, when known and younger than kLifetime and nothing was changed here.
        known,
        // What the server holds now: a change listing, unless one ended a moment ago.
        current,
    };

    // The listings refresh `dedup` as they go.
    explicit LibraryMirror(DedupIndex& dedup) : m_dedup(dedup) {}
    LibraryMirror(const LibraryMirror&) = delete;
    LibraryMirror& operator=(const LibraryMirror&) = delete;

    // Completes once the mirror holds the library as `need` asks, or with the error of the
    // listing that failed (what was known before is kept: callers that may show it check
    // isLoaded). Calls share listings: one asking what is known joins a listing under way; one
    // asking what the server holds now waits for a listing that starts after it was asked, so a
    // burst of refreshes costs at most two.
    void sync(const ImmichClient& client, Need need, Completion<void> done);

    bool isLoaded() const;
    qint64 count() const;
    QList<ImmichAsset> assets() const;
    // Newest capture first, each with the identifier of its item in "Mes photos".
    QList<MirroredAsset> assetsOf(const YearMonth& month) const;
    std::optional<ImmichAsset> asset(const QString& id) const;
    QSet<int> years() const;
    QSet<int> monthsOf(int year) const;

    // Something was changed here (a drop, a trash, a rename): the next sync asks the server.
    void markStale();
    // (Another server or key than the library was listed with starts from nothing.)
    // The next sync lists the whole library (a count that disagrees, a long time passed).
    void markReconcileDue();
    // An asset deleted for good, which no change listing reports.
    void forget(const QString& assetId);
    // Signed out: nothing is known.
    void clear();
    // When the last whole listing ended (local clock); invalid before the first.
    QDateTime lastReconcile() const;

    // Called after a sync that changed something, with the months it touched (the month an
    // asset left and the one it entered), outside the lock, from the listing's thread.
    using Listener = std::function<void(const QList<YearMonth>& months)>;
    void setListener(Listener listener);

private:
    void run(const ImmichClient& client);
    void clearLocked();
    void finished(bool full, quint64 staleAtStart, const QString& account,
                  Result<ImmichClient::AssetListing> listing);
    // Under m_lock.
    void insertLocked(const ImmichAsset& asset, QSet<int>& touched);
    void removeLocked(const QString& id, QSet<int>& touched);
    QList<ImmichAsset> assetsLocked() const;

    DedupIndex& m_dedup;
    mutable QMutex m_lock; // guards every field below
    QString m_account;     // server and key the library was listed with
    bool m_loaded = false;
    bool m_running = false;
    bool m_reconcileDue = false;
    quint64 m_staleCount = 0; // markStale calls so far
    quint64 m_staleSeen = 0;  // the count the last successful listing covered
    std::optional<QDateTime> m_anchor;
    QDateTime m_lastSync; // local clock, for kLifetime
    QDateTime m_lastReconcile;
    QDateTime m_lastDedup; // local clock of the last dedup index written from here
    // The asset's item identifier → the asset, which also keeps its month number
    // (year * 12 + month - 1).
    QHash<QString, PackedAsset> m_assets;
    QHash<int, QSet<QString>> m_byMonth; // month number → the keys of its assets
    QList<Completion<void>> m_waiters;     // served by the listing under way
    QList<Completion<void>> m_nextWaiters; // need a listing that starts after the current one
    std::optional<ImmichClient> m_nextClient;
    Listener m_listener;
};

} // namespace pixavella
