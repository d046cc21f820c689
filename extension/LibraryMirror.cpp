#include "LibraryMirror.h"

#include "Clock.h"
#include "DedupIndex.h"
#include "ExtensionLog.h"
#include "FPNode.h"
#include "Log.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace pixavella {

namespace {

// The mirror keys each asset by the drive's identifier of it in "Mes photos", so that the
// items of a month, and the host's copy of them, share that one string with the mirror.
QString keyOf(const QString& assetId)
{
    QString key = FPNode::asset(assetId).identifier();
    key.squeeze();
    return key;
}

QString idOf(const QString& key)
{
    static const qsizetype prefix = FPNode::asset(QString()).identifier().size();
    return key.mid(prefix);
}

// A change listing that ended this long ago still counts as now: the refreshes a batch of
// signals starts share it.
constexpr qint64 kJustNowMs = 1000;
// The dedup index is written whole; change listings rewrite it at most this often.
constexpr qint64 kDedupIntervalMs = 60'000;

int monthNumber(const YearMonth& m)
{
    return m.year * 12 + (m.month - 1);
}

YearMonth yearMonthOf(int number)
{
    const int year = number >= 0 ? number / 12 : -((-number + 11) / 12);
    return YearMonth{year, number - year * 12 + 1};
}

bool sameAsset(const ImmichAsset& a, const ImmichAsset& b)
{
    const auto exif = [](const ImmichAsset& x) {
        return x.exifInfo ? std::make_pair(x.exifInfo->fileSizeInByte, x.exifInfo->dateTimeOriginal)
                          : std::make_pair(std::optional<qint64>(), std::optional<QString>());
    };
    return a.type == b.type && a.originalFileName == b.originalFileName &&
           a.fileCreatedAt == b.fileCreatedAt && a.fileModifiedAt == b.fileModifiedAt &&
           a.checksum == b.checksum && exif(a) == exif(b);
}

} // namespace

void LibraryMirror::sync(const ImmichClient& client, Need need, Completion<void> done)
{
    {
        QMutexLocker lock(&m_lock);
        const QString account = client.baseURL().toString() + u'\n' + client.apiKey();
        if (account != m_account) {
            clearLocked();
            m_account = account;
        }
        const bool upToDate = m_loaded && m_staleSeen == m_staleCount && !m_reconcileDue;
        const qint64 age = m_lastSync.isValid() ? m_lastSync.msecsTo(Clock::now())
                                                : std::numeric_limits<qint64>::max();
        if (need == Need::known && upToDate && age >= 0 && age < qint64(kLifetime * 1000)) {
            lock.unlock();
            done(Result<void>::success());
            return;
        }
        if (m_running) {
            // A listing under way may have asked before the change this caller knows of.
            if (need == Need::current) {
                m_nextWaiters.append(std::move(done));
                m_nextClient = client;
            } else {
                m_waiters.append(std::move(done));
            }
            return;
        }
        m_waiters.append(std::move(done));
        m_running = true;
    }
    run(client);
}

void LibraryMirror::run(const ImmichClient& client)
{
    bool full = false;
    quint64 staleAtStart = 0;
    std::optional<QDateTime> since;
    QString account;
    {
        QMutexLocker lock(&m_lock);
        account = m_account;
        full = !m_loaded || m_reconcileDue || !m_anchor;
        staleAtStart = m_staleCount;
        if (!full)
            since = m_anchor->addSecs(-kChangeMargin.count());
    }
    qCDebug(lcFileProvider).noquote()
        << PIXAVELLA_LOG_PREFIX "library listing:"
        << (full ? QStringLiteral("whole")
                 : QStringLiteral("changes since ") + since->toString(Qt::ISODate));
    client.searchAssetChanges(
        since, [this, full, staleAtStart, account](Result<ImmichClient::AssetListing> listing) {
            finished(full, staleAtStart, account, std::move(listing));
        });
}

void LibraryMirror::insertLocked(const ImmichAsset& asset, QSet<int>& touched)
{
    // A new string: a listing's are cut from blocks the page reader shares among them, and a
    // key kept for the life of the mirror would keep its whole block alive.
    const QString key = keyOf(asset.id);
    const auto old = m_assets.constFind(key);
    if (old != m_assets.cend() && sameAsset(old->unpack(asset.id), asset))
        return;
    removeLocked(asset.id, touched);
    const std::optional<YearMonth> month = captureMonth(asset);
    const std::optional<int> number = month ? std::optional(monthNumber(*month)) : std::nullopt;
    m_assets.insert(key, PackedAsset(asset, number));
    if (number) {
        m_byMonth[*number].insert(key);
        touched.insert(*number);
    }
}

void LibraryMirror::removeLocked(const QString& id, QSet<int>& touched)
{
    const QString key = keyOf(id);
    const auto packed = m_assets.constFind(key);
    if (packed == m_assets.cend())
        return;
    const std::optional<int> month = packed->month();
    m_assets.erase(packed);
    if (!month)
        return;
    const int number = *month;
    auto ids = m_byMonth.find(number);
    if (ids != m_byMonth.end()) {
        ids->remove(key);
        if (ids->isEmpty())
            m_byMonth.erase(ids);
    }
    touched.insert(number);
}

void LibraryMirror::finished(bool full, quint64 staleAtStart, const QString& account,
                             Result<ImmichClient::AssetListing> listing)
{
    QList<Completion<void>> waiters;
    std::optional<ImmichClient> next;
    bool again = false;
    QSet<int> touched;
    Listener listener;
    std::shared_ptr<DedupIndex::Builder> dedup;
    {
        QMutexLocker lock(&m_lock);
        waiters = std::exchange(m_waiters, {});
        // Those who asked during this listing get the next one, at once.
        m_waiters = std::exchange(m_nextWaiters, {});
        next = std::exchange(m_nextClient, std::nullopt);
        again = !m_waiters.isEmpty() && next;
        m_running = again;
        // Listed for an account signed out since: nothing of it is kept.
        if (listing && account == m_account) {
            ImmichClient::AssetListing& answer = listing.value();
            if (full) {
                // What changed between the two wholes is what the folders must show anew.
                const QHash<int, QSet<QString>> before = std::move(m_byMonth);
                m_assets.clear();
                m_byMonth.clear();
                QSet<int> ignored;
                for (const ImmichAsset& asset : std::as_const(answer.assets))
                    if (!asset.isTrashed.value_or(false))
                        insertLocked(asset, ignored);
                for (auto it = before.cbegin(); it != before.cend(); ++it)
                    if (m_byMonth.value(it.key()) != it.value())
                        touched.insert(it.key());
                for (auto it = m_byMonth.cbegin(); it != m_byMonth.cend(); ++it)
                    if (!before.contains(it.key()))
                        touched.insert(it.key());
                if (!m_loaded)
                    touched.clear(); // nothing was shown before: nothing to tell
                m_reconcileDue = false;
                m_lastReconcile = Clock::now();
            } else {
                for (const ImmichAsset& asset : std::as_const(answer.assets)) {
                    if (asset.isTrashed.value_or(false))
                        removeLocked(asset.id, touched);
                    else
                        insertLocked(asset, touched);
                }
            }
            // Without the server's time, the desktop's is all there is; the margin covers a
            // clock a little apart.
            m_anchor = answer.serverTime ? *answer.serverTime : Clock::now().toUTC();
            m_loaded = true;
            m_lastSync = Clock::now();
            m_staleSeen = staleAtStart;
            if (full ||
                (!touched.isEmpty() && (!m_lastDedup.isValid() ||
                                        m_lastDedup.msecsTo(Clock::now()) >= kDedupIntervalMs))) {
                dedup = m_dedup.newBuilder();
                dedup->add(full ? answer.assets : assetsLocked());
                m_lastDedup = Clock::now();
            }
        } else {
            qCInfo(lcFileProvider).noquote()
                << PIXAVELLA_LOG_PREFIX "library listing failed:" << listing.error().description;
        }
        listener = m_listener;
    }
    if (dedup)
        m_dedup.storeInBackground(dedup);
    const Result<void> answer = listing ? Result<void>::success() : Result<void>(listing.error());
    for (const Completion<void>& waiter : std::as_const(waiters))
        waiter(answer);
    if (listener && !touched.isEmpty()) {
        QList<YearMonth> months;
        for (const int number : std::as_const(touched))
            months.append(yearMonthOf(number));
        listener(months);
    }
    if (again)
        run(*next);
}

bool LibraryMirror::isLoaded() const
{
    QMutexLocker lock(&m_lock);
    return m_loaded;
}

qint64 LibraryMirror::count() const
{
    QMutexLocker lock(&m_lock);
    return m_assets.size();
}

QList<ImmichAsset> LibraryMirror::assets() const
{
    QMutexLocker lock(&m_lock);
    return assetsLocked();
}

QList<ImmichAsset> LibraryMirror::assetsLocked() const
{
    QList<ImmichAsset> out;
    out.reserve(m_assets.size());
    for (auto it = m_assets.cbegin(); it != m_assets.cend(); ++it)
        out.append(it->unpack(idOf(it.key())));
    return out;
}

QList<MirroredAsset> LibraryMirror::assetsOf(const YearMonth& month) const
{
    QMutexLocker lock(&m_lock);
    QList<MirroredAsset> out;
    const auto keys = m_byMonth.constFind(monthNumber(month));
    if (keys == m_byMonth.cend())
        return out;
    out.reserve(keys->size());
    for (const QString& key : *keys)
        out.append({key, m_assets.value(key).unpack(idOf(key))});
    lock.unlock();
    // The server's own order: newest capture first; the id keeps equal dates apart.
    std::vector<std::pair<QDateTime, qsizetype>> order;
    order.reserve(size_t(out.size()));
    for (qsizetype i = 0; i < out.size(); ++i)
        order.emplace_back(captureDate(out[i].asset).value_or(QDateTime()), i);
    std::sort(order.begin(), order.end(), [&out](const auto& a, const auto& b) {
        if (a.first != b.first)
            return a.first > b.first;
        return out[a.second].asset.id < out[b.second].asset.id;
    });
    QList<MirroredAsset> sorted;
    sorted.reserve(out.size());
    for (const auto& [date, index] : order)
        sorted.append(std::move(out[index]));
    return sorted;
}

std::optional<ImmichAsset> LibraryMirror::asset(const QString& id) const
{
    QMutexLocker lock(&m_lock);
    const auto it = m_assets.constFind(keyOf(id));
    if (it == m_assets.cend())
        return std::nullopt;
    return it->unpack(id);
}

QSet<int> LibraryMirror::years() const
{
    QMutexLocker lock(&m_lock);
    QSet<int> out;
    for (auto it = m_byMonth.cbegin(); it != m_byMonth.cend(); ++it)
        out.insert(yearMonthOf(it.key()).year);
    return out;
}

QSet<int> LibraryMirror::monthsOf(int year) const
{
    QMutexLocker lock(&m_lock);
    QSet<int> out;
    for (int month = 1; month <= 12; ++month)
        if (m_byMonth.contains(monthNumber(YearMonth{year, month})))
            out.insert(month);
    return out;
}

void LibraryMirror::markStale()
{
    QMutexLocker lock(&m_lock);
    ++m_staleCount;
}

void LibraryMirror::markReconcileDue()
{
    QMutexLocker lock(&m_lock);
    m_reconcileDue = true;
}

void LibraryMirror::forget(const QString& assetId)
{
    QSet<int> touched;
    Listener listener;
    {
        QMutexLocker lock(&m_lock);
        removeLocked(assetId, touched);
        listener = m_listener;
    }
    if (listener && !touched.isEmpty())
        listener({yearMonthOf(*touched.cbegin())});
}

void LibraryMirror::clear()
{
    QMutexLocker lock(&m_lock);
    clearLocked();
}

void LibraryMirror::clearLocked()
{
    m_account.clear();
    m_loaded = false;
    m_reconcileDue = false;
    m_anchor.reset();
    m_lastSync = QDateTime();
    m_lastReconcile = QDateTime();
    m_assets.clear();
    m_byMonth.clear();
}

QDateTime LibraryMirror::lastReconcile() const
{
    QMutexLocker lock(&m_lock);
    return m_lastReconcile;
}

void LibraryMirror::setListener(Listener listener)
{
    QMutexLocker lock(&m_lock);
    m_listener = std::move(listener);
}

} // namespace pixavella
