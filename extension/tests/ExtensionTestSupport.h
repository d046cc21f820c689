#pragma once

// The extension against the Immich double: signing in, running enumerations and requests to
// their end, and a small library both album dialects hold alike.

#include "AssetNameStore.h"
#include "CancelledUploads.h"
#include "Clock.h"
#include "ContainerListing.h"
#include "DedupIndex.h"
#include "DeletionTombstones.h"
#include "DriveExtension.h"
#include "DriveStores.h"
#include "EnumerationSnapshots.h"
#include "FetchCache.h"
#include "FileProviderEnumerator.h"
#include "HttpSession.h"
#include "ImmichClient.h"
#include "ImmichDoubleProcess.h"
#include "LibraryMirror.h"
#include "PedagogicalNoticeQueue.h"
#include "PromotedPendingList.h"
#include "ServerStorage.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "SyncActivity.h"
#include "UploadJournal.h"
#include "UploadQuarantine.h"
#include "UserNoticeQueue.h"

#include <QHash>
#include <QJsonArray>
#include <QMutex>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>

namespace pixavella::testing {

inline const QString kMe = QStringLiteral("me@x.test");
inline const QString kOther = QStringLiteral("other@x.test");
inline const QString kMyKey = QStringLiteral("me-key");

// The test process's stores, built once as the daemon builds its own.
inline DriveStores& driveStores()
{
    static DriveStores owned(SettingsSuite::shared(), HttpSession::shared(),
                             UploadQuarantine::shared());
    return owned;
}

// What the daemon hands to the extension.
inline ExtensionStores processStores()
{
    return driveStores().stores;
}

inline void signIn(const ImmichDoubleProcess& server, const QString& key = kMyKey)
{
    SharedSettings::setServerURL(server.url().toString());
    SharedSettings::setApiKey(key);
}

inline void signOut()
{
    SharedSettings::setApiKey(QString());
}

inline QStringList idsOf(const QList<FileProviderItemRef>& items)
{
    QStringList ids;
    for (const FileProviderItemRef& item : items)
        ids.append(item->itemIdentifier());
    return ids;
}

// "identifier=capabilities" per item, for checks of both at once.
inline QStringList capsOf(const QList<FileProviderItemRef>& items)
{
    QStringList out;
    for (const FileProviderItemRef& item : items)
        out.append(item->itemIdentifier() + u'=' + QString::number(item->capabilities()));
    return out;
}

// Records one listing; wait() returns once it finished.
class Listing final : public FileProviderEnumerationObserver {
public:
    void didEnumerateItems(const QList<FileProviderItemRef>& items) override
    {
        QMutexLocker lock(&m_mutex);
        this->items.append(items);
    }
    void finishEnumeratingUpToPage(const std::optional<FileProviderPage>& page) override
    {
        finish(std::nullopt, page.has_value());
    }
    void finishEnumeratingWithError(const Error& e) override { finish(e, false); }

    bool wait() { return m_done.tryAcquire(1, 30'000); }

    QList<FileProviderItemRef> items;
    std::optional<Error> error;
    int finishes = 0;
    bool nextPage = false;

private:
    void finish(std::optional<Error> e, bool page)
    {
        {
            QMutexLocker lock(&m_mutex);
            ++finishes;
            error = std::move(e);
            nextPage = page;
        }
        m_done.release();
    }
    QMutex m_mutex;
    QSemaphore m_done;
};

// Records one change enumeration.
class Changes final : public FileProviderChangeObserver {
public:
    void didUpdateItems(const QList<FileProviderItemRef>& items) override
    {
        QMutexLocker lock(&m_mutex);
        ++updateCalls;
        updated.append(items);
    }
    void didDeleteItemsWithIdentifiers(const QList<FileProviderItemIdentifier>& ids) override
    {
        QMutexLocker lock(&m_mutex);
        ++deleteCalls;
        deleted.append(ids);
    }
    void finishEnumeratingChangesUpToSyncAnchor(const FileProviderSyncAnchor& a, bool more) override
    {
        {
            QMutexLocker lock(&m_mutex);
            ++finishes;
            anchor = a;
            moreComing = more;
        }
        m_done.release();
    }
    void finishEnumeratingWithError(const Error& e) override
    {
        {
            QMutexLocker lock(&m_mutex);
            ++finishes;
            error = e;
        }
        m_done.release();
    }

    bool wait() { return m_done.tryAcquire(1, 30'000); }

    QList<FileProviderItemRef> updated;
    QStringList deleted;
    int updateCalls = 0;
    int deleteCalls = 0;
    int finishes = 0;
    FileProviderSyncAnchor anchor;
    bool moreComing = true;
    std::optional<Error> error;

private:
    QMutex m_mutex;
    QSemaphore m_done;
};

inline std::shared_ptr<Listing> enumerate(const QString& container)
{
    auto listing = std::make_shared<Listing>();
    FileProviderEnumerator(container, processStores())
        .enumerateItems(listing, FileProviderInitialPage::sortedByName);
    if (!listing->wait())
        listing->error = Error{QStringLiteral("Test"), 0, QStringLiteral("no finish")};
    return listing;
}

// One listing by ContainerListing alone, recorded as the enumerator records it.
inline std::shared_ptr<Listing> listed(const QString& container,
                                       FetchCache::Mode mode = FetchCache::Mode::normal)
{
    auto listing = std::make_shared<Listing>();
    ContainerListing::list(processStores(), container, mode, [listing](Result<ItemList> items) {
        if (!items)
            return listing->finishEnumeratingWithError(items.error());
        listing->didEnumerateItems(items.value());
        listing->finishEnumeratingUpToPage(std::nullopt);
    });
    if (!listing->wait())
        listing->error = Error{QStringLiteral("Test"), 0, QStringLiteral("no finish")};
    return listing;
}

inline std::shared_ptr<Changes> enumerateChanges(const QString& container,
                                                 const QByteArray& anchor = "0")
{
    auto changes = std::make_shared<Changes>();
    FileProviderEnumerator(container, processStores()).enumerateChanges(changes, anchor);
    if (!changes->wait())
        changes->error = Error{QStringLiteral("Test"), 0, QStringLiteral("no finish")};
    return changes;
}

// One completion of an extension request.
template <typename T> class Answer {
public:
    std::function<void(Result<T>)> completion()
    {
        return [this](Result<T> r) {
            {
                QMutexLocker lock(&m_mutex);
                ++calls;
                result.emplace(std::move(r));
            }
            m_done.release();
        };
    }
    bool wait() { return m_done.tryAcquire(1, 30'000); }

    std::optional<Result<T>> result;
    int calls = 0;

private:
    QMutex m_mutex;
    QSemaphore m_done;
};

// Quarantine entries made from small files; the clock moves between them so that the
// quarantine's order (oldest first) is the order of creation.
class Uploads {
public:
    QString add(const QString& name, const std::optional<QDateTime>& capturedAt,
                const UploadQuarantine::Target& target = UploadQuarantine::Target::library(),
                int attempts = 0, const QByteArray& bytes = "payload")
    {
        const QString source = m_dir.filePath(QStringLiteral("source-") + name);
        QFile file(source);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        file.close();
        Result<UploadQuarantine::Entry> entry =
            UploadQuarantine::shared().enqueue(source, name, capturedAt, target, std::nullopt);
        if (!entry)
            return {};
        for (int i = 0; i < attempts; ++i)
            UploadQuarantine::shared().recordFailure(entry.value().id, QStringLiteral("HTTP 500"),
                                                     false);
        if (m_clock)
            m_clock->advance(1);
        return entry.value().id;
    }
    static void clear()
    {
        for (const UploadQuarantine::Entry& e : UploadQuarantine::shared().list())
            (void)UploadQuarantine::shared().remove(e.id);
    }
    void setClock(ManualClock* clock) { m_clock = clock; }

private:
    QTemporaryDir m_dir;
    ManualClock* m_clock = nullptr;
};

inline QDateTime utc(const char* text)
{
    return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate).toUTC();
}

inline QJsonObject assetFor(const QString& owner, const QString& name, const QString& date,
                            bool trashed = false)
{
    return {{QStringLiteral("owner"), owner},
            {QStringLiteral("originalFileName"), name},
            {QStringLiteral("base64"), QString::fromLatin1((owner + name).toUtf8().toBase64())},
            {QStringLiteral("fileCreatedAt"), date},
            {QStringLiteral("isTrashed"), trashed}};
}

// The /api requests the double received since its last reset whose path starts with `prefix`.
inline int apiRequests(const ImmichDoubleProcess& server,
                       const QString& prefix = QStringLiteral("/api"))
{
    int n = 0;
    for (const QJsonValue& r : server.requests())
        n += r[QLatin1String("path")].toString().startsWith(prefix) ? 1 : 0;
    return n;
}

// A small library, the same in both album dialects: my photos over two years, an album of my
// own, and two albums of another user shared with me, as editor and as viewer.
struct SmallLibrary {
    ImmichDoubleProcess server;
    QHash<QString, QString> assets; // by file name
    QHash<QString, QString> albums; // by album name

    bool start(const QString& dialect)
    {
        if (!server.start({QStringLiteral("--dialect"), dialect, QStringLiteral("--user"),
                           kMe + QStringLiteral(":pw:") + kMyKey, QStringLiteral("--user"),
                           kOther + QStringLiteral(":pw:other-key")}))
            return false;
        const auto add = [this](const QString& owner, const QString& name, const char* date) {
            assets[name] = server.addAsset(assetFor(owner, name, QString::fromLatin1(date)));
        };
        add(kMe, QStringLiteral("mar05.jpg"), "2024-03-05T10:00:00.000Z");
        add(kMe, QStringLiteral("mar20.jpg"), "2024-03-20T10:00:00.000Z");
        add(kMe, QStringLiteral("nov02.jpg"), "2024-11-02T10:00:00.000Z");
        add(kMe, QStringLiteral("jul01.mp4"), "2023-07-01T10:00:00.000Z");
        add(kOther, QStringLiteral("theirs1.jpg"), "2022-01-01T00:00:00.000Z");
        add(kOther, QStringLiteral("theirs2.jpg"), "2022-02-01T00:00:00.000Z");
        const auto member = [](const QString& email, const char* role) {
            return QJsonObject{{QStringLiteral("email"), email},
                               {QStringLiteral("role"), QLatin1String(role)}};
        };
        const auto album = [this](const QString& owner, const QString& name, const QStringList& ids,
                                  const QJsonArray& members) {
            albums[name] =
                server.addAlbum({{QStringLiteral("owner"), owner},
                                 {QStringLiteral("albumName"), name},
                                 {QStringLiteral("assetIds"), QJsonArray::fromStringList(ids)},
                                 {QStringLiteral("members"), members}});
        };
        album(kMe, QStringLiteral("Vacances"),
              {assets[QStringLiteral("mar05.jpg")], assets[QStringLiteral("jul01.mp4")]}, {});
        album(kOther, QStringLiteral("Famille"), {assets[QStringLiteral("theirs1.jpg")]},
              {member(kMe, "editor")});
        album(kOther, QStringLiteral("Mariage"), {assets[QStringLiteral("theirs2.jpg")]},
              {member(kMe, "viewer")});
        server.reset();
        return true;
    }
    QString asset(const char* name) const { return assets.value(QString::fromLatin1(name)); }
    QString album(const char* name) const { return albums.value(QString::fromLatin1(name)); }
};

} // namespace pixavella::testing
