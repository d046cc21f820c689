#include "LiveUpdates.h"

#include "EnumerationSignals.h"
#include "ExtensionLog.h"
#include "FPNode.h"
#include "FetchCache.h"
#include "LibraryMirror.h"
#include "Log.h"
#include "SharedSettings.h"

#include <QCoreApplication>
#include <QPointer>

namespace pixavella {

namespace {

QHash<QString, QString> stampsOf(const QList<ImmichAlbum>& albums)
{
    QHash<QString, QString> stamps;
    for (const ImmichAlbum& album : albums)
        stamps.insert(album.id, album.albumName + u'\n' + album.updatedAt.value_or(QString()) +
                                    u'\n' + QString::number(album.assetCount.value_or(-1)));
    return stamps;
}

// The folders that show a month: the month, its year and "Mes photos" (which may gain or lose
// the year).
void signalMonths(const QList<YearMonth>& months)
{
    QSet<FileProviderItemIdentifier> containers;
    for (const YearMonth& month : months) {
        const MonthKey key = monthKey(month);
        containers.insert(FPNode::month(key.year, key.month).identifier());
        containers.insert(FPNode::year(key.year).identifier());
    }
    containers.insert(FPNode::photos().identifier());
    for (const FileProviderItemIdentifier& container : std::as_const(containers))
        EnumerationSignals::signal(container);
}

} // namespace

bool LiveUpdates::fullRefreshOnly()
{
    static const bool full = qEnvironmentVariable("PIXAVELLA_FULL_REFRESH") == QLatin1String("1");
    return full;
}

LiveUpdates::LiveUpdates(const ExtensionStores& stores, QObject* parent)
    : QObject(parent), m_library(stores.library), m_cache(stores.cache)
{
    m_library.setListener(&signalMonths);
    m_soon.setSingleShot(true);
    m_soon.setInterval(kEventDelay);
    connect(&m_soon, &QTimer::timeout, this, &LiveUpdates::refreshNow);
    if (fullRefreshOnly()) {
        m_poll.setInterval(kFullRefreshInterval);
        connect(&m_poll, &QTimer::timeout, this, [this] {
            m_library.markReconcileDue();
            refreshNow();
        });
        m_poll.start();
        return;
    }
    m_poll.setInterval(kPollInterval);
    connect(&m_poll, &QTimer::timeout, this, &LiveUpdates::poll);
    m_albums.setInterval(kAlbumInterval);
    connect(&m_albums, &QTimer::timeout, this, &LiveUpdates::checkAlbums);
    m_count.setInterval(kCountInterval);
    connect(&m_count, &QTimer::timeout, this, &LiveUpdates::checkCount);
    m_reconcile.setInterval(kReconcileInterval);
    connect(&m_reconcile, &QTimer::timeout, this, [this] {
        m_library.markReconcileDue();
        refreshNow();
    });
    m_poll.start();
    m_albums.start();
    m_count.start();
    m_reconcile.start();
}

void LiveUpdates::setChannelUp(bool up)
{
    if (up == m_channelUp)
        return;
    m_channelUp = up;
    if (up) {
        m_poll.stop();
        // What happened while the channel was down was not told: asked once.
        refreshSoon();
        checkAlbums();
    } else {
        m_poll.start();
    }
}

void LiveUpdates::serverEvent(const QString& name, const QJsonArray& arguments)
{
    static const QStringList kChanges = {
        QStringLiteral("on_upload_success"),    QStringLiteral("AssetUploadReadyV2"),
        QStringLiteral("on_asset_update"),      QStringLiteral("on_asset_trash"),
        QStringLiteral("on_asset_restore"),     QStringLiteral("on_asset_hidden"),
        QStringLiteral("on_asset_stack_update"), QStringLiteral("AssetEditReadyV2")};
    if (name == QLatin1String("on_asset_delete")) {
        // Deleted for good: no change listing will ever report it.
        if (arguments.first().isString())
            m_library.forget(arguments.first().toString());
        refreshSoon();
        return;
    }
    if (kChanges.contains(name))
        refreshSoon();
}

void LiveUpdates::refreshSoon()
{
    if (!m_soon.isActive())
        m_soon.start();
}

void LiveUpdates::refreshNow()
{
    if (!m_library.isLoaded())
        return;
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client)
        return;
    m_library.sync(*client, LibraryMirror::Need::current, [](Result<void>) {});
}

// Without the channel nothing tells of a deletion for good but the server's count: it is asked
// (a few bytes) once the change listing is in, so that the changes it brought are counted.
void LiveUpdates::poll()
{
    if (!m_library.isLoaded())
        return;
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client)
        return;
    QPointer<LiveUpdates> guard(this);
    m_library.sync(*client, LibraryMirror::Need::current, [guard](Result<void> synced) {
        if (!synced)
            return;
        QMetaObject::invokeMethod(qApp, [guard] {
            if (guard)
                guard->checkCount();
        });
    });
}

void LiveUpdates::checkAlbums()
{
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client)
        return;
    QPointer<LiveUpdates> guard(this);
    for (const bool shared : {false, true}) {
        m_cache.albums(
            *client, shared, FetchCache::Mode::refresh,
            [guard, shared](Result<QList<ImmichAlbum>> albums) {
                if (!albums)
                    return;
                QMetaObject::invokeMethod(qApp, [guard, shared, stamps = stampsOf(albums.value())] {
                    if (guard)
                        guard->albumsListed(shared, stamps);
                });
            });
    }
}

void LiveUpdates::albumsListed(bool shared, const QHash<QString, QString>& stamps)
{
    std::optional<QHash<QString, QString>>& before = shared ? m_sharedStamps : m_ownStamps;
    if (before && *before != stamps) {
        EnumerationSignals::signal(
            (shared ? FPNode::sharedAlbumsFolder() : FPNode::albums()).identifier());
        for (auto it = stamps.cbegin(); it != stamps.cend(); ++it)
            if (before->value(it.key()) != it.value())
                EnumerationSignals::signal(
                    (shared ? FPNode::sharedAlbum(it.key()) : FPNode::album(it.key()))
                        .identifier());
    }
    before = stamps;
}

void LiveUpdates::checkCount()
{
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client || !m_library.isLoaded())
        return;
    QPointer<LiveUpdates> guard(this);
    client->fetchStatistics([guard](Result<ImmichAssetStatistics> statistics) {
        if (!statistics)
            return;
        const qint64 server = statistics.value().total;
        QMetaObject::invokeMethod(qApp, [guard, server] {
            if (!guard)
                return;
            const qint64 known = guard->m_library.count();
            if (server == known) {
                guard->m_lastMismatch.reset();
                return;
            }
            const std::pair<qint64, qint64> mismatch{server, known};
            if (guard->m_lastMismatch == mismatch)
                return;
            guard->m_lastMismatch = mismatch;
            qCInfo(lcFileProvider).noquote()
                << PIXAVELLA_LOG_PREFIX "the server counts" << server << "photos, the drive"
                << known << ": listing the whole library";
            guard->m_library.markReconcileDue();
            guard->refreshNow();
        });
    });
}

} // namespace pixavella
