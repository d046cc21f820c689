// Item enumeration of every container against the Immich double: contents and order of each
// listing, capabilities, uploads waiting in the quarantine, the fetch cache, the deletion
// filter and the saved snapshot.
#include "ExtensionTestSupport.h"

#include "DeletionTombstones.h"
#include "EnumerationSnapshots.h"
#include "FetchCache.h"
#include "FileProviderItem.h"
#include "PromotedPendingList.h"

using namespace pixavella;
using namespace pixavella::testing;

class TestFileProviderEnumerator : public QObject {
    Q_OBJECT

private:
    ManualClock m_clock{utc("2025-01-10T12:00:00Z")};
    SmallLibrary m_v3;
    SmallLibrary m_classic;
    Uploads m_uploads;

    SmallLibrary& library(const QString& dialect)
    {
        return dialect == QLatin1String("classic") ? m_classic : m_v3;
    }
    // Replaces the dialect and container placeholders of an expected identifier.
    static QString expand(QString text, const SmallLibrary& lib)
    {
        for (auto it = lib.assets.cbegin(); it != lib.assets.cend(); ++it)
            text.replace(u'<' + it.key() + u'>', it.value());
        for (auto it = lib.albums.cbegin(); it != lib.albums.cend(); ++it)
            text.replace(u'<' + it.key() + u'>', it.value());
        return text;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_v3.start(QStringLiteral("v3")));
        QVERIFY(m_classic.start(QStringLiteral("classic")));
        m_uploads.setClock(&m_clock);
    }

    void init()
    {
        // Past every lifetime: cached listings, tombstones, promoted uploads.
        m_clock.advance(600);
        Uploads::clear();
        m_v3.server.reset();
        m_classic.server.reset();
        signIn(m_v3.server);
    }

    void listsNothing_data()
    {
        QTest::addColumn<QString>("container");
        QTest::newRow("photo") << QStringLiteral("ai:l:a");
        QTest::newRow("pending upload") << QStringLiteral("pending:P");
        QTest::newRow("one-digit month") << QStringLiteral("month:2024-3");
        QTest::newRow("trash") << FileProviderContainer::trash;
    }
    void listsNothing()
    {
        QFETCH(QString, container);
        // An upload filed under March 2024 must not leak into "month:2024-3" either.
        m_uploads.add(QStringLiteral("up.jpg"), utc("2024-03-09T00:00:00Z"));
        const auto listing = enumerate(container);
        QVERIFY2(!listing->error, qPrintable(listing->error ? listing->error->description : ""));
        QCOMPARE(idsOf(listing->items), QStringList());
        QCOMPARE(listing->finishes, 1);
        QVERIFY(!listing->nextPage);
    }

    void photosListing_data()
    {
        QTest::addColumn<int>("retried");
        QTest::addColumn<QStringList>("expected");
        // "<undated>" is the upload without capture date, filed directly under "Mes photos".
        QTest::newRow("uploads still tried")
            << 4
            << QStringList{QStringLiteral("year:2024"), QStringLiteral("year:2023"),
                           QStringLiteral("year:2021"), QStringLiteral("<undated>")};
        QTest::newRow("one upload given up")
            << 5
            << QStringList{QStringLiteral("year:2024"), QStringLiteral("year:2023"),
                           QStringLiteral("<undated>"), QStringLiteral("failed")};
    }
    void photosListing()
    {
        QFETCH(int, retried);
        QFETCH(QStringList, expected);
        // A library upload captured in a month without server photos brings its year along
        // while it is still tried; an album upload never does.
        m_uploads.add(QStringLiteral("may21.jpg"), utc("2021-05-04T08:00:00Z"),
                      UploadQuarantine::Target::library(), retried);
        m_uploads.add(QStringLiteral("album.jpg"), utc("2019-05-04T08:00:00Z"),
                      UploadQuarantine::Target::album(m_v3.album("Vacances")));
        const QString undated = m_uploads.add(QStringLiteral("undated.png"), std::nullopt);
        expected.replaceInStrings(QStringLiteral("<undated>"),
                                  QStringLiteral("pending:") + undated);

        const auto listing = enumerate(QStringLiteral("photos"));
        QVERIFY(!listing->error);
        QCOMPARE(idsOf(listing->items), expected);
        for (const FileProviderItemRef& item : listing->items)
            QCOMPARE(item->parentItemIdentifier(), QStringLiteral("photos"));
    }

    void yearAndMonthListings_data()
    {
        QTest::addColumn<QString>("container");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("year, December first")
            << QStringLiteral("year:2024")
            << QStringList{QStringLiteral("month:2024-11"), QStringLiteral("month:2024-03")};
        QTest::newRow("year of an upload only")
            << QStringLiteral("year:2021") << QStringList{QStringLiteral("month:2021-05")};
        QTest::newRow("month, photos in list order, then uploads")
            << QStringLiteral("month:2024-03")
            << QStringList{QStringLiteral("asset:<mar20.jpg>"), QStringLiteral("asset:<mar05.jpg>"),
                           QStringLiteral("pending:<mar.heic>")};
        QTest::newRow("month of an upload only")
            << QStringLiteral("month:2021-05") << QStringList{QStringLiteral("pending:<may.jpg>")};
        QTest::newRow("year without photos") << QStringLiteral("year:1999") << QStringList();
    }
    void yearAndMonthListings()
    {
        QFETCH(QString, container);
        QFETCH(QStringList, expected);
        SmallLibrary lib;
        lib.assets = m_v3.assets;
        lib.assets[QStringLiteral("mar.heic")] =
            m_uploads.add(QStringLiteral("mar.heic"), utc("2024-03-31T23:30:00Z"));
        lib.assets[QStringLiteral("may.jpg")] =
            m_uploads.add(QStringLiteral("may.jpg"), utc("2021-05-04T08:00:00Z"));
        // Given up: shown under "failed" only.
        m_uploads.add(QStringLiteral("gone.jpg"), utc("2024-03-02T00:00:00Z"),
                      UploadQuarantine::Target::library(), 5);

        const auto listing = enumerate(container);
        QVERIFY(!listing->error);
        const QStringList want =
            expected.isEmpty() ? QStringList() : expand(expected.join(u'\n'), lib).split(u'\n');
        QCOMPARE(idsOf(listing->items), want);
        for (const FileProviderItemRef& item : listing->items)
            QCOMPARE(item->parentItemIdentifier(), container);
        if (container.startsWith(QLatin1String("month:")) && !listing->items.isEmpty() &&
            listing->items.first()->itemIdentifier().startsWith(QLatin1String("asset:")))
            QCOMPARE(listing->items.first()->capabilities(), ItemCaps::full);
    }

    void failedListsGivenUpUploadsInQueueOrder()
    {
        const QString first = m_uploads.add(QStringLiteral("a.jpg"), utc("2024-01-01T00:00:00Z"),
                                            UploadQuarantine::Target::library(), 5);
        m_uploads.add(QStringLiteral("b.jpg"), utc("2024-01-01T00:00:00Z"),
                      UploadQuarantine::Target::library(), 4);
        const QString third =
            m_uploads.add(QStringLiteral("c.jpg"), std::nullopt,
                          UploadQuarantine::Target::album(m_v3.album("Vacances")), 7);
        const auto listing = enumerate(QStringLiteral("failed"));
        QCOMPARE(idsOf(listing->items), (QStringList{QStringLiteral("pending:") + first,
                                                     QStringLiteral("pending:") + third}));
        for (const FileProviderItemRef& item : listing->items)
            QCOMPARE(item->parentItemIdentifier(), QStringLiteral("failed"));
    }

    void albumListings_data()
    {
        QTest::addColumn<QString>("dialect");
        QTest::addColumn<QString>("container");
        QTest::addColumn<QStringList>("expected"); // identifier=capabilities
        for (const char* name : {"v3", "classic"}) {
            const QString dialect = QLatin1String(name);
            const QByteArray d(name);
            QTest::newRow(d + " own albums") << dialect << QStringLiteral("albums")
                                             << QStringList{QStringLiteral("album:<Vacances>=59")};
            QTest::newRow(d + " own album, photos then uploads")
                << dialect << QStringLiteral("album:<Vacances>")
                << QStringList{QStringLiteral("ai:<Vacances>:<mar05.jpg>=63"),
                               QStringLiteral("ai:<Vacances>:<jul01.mp4>=63"),
                               QStringLiteral("pending:<Vacances upload>=51")};
            QTest::newRow(d + " shared albums by role")
                << dialect << QStringLiteral("shared")
                << QStringList{QStringLiteral("salbum:<Mariage>=1"),
                               QStringLiteral("salbum:<Famille>=11")};
            QTest::newRow(d + " shared album as editor")
                << dialect << QStringLiteral("salbum:<Famille>")
                << QStringList{QStringLiteral("si:<Famille>:<theirs1.jpg>=51")};
            QTest::newRow(d + " shared album as viewer, no uploads")
                << dialect << QStringLiteral("salbum:<Mariage>")
                << QStringList{QStringLiteral("si:<Mariage>:<theirs2.jpg>=1")};
        }
    }
    void albumListings()
    {
        QFETCH(QString, dialect);
        QFETCH(QString, container);
        QFETCH(QStringList, expected);
        SmallLibrary& lib = library(dialect);
        signIn(lib.server);
        SmallLibrary names;
        names.assets = lib.assets;
        names.albums = lib.albums;
        names.assets[QStringLiteral("Vacances upload")] =
            m_uploads.add(QStringLiteral("v.jpg"), std::nullopt,
                          UploadQuarantine::Target::album(lib.album("Vacances")));
        m_uploads.add(QStringLiteral("m.jpg"), std::nullopt,
                      UploadQuarantine::Target::sharedAlbum(lib.album("Mariage")));

        const auto listing = enumerate(expand(container, names));
        QVERIFY2(!listing->error, qPrintable(listing->error ? listing->error->description : ""));
        QStringList got = capsOf(listing->items);
        QStringList want = expand(expected.join(u'\n'), names).split(u'\n');
        // Album photos come in the server's order, which the dialects may choose differently.
        if (container.startsWith(QLatin1String("album:")) && got.size() == want.size()) {
            std::sort(got.begin(), got.end() - 1);
            std::sort(want.begin(), want.end() - 1);
        }
        QCOMPARE(got, want);
        for (const FileProviderItemRef& item : listing->items)
            QCOMPARE(item->parentItemIdentifier(), expand(container, names));
    }

    void signedOutListsNothingAndAsksNoServer_data()
    {
        QTest::addColumn<QString>("container");
        QTest::newRow("album") << QStringLiteral("album:") + m_v3.album("Vacances");
        QTest::newRow("working set") << FileProviderContainer::workingSet;
    }
    void signedOutListsNothingAndAsksNoServer()
    {
        QFETCH(QString, container);
        signOut();
        const auto listing = enumerate(container);
        QVERIFY(!listing->error);
        QCOMPARE(listing->items.size(), 0);
        QCOMPARE(apiRequests(m_v3.server), 0);
    }

    void secondListingComesFromTheCache()
    {
        QVERIFY(!enumerate(QStringLiteral("photos"))->error);
        m_v3.server.reset();
        m_clock.advance(9);
        for (const char* container : {"photos", "year:2024", "month:2024-03"})
            QVERIFY(!enumerate(QLatin1String(container))->error);
        QCOMPARE(apiRequests(m_v3.server), 0);

        // Change enumeration always asks the server, and refreshes the cache for others.
        QVERIFY(!enumerateChanges(QStringLiteral("photos"))->error);
        QCOMPARE(apiRequests(m_v3.server, QStringLiteral("/api/search/metadata")), 1);
        m_clock.advance(9);
        QVERIFY(!enumerate(QStringLiteral("photos"))->error);
        QCOMPARE(apiRequests(m_v3.server, QStringLiteral("/api/search/metadata")), 1);

        m_clock.advance(10);
        QVERIFY(!enumerate(QStringLiteral("photos"))->error);
        QCOMPARE(apiRequests(m_v3.server, QStringLiteral("/api/search/metadata")), 2);
    }

    void serverFailureEndsTheListing()
    {
        EnumerationSnapshots::shared().save(QStringLiteral("photos"), {QStringLiteral("year:1")});
        const QSet<QString> snapshot{QStringLiteral("year:1")};
        m_v3.server.fail(500, 1, QStringLiteral("/api/search"));
        const auto failed = enumerate(QStringLiteral("photos"));
        QVERIFY(failed->error);
        QCOMPARE(failed->error->domain, ErrorDomain::Client);
        QCOMPARE(failed->error->code, 500);
        QCOMPARE(failed->items.size(), 0);
        QCOMPARE(failed->finishes, 1);
        QCOMPARE(EnumerationSnapshots::shared().load(QStringLiteral("photos")), snapshot);
        // Nothing was cached for the failure.
        QVERIFY(!enumerate(QStringLiteral("photos"))->error);
        QCOMPARE(apiRequests(m_v3.server, QStringLiteral("/api/search/metadata")), 2);
    }

    void failedUserLookupFailsSharedListings()
    {
        CurrentUserIdCache::shared().clear();
        m_v3.server.fail(500, 1, QStringLiteral("/api/users/me"));
        const auto listing = enumerate(QStringLiteral("shared"));
        QVERIFY(listing->error);
        QCOMPARE(listing->error->code, 500);
    }

    void deletionFilterHidesRecentDeletionsAndPromotedUploads()
    {
        const QString promoted =
            m_uploads.add(QStringLiteral("p.jpg"), utc("2024-03-09T00:00:00Z"));
        const QString kept = m_uploads.add(QStringLiteral("k.jpg"), utc("2024-03-10T00:00:00Z"));
        PromotedPendingList::shared().promote(QStringLiteral("pending:") + promoted);
        DeletionTombstones::shared().recordAsset(m_v3.asset("mar20.jpg"));
        DeletionTombstones::shared().recordItem(QStringLiteral("ai:") + m_v3.album("Vacances") +
                                                u':' + m_v3.asset("jul01.mp4"));

        QCOMPARE(idsOf(enumerate(QStringLiteral("month:2024-03"))->items),
                 (QStringList{QStringLiteral("asset:") + m_v3.asset("mar05.jpg"),
                              QStringLiteral("pending:") + kept}));
        QCOMPARE(idsOf(enumerate(QStringLiteral("album:") + m_v3.album("Vacances"))->items),
                 QStringList{QStringLiteral("ai:") + m_v3.album("Vacances") + u':' +
                             m_v3.asset("mar05.jpg")});

        // Both come back once their time is over.
        m_clock.advance(121);
        QCOMPARE(enumerate(QStringLiteral("month:2024-03"))->items.size(), 4);
    }

    void workingSetHoldsEveryItem()
    {
        const QString upload = m_uploads.add(QStringLiteral("w.jpg"), utc("2020-02-02T00:00:00Z"));
        const QString givenUp = m_uploads.add(QStringLiteral("g.jpg"), std::nullopt,
                                              UploadQuarantine::Target::library(), 5);
        const auto listing = enumerate(FileProviderContainer::workingSet);
        QVERIFY(!listing->error);
        const QStringList got = capsOf(listing->items);
        const QString vacances = m_v3.album("Vacances");
        const QString famille = m_v3.album("Famille");
        const QString mariage = m_v3.album("Mariage");
        const QStringList want{QStringLiteral("photos=3"),
                               QStringLiteral("albums=3"),
                               QStringLiteral("shared=1"),
                               QStringLiteral("year:2024=3"),
                               QStringLiteral("year:2023=3"),
                               QStringLiteral("year:2020=3"),
                               QStringLiteral("month:2024-11=3"),
                               QStringLiteral("month:2024-03=3"),
                               QStringLiteral("month:2023-07=3"),
                               QStringLiteral("month:2020-02=3"),
                               QStringLiteral("asset:") + m_v3.asset("mar20.jpg") +
                                   QStringLiteral("=63"),
                               QStringLiteral("album:") + vacances + QStringLiteral("=59"),
                               QStringLiteral("ai:") + vacances + u':' + m_v3.asset("jul01.mp4") +
                                   QStringLiteral("=63"),
                               QStringLiteral("salbum:") + famille + QStringLiteral("=11"),
                               QStringLiteral("si:") + famille + u':' + m_v3.asset("theirs1.jpg") +
                                   QStringLiteral("=51"),
                               QStringLiteral("salbum:") + mariage + QStringLiteral("=1"),
                               QStringLiteral("si:") + mariage + u':' + m_v3.asset("theirs2.jpg") +
                                   QStringLiteral("=1"),
                               QStringLiteral("pending:") + upload + QStringLiteral("=51"),
                               QStringLiteral("pending:") + givenUp + QStringLiteral("=51"),
                               QStringLiteral("failed=3")};
        for (const QString& item : want)
            QVERIFY2(got.contains(item), qPrintable(item));
        QCOMPARE(QSet<QString>(got.cbegin(), got.cend()).size(), got.size());
        QCOMPARE(got.size(), 3 + 3 + 4 + 4 + 1 + 2 + 2 + 2 + 2 + 1);
    }
};

QTEST_GUILESS_MAIN(TestFileProviderEnumerator)
#include "TestFileProviderEnumerator.moc"
