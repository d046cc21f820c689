#pragma once

// The extension against the Immich double: signing in, running enumerations and requests to
// their end, and a small library both album dialects hold alike.

#include "AssetNameStore.h"
#include "CancelledUploads.h"
#include "ClientTestSupport.h"
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

using namespace Qt::StringLiterals;

inline const QString kMe = u"me@x.test"_s;
inline const QString kOther = u"other@x.test"_s;
inline const QString kMyKey = u"me-key"_s;

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

// Counts the finishes of one enumeration; wait() returns once it finished.
class Finishing {
public:
    bool wait() { return m_done.tryAcquire(1, 30'000); }

    int finishes = 0;
    std::optional<Error> error;

protected:
    // Records what the finish says, under the lock, and counts it.
    template <typename Record> void finish(Record record)
    {
        {
            QMutexLocker lock(&m_mutex);
            ++finishes;
            record();
        }
        m_done.release();
    }
    QMutex m_mutex;

private:
    QSemaphore m_done;
};

// Records one listing.
class Listing final : public FileProviderEnumerationObserver, public Finishing {
public:
    void didEnumerateItems(const QList<FileProviderItemRef>& items) override
    {
        QMutexLocker lock(&m_mutex);
        this->items.append(items);
    }
    void finishEnumeratingUpToPage(const std::optional<FileProviderPage>&) override
    {
        finish([] {});
    }
    void finishEnumeratingWithError(const Error& e) override
    {
        finish([&] { error = e; });
    }

    QList<FileProviderItemRef> items;
};

// Records one change enumeration.
class Changes final : public FileProviderChangeObserver, public Finishing {
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
        finish([&] {
            anchor = a;
            moreComing = more;
        });
    }
    void finishEnumeratingWithError(const Error& e) override
    {
        finish([&] { error = e; });
    }

    QList<FileProviderItemRef> updated;
    QStringList deleted;
    int updateCalls = 0;
    int deleteCalls = 0;
    FileProviderSyncAnchor anchor;
    bool moreComing = true;
};

// The observer once it finished, or with a "Test" error when it did not in time.
template <typename Observer> std::shared_ptr<Observer> finished(std::shared_ptr<Observer> o)
{
    if (!o->wait())
        o->error = Error{u"Test"_s, 0, u"no finish"_s};
    return o;
}

inline std::shared_ptr<Listing> enumerate(const QString& container)
{
    auto listing = std::make_shared<Listing>();
    FileProviderEnumerator(container, processStores())
        .enumerateItems(listing, FileProviderInitialPage::sortedByName);
    return finished(listing);
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
    return finished(listing);
}

inline std::shared_ptr<Changes> enumerateChanges(const QString& container,
                                                 const QByteArray& anchor = "0")
{
    auto changes = std::make_shared<Changes>();
    FileProviderEnumerator(container, processStores()).enumerateChanges(changes, anchor);
    return finished(changes);
}

// Quarantine entries made from small files; the clock moves between them so that the
// quarantine's order (oldest first) is the order of creation.
class Uploads {
public:
    QString add(const QString& name, const std::optional<QDateTime>& capturedAt,
                const UploadQuarantine::Target& target = UploadQuarantine::Target::library(),
                int attempts = 0, const QByteArray& bytes = "payload")
    {
        const QString source = m_dir.filePath(u"source-"_s + name);
        QFile file(source);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        file.close();
        Result<UploadQuarantine::Entry> entry =
            UploadQuarantine::shared().enqueue(source, name, capturedAt, target, std::nullopt);
        if (!entry)
            return {};
        for (int i = 0; i < attempts; ++i)
            UploadQuarantine::shared().recordFailure(entry.value().id, u"HTTP 500"_s, false);
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
    return {{u"owner"_s, owner},
            {u"originalFileName"_s, name},
            {u"base64"_s, QString::fromLatin1((owner + name).toUtf8().toBase64())},
            {u"fileCreatedAt"_s, date},
            {u"isTrashed"_s, trashed}};
}

// The /api requests the double received since its last reset whose path starts with `prefix`.
inline int apiRequests(const ImmichDoubleProcess& server, const QString& prefix = u"/api"_s)
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
        if (!server.start({u"--dialect"_s, dialect, u"--user"_s, kMe + u":pw:"_s + kMyKey,
                           u"--user"_s, kOther + u":pw:other-key"_s}))
            return false;
        const auto add = [this](const QString& owner, const QString& name, const char* date) {
            assets[name] = server.addAsset(assetFor(owner, name, QString::fromLatin1(date)));
        };
        add(kMe, u"mar05.jpg"_s, "2024-03-05T10:00:00.000Z");
        add(kMe, u"mar20.jpg"_s, "2024-03-20T10:00:00.000Z");
        add(kMe, u"nov02.jpg"_s, "2024-11-02T10:00:00.000Z");
        add(kMe, u"jul01.mp4"_s, "2023-07-01T10:00:00.000Z");
        add(kOther, u"theirs1.jpg"_s, "2022-01-01T00:00:00.000Z");
        add(kOther, u"theirs2.jpg"_s, "2022-02-01T00:00:00.000Z");
        const auto member = [](const QString& email, const char* role) {
            return QJsonObject{{u"email"_s, email}, {u"role"_s, QLatin1String(role)}};
        };
        const auto album = [this](const QString& owner, const QString& name, const QStringList& ids,
                                  const QJsonArray& members) {
            albums[name] = server.addAlbum({{u"owner"_s, owner},
                                            {u"albumName"_s, name},
                                            {u"assetIds"_s, QJsonArray::fromStringList(ids)},
                                            {u"members"_s, members}});
        };
        album(kMe, u"Vacances"_s, {assets[u"mar05.jpg"_s], assets[u"jul01.mp4"_s]}, {});
        album(kOther, u"Famille"_s, {assets[u"theirs1.jpg"_s]}, {member(kMe, "editor")});
        album(kOther, u"Mariage"_s, {assets[u"theirs2.jpg"_s]}, {member(kMe, "viewer")});
        server.reset();
        return true;
    }
    QString asset(const char* name) const { return assets.value(QString::fromLatin1(name)); }
    QString album(const char* name) const { return albums.value(QString::fromLatin1(name)); }
};

} // namespace pixavella::testing
