#include "ClientTestSupport.h"
#include "Clock.h"
#include "DedupIndex.h"
#include "FetchCache.h"
#include "ImmichClient.h"
#include "ImmichDoubleProcess.h"
#include "SettingsSuite.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

using namespace pixavella;
using testing::ImmichDoubleProcess;

namespace {

const QString kApiKey = QStringLiteral("fetch-cache-key");

// Runs one cached listing and waits for its completion.
template <typename T, typename Call> Result<T> await(Call call)
{
    const testing::Awaited<T> awaited;
    call(awaited.completion());
    return awaited.wait(60'000);
}

} // namespace

class TestFetchCache : public QObject {
    Q_OBJECT

    ImmichDoubleProcess m_double;
    QString m_albumId;
    CurrentUserIdCache m_users;

    ImmichClient client() const { return ImmichClient(m_double.url(), kApiKey); }

    // /api requests since the last reset whose path starts with `prefix`.
    int requestsTo(const QString& prefix) const
    {
        int count = 0;
        const QJsonArray log = m_double.requests();
        for (const QJsonValue& request : log) {
            if (request[QLatin1String("path")].toString().startsWith(prefix))
                ++count;
        }
        return count;
    }

private slots:
    // In memory

    void invalidateRemovesListedKeysOnly()
    {
        FetchCache cache(m_users);
        cache.store(FetchCache::kAllAssets, QList<ImmichAsset>{});
        cache.store(FetchCache::kSharedAlbums, QList<ImmichAlbum>{});
        cache.invalidate({FetchCache::kAllAssets, FetchCache::albumKey(QStringLiteral("X"))});
        QVERIFY(!cache.fetch<QList<ImmichAsset>>(FetchCache::kAllAssets));
        QVERIFY(cache.fetch<QList<ImmichAlbum>>(FetchCache::kSharedAlbums));
    }

    // Against the server

    void initTestCase()
    {
        QVERIFY(m_double.start(
            {QStringLiteral("--user"), QStringLiteral("cache@pixavella.local:pw:") + kApiKey}));
        const QString assetId =
            m_double.addAsset({{"originalFileName", "IMG_1.JPG"},
                               {"base64", QString::fromLatin1(QByteArray("photo").toBase64())},
                               {"fileCreatedAt", "2024-03-01T10:00:00.000Z"}});
        QVERIFY(!assetId.isEmpty());
        m_albumId = m_double.addAlbum({{"albumName", "Été"}, {"assetIds", QJsonArray{assetId}}});
        QVERIFY(!m_albumId.isEmpty());
    }

    void init()
    {
        if (m_double.port() != 0)
            m_double.reset();
    }

    void listingsAreCachedForTenSeconds_data()
    {
        QTest::addColumn<QString>("listing");
        QTest::addColumn<QString>("path");
        const auto row = [](const char* listing, const char* path) {
            QTest::newRow(listing) << QString(listing) << QString(path);
        };
        row("allAssets", "/api/search/metadata");
        row("albums", "/api/albums");
        row("sharedAlbums", "/api/albums");
        row("album", "/api/albums/");
    }
    void listingsAreCachedForTenSeconds()
    {
        QFETCH(QString, listing);
        QFETCH(QString, path);
        ManualClock clock;
        FetchCache cache(m_users);
        const ImmichClient immich = client();
        // One listing in the given mode; returns the number of items it produced.
        const auto list = [&](FetchCache::Mode mode) -> qsizetype {
            if (listing == QLatin1String("allAssets")) {
                const auto r = await<QList<ImmichAsset>>(
                    [&](auto done) { cache.allAssets(immich, mode, std::move(done)); });
                return r.ok() ? r.value().size() : -1;
            }
            if (listing == QLatin1String("album")) {
                const auto r = await<ImmichAlbumDetail>([&](auto done) {
                    cache.albumDetail(immich, m_albumId, mode, std::move(done));
                });
                return r.ok() ? r.value().assets.size() : -1;
            }
            const bool shared = listing == QLatin1String("sharedAlbums");
            const auto r = await<QList<ImmichAlbum>>(
                [&](auto done) { cache.albums(immich, shared, mode, std::move(done)); });
            return r.ok() ? r.value().size() : -1;
        };
        const qsizetype expected = listing == QLatin1String("sharedAlbums") ? 0 : 1;

        QCOMPARE(list(FetchCache::Mode::normal), expected);
        const int first = requestsTo(path);
        QVERIFY(first >= 1);
        clock.advance(9.9);
        QCOMPARE(list(FetchCache::Mode::normal), expected);
        QCOMPARE(requestsTo(path), first);

        clock.advance(0.1);
        QCOMPARE(list(FetchCache::Mode::normal), expected);
        const int second = requestsTo(path);
        QVERIFY(second > first);

        QCOMPARE(list(FetchCache::Mode::refresh), expected);
        const int third = requestsTo(path);
        QVERIFY(third > second);
        // What the refresh fetched is stored too.
        QCOMPARE(list(FetchCache::Mode::normal), expected);
        QCOMPARE(requestsTo(path), third);
    }

    void assetListFromServerRebuildsDedupIndex()
    {
        ManualClock clock;
        QTemporaryDir dir;
        SettingsSuite suite(dir.filePath(QStringLiteral("prefs.sqlite")));
        DedupIndex index(suite);
        FetchCache cache(m_users, &index);
        const ImmichClient immich = client();
        // The index is written after the listing has been answered.
        const auto list = [&](FetchCache::Mode mode) {
            const Result<QList<ImmichAsset>> assets = await<QList<ImmichAsset>>(
                [&](auto done) { cache.allAssets(immich, mode, std::move(done)); });
            index.waitForBackgroundStores();
            return assets;
        };
        const QSet<QString> photo{QStringLiteral("7rNdMxvdzd/bsKbRb2QSC7ATVv0=")};
        const auto indexed = [&] { return index.checksums(QStringLiteral("IMG_1.JPG"), 2024, 3); };

        QVERIFY(list(FetchCache::Mode::normal).ok());
        QCOMPARE(indexed(), photo);
        // Removed behind the index's back: its readers see that within a second.
        suite.remove(QString::fromLatin1(DedupIndex::kSettingsKey));
        clock.advance(1);
        QVERIFY(list(FetchCache::Mode::normal).ok()); // from the cache: index left alone
        QVERIFY(indexed().isEmpty());
        QVERIFY(list(FetchCache::Mode::refresh).ok());
        QCOMPARE(indexed(), photo);
    }

    void failureStoresNothing()
    {
        FetchCache cache(m_users);
        const ImmichClient immich = client();
        m_double.fail(500, 1, QStringLiteral("/api/search"));
        const auto failed = await<QList<ImmichAsset>>(
            [&](auto done) { cache.allAssets(immich, FetchCache::Mode::normal, std::move(done)); });
        QVERIFY(!failed.ok());
        QVERIFY(!cache.fetch<QList<ImmichAsset>>(FetchCache::kAllAssets));

        const auto retried = await<QList<ImmichAsset>>(
            [&](auto done) { cache.allAssets(immich, FetchCache::Mode::normal, std::move(done)); });
        QVERIFY(retried.ok());
        QCOMPARE(requestsTo(QStringLiteral("/api/search/metadata")), 2);
    }
};

QTEST_GUILESS_MAIN(TestFetchCache)
#include "TestFetchCache.moc"
