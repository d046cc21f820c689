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
using namespace Qt::StringLiterals;

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

    QString assetItem(const char* name) const { return u"asset:"_s + m_v3.asset(name); }
    Result<ItemList> workingSet(FetchCache::Mode mode = FetchCache::Mode::normal) const
    {
        Awaited<ItemList> answer;
        listWorkingSet(processStores(), ImmichClient(m_v3.server.url(), kMyKey), mode,
                       answer.completion());
        return answer.wait();
    }
    // Replaces the <name> placeholders of expected identifiers by the library's ids and those
    // of `more`.
    QStringList expand(QStringList texts, const QHash<QString, QString>& more = {}) const
    {
        for (QString& text : texts)
            for (const QHash<QString, QString>* ids : {&m_v3.assets, &m_v3.albums, &more})
                for (auto it = ids->cbegin(); it != ids->cend(); ++it)
                    text.replace(u'<' + it.key() + u'>', it.value());
        return texts;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_v3.start(u"v3"_s));
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
        QTest::newRow("photo") << u"ai:l:a"_s;
        QTest::newRow("pending upload") << u"pending:P"_s;
        QTest::newRow("one-digit month") << u"month:2024-3"_s;
        QTest::newRow("trash") << FileProviderContainer::trash;
    }
    void listsNothing()
    {
        QFETCH(QString, container);
        // An upload filed under March 2024 must not leak into "month:2024-3" either.
        m_uploads.add(u"up.jpg"_s, utc("2024-03-09T00:00:00Z"));
        const auto listing = listed(container);
        QVERIFY2(!listing->error, qPrintable(listing->error ? listing->error->description : ""));
        QCOMPARE(idsOf(listing->items), QStringList());
    }

    void photosListing_data()
    {
        QTest::addColumn<int>("retried");
        QTest::addColumn<QStringList>("expected");
        // "<undated>" is the upload without capture date, filed directly under "Mes photos".
        QTest::newRow("uploads still tried")
            << 4 << QStringList{"year:2024", "year:2023", "year:2021", "<undated>"};
        QTest::newRow("one upload given up")
            << 5 << QStringList{"year:2024", "year:2023", "<undated>", "failed"};
    }
    void photosListing()
    {
        QFETCH(int, retried);
        QFETCH(QStringList, expected);
        // A library upload captured in a month without server photos brings its year along
        // while it is still tried; an album upload never does.
        m_uploads.add(u"may21.jpg"_s, utc("2021-05-04T08:00:00Z"),
                      UploadQuarantine::Target::library(), retried);
        m_uploads.add(u"album.jpg"_s, utc("2019-05-04T08:00:00Z"),
                      UploadQuarantine::Target::album(m_v3.album("Vacances")));
        const QString undated = m_uploads.add(u"undated.png"_s, std::nullopt);
        expected.replaceInStrings(u"<undated>"_s, u"pending:"_s + undated);

        const auto listing = listed(u"photos"_s);
        QVERIFY(!listing->error);
        QCOMPARE(idsOf(listing->items), expected);
        for (const FileProviderItemRef& item : listing->items)
            QCOMPARE(item->parentItemIdentifier(), u"photos"_s);
    }

    void yearAndMonthListings_data()
    {
        QTest::addColumn<QString>("container");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("year, December first")
            << "year:2024" << QStringList{"month:2024-11", "month:2024-03"};
        QTest::newRow("year of an upload only") << "year:2021" << QStringList{"month:2021-05"};
        QTest::newRow("month, photos in list order, then uploads")
            << "month:2024-03"
            << QStringList{"asset:<mar20.jpg>", "asset:<mar05.jpg>", "pending:<mar.heic>"};
        QTest::newRow("month of an upload only")
            << "month:2021-05" << QStringList{"pending:<may.jpg>"};
        QTest::newRow("year without photos") << "year:1999" << QStringList();
    }
    void yearAndMonthListings()
    {
        QFETCH(QString, container);
        QFETCH(QStringList, expected);
        const QHash<QString, QString> uploads{
            {"mar.heic", m_uploads.add(u"mar.heic"_s, utc("2024-03-31T23:30:00Z"))},
            {"may.jpg", m_uploads.add(u"may.jpg"_s, utc("2021-05-04T08:00:00Z"))}};
        // Given up: shown under "failed" only.
        m_uploads.add(u"gone.jpg"_s, utc("2024-03-02T00:00:00Z"),
                      UploadQuarantine::Target::library(), 5);

        const auto listing = listed(container);
        QVERIFY(!listing->error);
        QCOMPARE(idsOf(listing->items), expand(expected, uploads));
        for (const FileProviderItemRef& item : listing->items)
            QCOMPARE(item->parentItemIdentifier(), container);
    }

    void failedListsGivenUpUploadsInQueueOrder()
    {
        const QString first = m_uploads.add(u"a.jpg"_s, utc("2024-01-01T00:00:00Z"),
                                            UploadQuarantine::Target::library(), 5);
        m_uploads.add(u"b.jpg"_s, utc("2024-01-01T00:00:00Z"), UploadQuarantine::Target::library(),
                      4);
        const QString third = m_uploads.add(
            u"c.jpg"_s, std::nullopt, UploadQuarantine::Target::album(m_v3.album("Vacances")), 7);
        const auto listing = listed(u"failed"_s);
        QCOMPARE(idsOf(listing->items),
                 (QStringList{u"pending:"_s + first, u"pending:"_s + third}));
        for (const FileProviderItemRef& item : listing->items)
            QCOMPARE(item->parentItemIdentifier(), u"failed"_s);
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
        const QHash<QString, QString> upload{
            {"Vacances upload",
             m_uploads.add(u"v.jpg"_s, std::nullopt,
                           UploadQuarantine::Target::album(m_v3.album("Vacances")))}};
        m_uploads.add(u"m.jpg"_s, std::nullopt,
                      UploadQuarantine::Target::sharedAlbum(m_v3.album("Mariage")));

        const QString parent = expand({container}).first();
        const auto listing = listed(parent);
        QVERIFY2(!listing->error, qPrintable(listing->error ? listing->error->description : ""));
        QCOMPARE(capsOf(listing->items), expand(expected, upload));
        for (const FileProviderItemRef& item : listing->items)
            QCOMPARE(item->parentItemIdentifier(), parent);
    }

    void signedOutListsNothingAndAsksNoServer_data()
    {
        QTest::addColumn<QString>("container");
        QTest::newRow("album") << u"album:"_s + m_v3.album("Vacances");
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
        QVERIFY(!listed(u"photos"_s)->error);
        m_v3.server.reset();
        m_clock.advance(9);
        for (const char* container : {"photos", "year:2024", "month:2024-03"})
            QVERIFY(!listed(QLatin1String(container))->error);
        QCOMPARE(apiRequests(m_v3.server), 0);

        // A refresh always asks the server.
        QVERIFY(!listed(u"photos"_s, FetchCache::Mode::refresh)->error);
        QCOMPARE(apiRequests(m_v3.server, u"/api/search/metadata"_s), 1);
    }

    void serverFailureEndsTheListing()
    {
        driveStores().snapshots.save(u"photos"_s, {u"year:1"_s});
        m_v3.server.fail(500, 1, u"/api/search"_s);
        const auto failed = enumerate(u"photos"_s);
        QVERIFY(failed->error && ClientError::isHttp(*failed->error, 500));
        QCOMPARE(failed->items.size(), 0);
        QCOMPARE(failed->finishes, 1);
        QCOMPARE(driveStores().snapshots.load(u"photos"_s), QSet<QString>{u"year:1"_s});
    }

    void deletionFilterHidesRecentDeletionsAndPromotedUploads()
    {
        const QString promoted = m_uploads.add(u"p.jpg"_s, utc("2024-03-09T00:00:00Z"));
        const QString kept = m_uploads.add(u"k.jpg"_s, utc("2024-03-10T00:00:00Z"));
        driveStores().promoted.promote(u"pending:"_s + promoted);
        driveStores().tombstones.recordAsset(m_v3.asset("mar20.jpg"));
        driveStores().tombstones.recordItem(u"ai:"_s + m_v3.album("Vacances") + u':' +
                                            m_v3.asset("jul01.mp4"));

        QCOMPARE(idsOf(listed(u"month:2024-03"_s)->items),
                 (QStringList{u"asset:"_s + m_v3.asset("mar05.jpg"), u"pending:"_s + kept}));
        QCOMPARE(idsOf(listed(u"album:"_s + m_v3.album("Vacances"))->items),
                 QStringList{u"ai:"_s + m_v3.album("Vacances") + u':' + m_v3.asset("mar05.jpg")});

        // Both come back once their time is over.
        m_clock.advance(121);
        QCOMPARE(listed(u"month:2024-03"_s)->items.size(), 4);
    }

    void workingSetHoldsEveryItem()
    {
        const QHash<QString, QString> uploads{
            {"upload", m_uploads.add(u"w.jpg"_s, utc("2020-02-02T00:00:00Z"))},
            {"given up",
             m_uploads.add(u"g.jpg"_s, std::nullopt, UploadQuarantine::Target::library(), 5)}};
        const Result<ItemList> listing = workingSet();
        QVERIFY(listing);
        const QStringList got = capsOf(listing.value());
        for (const QString& item : expand(
                 {"photos=3", "albums=3", "shared=1", "failed=3", "year:2020=3", "month:2020-02=3",
                  "month:2023-07=3", "asset:<mar20.jpg>=63", "album:<Vacances>=59",
                  "ai:<Vacances>:<jul01.mp4>=63", "salbum:<Famille>=11",
                  "si:<Famille>:<theirs1.jpg>=51", "salbum:<Mariage>=1",
                  "si:<Mariage>:<theirs2.jpg>=1", "pending:<upload>=51", "pending:<given up>=51"},
                 uploads))
            QVERIFY2(got.contains(item), qPrintable(item));
        // Folders, photos, albums with their photos and uploads, each once.
        QCOMPARE(setOf(got).size(), got.size());
        QCOMPARE(got.size(), 3 + 3 + 4 + 4 + 1 + 2 + 2 + 2 + 2 + 1);
    }

    // A piece that fails is left out; the asset list only while a copy of it is known.
    void workingSetWithoutSomePieces()
    {
        m_v3.server.fail(500, 2, u"/api/albums"_s);
        const Result<ItemList> withoutAlbums = workingSet();
        QVERIFY(withoutAlbums);
        const QStringList ids = idsOf(withoutAlbums.value());
        QVERIFY(ids.contains(assetItem("nov02.jpg")));
        QVERIFY(!ids.contains(u"album:"_s + m_v3.album("Vacances")));

        m_v3.server.fail(500, 1, u"/api/search"_s);
        QVERIFY(workingSet(FetchCache::Mode::refresh));
        driveStores().library.clear();
        // Every search fails: the listing may ask more than once, in any order.
        m_v3.server.fail(500, 100, u"/api/search"_s);
        const Result<ItemList> failed = workingSet();
        QVERIFY(!failed);
        QCOMPARE(failed.error().code, 500);
    }

    void firstChangesReportEverythingUpdated()
    {
        const auto changes = enumerateChanges(u"year:2024"_s, "1.5");
        QVERIFY(!changes->error);
        QCOMPARE(idsOf(changes->updated), (QStringList{u"month:2024-11"_s, u"month:2024-03"_s}));
        QCOMPARE(changes->deleteCalls, 0);
        QCOMPARE(changes->finishes, 1);
        QVERIFY(!changes->moreComing);
        QVERIFY(changes->anchor != "1.5");
        QCOMPARE(driveStores().snapshots.load(u"year:2024"_s),
                 (QSet<QString>{u"month:2024-11"_s, u"month:2024-03"_s}));
    }

    void lostPhotoIsReportedDeleted()
    {
        const QString month = u"month:2024-03"_s;
        const QString extra =
            m_v3.server.addAsset(assetFor(kMe, u"extra.jpg"_s, u"2024-03-15T10:00:00.000Z"_s));
        QCOMPARE(enumerate(month)->items.size(), 3);

        Awaited<void> trashed;
        ImmichClient(m_v3.server.url(), kMyKey).trashAssets({extra}, trashed.completion());
        QVERIFY(trashed.wait());

        // The cached listing is still young: changes must not read it.
        m_clock.advance(1);
        const auto changes = enumerateChanges(month);
        QVERIFY(!changes->error);
        QCOMPARE(setOf(idsOf(changes->updated)),
                 (QSet<QString>{assetItem("mar05.jpg"), assetItem("mar20.jpg")}));
        QCOMPARE(changes->deleted, QStringList{u"asset:"_s + extra});
        QCOMPARE(driveStores().snapshots.load(month),
                 (QSet<QString>{assetItem("mar05.jpg"), assetItem("mar20.jpg")}));
    }

    void serverFailureKeepsAnchorAndSnapshot()
    {
        const QString month = u"month:2024-11"_s;
        QVERIFY(!enumerate(month)->error);
        const QSet<QString> before = driveStores().snapshots.load(month);
        QCOMPARE(before.size(), 1);

        m_v3.server.fail(500, 1, u"/api/search"_s);
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
        const auto listed = enumerate(u"albums"_s);
        QCOMPARE(listed->items.size(), 1);
        signOut();
        const auto changes = enumerateChanges(u"albums"_s);
        QCOMPARE(changes->updateCalls, 0);
        QCOMPARE(changes->deleted, idsOf(listed->items));
        QVERIFY(driveStores().snapshots.load(u"albums"_s).isEmpty());
    }

    void promotedUploadsAreDeletedEverywhere()
    {
        const QString entry = m_uploads.add(u"u.jpg"_s, utc("2024-11-20T00:00:00Z"));
        QVERIFY(enumerate(u"month:2024-11"_s)->items.constLast()->itemIdentifier().endsWith(entry));
        driveStores().promoted.promote(u"pending:"_s + entry);

        const auto month = enumerateChanges(u"month:2024-11"_s);
        QCOMPARE(idsOf(month->updated), QStringList{assetItem("nov02.jpg")});
        QCOMPARE(month->deleted, QStringList{u"pending:"_s + entry});
        // Any container, as long as the promotion is current.
        QCOMPARE(enumerateChanges(FileProviderContainer::root)->deleted,
                 QStringList{u"pending:"_s + entry});
        m_clock.advance(121);
        QCOMPARE(enumerateChanges(FileProviderContainer::root)->deleteCalls, 0);
    }
};

QTEST_GUILESS_MAIN(TestEnumeration)
#include "TestEnumeration.moc"
