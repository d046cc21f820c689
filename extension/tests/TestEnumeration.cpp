// ContainerListing and the working set against the Immich double: contents and order of each
// listing, capabilities, uploads waiting in the quarantine, the fetch cache, the deletion
// filter; and the enumerator's changes reported against the saved snapshot.
#include "ExtensionTestSupport.h"
#include "LibraryMirror.h"

#include "DeletionTombstones.h"
#include "EnumerationSnapshots.h"
#include "FetchCache.h"
#include "FileProviderItem.h"
#include "ImmichClient.h"
#include "PromotedPendingList.h"
#include "WorkingSetListing.h"

using namespace pixavella;
using namespace pixavella::testing;

namespace {

QSet<QString> setOf(const QStringList& ids)
{
    return QSet<QString>(ids.cbegin(), ids.cend());
}

} // namespace

class TestEnumeration : public QObject {
    Q_OBJECT

private:
    ManualClock m_clock{utc("2025-01-10T12:00:00Z")};
    SmallLibrary m_v3;
    Uploads m_uploads;

    QString assetItem(const char* name) const
    {
        return QStringLiteral("asset:") + m_v3.asset(name);
    }
    Result<ItemList> workingSet(FetchCache::Mode mode = FetchCache::Mode::normal) const
    {
        Answer<ItemList> answer;
        listWorkingSet(processStores(), ImmichClient(m_v3.server.url(), kMyKey), mode,
                       answer.completion());
        if (!answer.wait())
            return Error{QStringLiteral("Test"), 0, QStringLiteral("no completion")};
        return *answer.result;
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
        m_uploads.setClock(&m_clock);
    }

    void init()
    {
        // Past every lifetime: cached listings, tombstones, promoted uploads.
        m_clock.advance(600);
        Uploads::clear();
        driveStores().library.clear();
        m_v3.server.reset();
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
        const auto listing = listed(container);
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

        const auto listing = listed(QStringLiteral("photos"));
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

        const auto listing = listed(container);
        QVERIFY(!listing->error);
        const QStringList want =
            expected.isEmpty() ? QStringList() : expand(expected.join(u'\n'), lib).split(u'\n');
        QCOMPARE(idsOf(listing->items), want);
        for (const FileProviderItemRef& item : listing->items)
            QCOMPARE(item->parentItemIdentifier(), container);
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
        const auto listing = listed(QStringLiteral("failed"));
        QCOMPARE(idsOf(listing->items), (QStringList{QStringLiteral("pending:") + first,
                                                     QStringLiteral("pending:") + third}));
        for (const FileProviderItemRef& item : listing->items)
            QCOMPARE(item->parentItemIdentifier(), QStringLiteral("failed"));
    }

    void albumListings_data()
    {
        QTest::addColumn<QString>("container");
        QTest::addColumn<QStringList>("expected"); // identifier=capabilities
        QTest::newRow("own albums") << "albums" << QStringList{"album:<Vacances>=59"};
        QTest::newRow("own album, photos then uploads")
            << "album:<Vacances>"
            << QStringList{"ai:<Vacances>:<mar05.jpg>=63", "ai:<Vacances>:<jul01.mp4>=63",
                           "pending:<Vacances upload>=51"};
        QTest::newRow("shared albums by role")
            << "shared" << QStringList{"salbum:<Mariage>=1", "salbum:<Famille>=11"};
        QTest::newRow("shared album as editor")
            << "salbum:<Famille>" << QStringList{"si:<Famille>:<theirs1.jpg>=51"};
        QTest::newRow("shared album as viewer, no uploads")
            << "salbum:<Mariage>" << QStringList{"si:<Mariage>:<theirs2.jpg>=1"};
    }
    void albumListings()
    {
        QFETCH(QString, container);
        QFETCH(QStringList, expected);
        SmallLibrary& lib = m_v3;
        SmallLibrary names;
        names.assets = lib.assets;
        names.albums = lib.albums;
        names.assets[QStringLiteral("Vacances upload")] =
            m_uploads.add(QStringLiteral("v.jpg"), std::nullopt,
                          UploadQuarantine::Target::album(lib.album("Vacances")));
        m_uploads.add(QStringLiteral("m.jpg"), std::nullopt,
                      UploadQuarantine::Target::sharedAlbum(lib.album("Mariage")));

        const auto listing = listed(expand(container, names));
        QVERIFY2(!listing->error, qPrintable(listing->error ? listing->error->description : ""));
        QCOMPARE(capsOf(listing->items), expand(expected.join(u'\n'), names).split(u'\n'));
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
        const auto listing = listed(container);
        QVERIFY(!listing->error);
        QCOMPARE(listing->items.size(), 0);
        QCOMPARE(apiRequests(m_v3.server), 0);
    }

    void secondListingComesFromTheCache()
    {
        QVERIFY(!listed(QStringLiteral("photos"))->error);
        m_v3.server.reset();
        m_clock.advance(9);
        for (const char* container : {"photos", "year:2024", "month:2024-03"})
            QVERIFY(!listed(QLatin1String(container))->error);
        QCOMPARE(apiRequests(m_v3.server), 0);

        // A refresh always asks the server, and refreshes the cache for others.
        QVERIFY(!listed(QStringLiteral("photos"), FetchCache::Mode::refresh)->error);
        QCOMPARE(apiRequests(m_v3.server, QStringLiteral("/api/search/metadata")), 1);
        m_clock.advance(9);
        QVERIFY(!listed(QStringLiteral("photos"))->error);
        QCOMPARE(apiRequests(m_v3.server, QStringLiteral("/api/search/metadata")), 1);
    }

    void serverFailureEndsTheListing()
    {
        driveStores().snapshots.save(QStringLiteral("photos"), {QStringLiteral("year:1")});
        const QSet<QString> snapshot{QStringLiteral("year:1")};
        m_v3.server.fail(500, 1, QStringLiteral("/api/search"));
        const auto failed = enumerate(QStringLiteral("photos"));
        QVERIFY(failed->error);
        QCOMPARE(failed->error->domain, ErrorDomain::Client);
        QCOMPARE(failed->error->code, 500);
        QCOMPARE(failed->items.size(), 0);
        QCOMPARE(failed->finishes, 1);
        QCOMPARE(driveStores().snapshots.load(QStringLiteral("photos")), snapshot);
        // Nothing was cached for the failure.
        QVERIFY(!enumerate(QStringLiteral("photos"))->error);
        QCOMPARE(apiRequests(m_v3.server, QStringLiteral("/api/search/metadata")), 2);
    }

    void deletionFilterHidesRecentDeletionsAndPromotedUploads()
    {
        const QString promoted =
            m_uploads.add(QStringLiteral("p.jpg"), utc("2024-03-09T00:00:00Z"));
        const QString kept = m_uploads.add(QStringLiteral("k.jpg"), utc("2024-03-10T00:00:00Z"));
        driveStores().promoted.promote(QStringLiteral("pending:") + promoted);
        driveStores().tombstones.recordAsset(m_v3.asset("mar20.jpg"));
        driveStores().tombstones.recordItem(QStringLiteral("ai:") + m_v3.album("Vacances") + u':' +
                                            m_v3.asset("jul01.mp4"));

        QCOMPARE(idsOf(listed(QStringLiteral("month:2024-03"))->items),
                 (QStringList{QStringLiteral("asset:") + m_v3.asset("mar05.jpg"),
                              QStringLiteral("pending:") + kept}));
        QCOMPARE(idsOf(listed(QStringLiteral("album:") + m_v3.album("Vacances"))->items),
                 QStringList{QStringLiteral("ai:") + m_v3.album("Vacances") + u':' +
                             m_v3.asset("mar05.jpg")});

        // Both come back once their time is over.
        m_clock.advance(121);
        QCOMPARE(listed(QStringLiteral("month:2024-03"))->items.size(), 4);
    }

    void workingSetHoldsEveryItem()
    {
        SmallLibrary names;
        names.assets = m_v3.assets;
        names.albums = m_v3.albums;
        names.assets[QStringLiteral("upload")] =
            m_uploads.add(QStringLiteral("w.jpg"), utc("2020-02-02T00:00:00Z"));
        names.assets[QStringLiteral("given up")] = m_uploads.add(
            QStringLiteral("g.jpg"), std::nullopt, UploadQuarantine::Target::library(), 5);
        const Result<ItemList> listing = workingSet();
        QVERIFY(listing);
        const QStringList got = capsOf(listing.value());
        for (const char* item :
             {"photos=3", "albums=3", "shared=1", "failed=3", "year:2020=3", "month:2020-02=3",
              "month:2023-07=3", "asset:<mar20.jpg>=63", "album:<Vacances>=59",
              "ai:<Vacances>:<jul01.mp4>=63", "salbum:<Famille>=11",
              "si:<Famille>:<theirs1.jpg>=51", "salbum:<Mariage>=1", "si:<Mariage>:<theirs2.jpg>=1",
              "pending:<upload>=51", "pending:<given up>=51"})
            QVERIFY2(got.contains(expand(QLatin1String(item), names)), item);
        // Folders, photos, albums with their photos and uploads, each once.
        QCOMPARE(setOf(got).size(), got.size());
        QCOMPARE(got.size(), 3 + 3 + 4 + 4 + 1 + 2 + 2 + 2 + 2 + 1);
    }

    // A piece that fails is left out; the asset list only while a copy of it is known.
    void workingSetWithoutSomePieces()
    {
        m_v3.server.fail(500, 2, QStringLiteral("/api/albums"));
        const Result<ItemList> withoutAlbums = workingSet();
        QVERIFY(withoutAlbums);
        const QStringList ids = idsOf(withoutAlbums.value());
        QVERIFY(ids.contains(assetItem("nov02.jpg")));
        QVERIFY(!ids.contains(QStringLiteral("album:") + m_v3.album("Vacances")));

        m_v3.server.fail(500, 1, QStringLiteral("/api/search"));
        QVERIFY(workingSet(FetchCache::Mode::refresh));
        driveStores().library.clear();
        // Every search fails: the listing may ask more than once, in any order.
        m_v3.server.fail(500, 100, QStringLiteral("/api/search"));
        const Result<ItemList> failed = workingSet();
        QVERIFY(!failed);
        QCOMPARE(failed.error().code, 500);
    }

    void firstChangesReportEverythingUpdated()
    {
        const auto changes = enumerateChanges(QStringLiteral("year:2024"), "1.5");
        QVERIFY(!changes->error);
        QCOMPARE(idsOf(changes->updated),
                 (QStringList{QStringLiteral("month:2024-11"), QStringLiteral("month:2024-03")}));
        QCOMPARE(changes->deleteCalls, 0);
        QCOMPARE(changes->finishes, 1);
        QVERIFY(!changes->moreComing);
        QVERIFY(changes->anchor != "1.5");
        QCOMPARE(driveStores().snapshots.load(QStringLiteral("year:2024")),
                 (QSet<QString>{QStringLiteral("month:2024-11"), QStringLiteral("month:2024-03")}));
    }

    void lostPhotoIsReportedDeleted()
    {
        const QString month = QStringLiteral("month:2024-03");
        const QString extra = m_v3.server.addAsset(
            assetFor(kMe, QStringLiteral("extra.jpg"), QStringLiteral("2024-03-15T10:00:00.000Z")));
        QCOMPARE(enumerate(month)->items.size(), 3);

        Answer<void> trashed;
        ImmichClient(m_v3.server.url(), kMyKey).trashAssets({extra}, trashed.completion());
        QVERIFY(trashed.wait() && trashed.result->ok());

        // The cached listing is still young: changes must not read it.
        m_clock.advance(1);
        const auto changes = enumerateChanges(month);
        QVERIFY(!changes->error);
        QCOMPARE(setOf(idsOf(changes->updated)),
                 (QSet<QString>{assetItem("mar05.jpg"), assetItem("mar20.jpg")}));
        QCOMPARE(changes->deleted, QStringList{QStringLiteral("asset:") + extra});
        QCOMPARE(driveStores().snapshots.load(month),
                 (QSet<QString>{assetItem("mar05.jpg"), assetItem("mar20.jpg")}));
    }

    void serverFailureKeepsAnchorAndSnapshot()
    {
        const QString month = QStringLiteral("month:2024-11");
        QVERIFY(!enumerate(month)->error);
        const QSet<QString> before = driveStores().snapshots.load(month);
        QCOMPARE(before.size(), 1);

        m_v3.server.fail(500, 1, QStringLiteral("/api/search"));
        const auto changes = enumerateChanges(month, "1736510400.25");
        QCOMPARE(changes->finishes, 1);
        QVERIFY(!changes->error);
        QCOMPARE(changes->anchor, QByteArray("1736510400.25"));
        QVERIFY(!changes->moreComing);
        QCOMPARE(changes->updateCalls, 0);
        QCOMPARE(changes->deleteCalls, 0);
        QCOMPARE(driveStores().snapshots.load(month), before);
    }

    void signingOutReportsEverythingDeleted()
    {
        const auto listed = enumerate(QStringLiteral("albums"));
        QCOMPARE(listed->items.size(), 1);
        signOut();
        const auto changes = enumerateChanges(QStringLiteral("albums"));
        QCOMPARE(changes->updateCalls, 0);
        QCOMPARE(changes->deleted, idsOf(listed->items));
        QVERIFY(driveStores().snapshots.load(QStringLiteral("albums")).isEmpty());
    }

    void promotedUploadsAreDeletedEverywhere()
    {
        const QString entry = m_uploads.add(QStringLiteral("u.jpg"), utc("2024-11-20T00:00:00Z"));
        QVERIFY(enumerate(QStringLiteral("month:2024-11"))
                    ->items.constLast()
                    ->itemIdentifier()
                    .endsWith(entry));
        driveStores().promoted.promote(QStringLiteral("pending:") + entry);

        const auto month = enumerateChanges(QStringLiteral("month:2024-11"));
        QCOMPARE(idsOf(month->updated), QStringList{assetItem("nov02.jpg")});
        QCOMPARE(month->deleted, QStringList{QStringLiteral("pending:") + entry});
        // Any container, as long as the promotion is current.
        QCOMPARE(enumerateChanges(FileProviderContainer::root)->deleted,
                 QStringList{QStringLiteral("pending:") + entry});
        m_clock.advance(121);
        QCOMPARE(enumerateChanges(FileProviderContainer::root)->deleteCalls, 0);
    }
};

QTEST_GUILESS_MAIN(TestEnumeration)
#include "TestEnumeration.moc"
