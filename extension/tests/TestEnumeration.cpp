// Item and change enumeration against the Immich double: uploads waiting in the quarantine, the
// fetch cache's lifetime, the deletion filter, and changes reported against the saved snapshot.
#include "ExtensionTestSupport.h"

#include "DeletionTombstones.h"
#include "EnumerationSnapshots.h"
#include "FetchCache.h"
#include "FileProviderItem.h"
#include "ImmichClient.h"
#include "PromotedPendingList.h"

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
        m_v3.server.reset();
        signIn(m_v3.server);
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
        QCOMPARE(EnumerationSnapshots::shared().load(month),
                 (QSet<QString>{assetItem("mar05.jpg"), assetItem("mar20.jpg")}));
    }

    void serverFailureKeepsAnchorAndSnapshot()
    {
        const QString month = QStringLiteral("month:2024-11");
        QVERIFY(!enumerate(month)->error);
        const QSet<QString> before = EnumerationSnapshots::shared().load(month);
        QCOMPARE(before.size(), 1);

        m_v3.server.fail(500, 1, QStringLiteral("/api/search"));
        const auto changes = enumerateChanges(month, "1736510400.25");
        QCOMPARE(changes->finishes, 1);
        QVERIFY(!changes->error);
        QCOMPARE(changes->anchor, QByteArray("1736510400.25"));
        QVERIFY(!changes->moreComing);
        QCOMPARE(changes->updateCalls, 0);
        QCOMPARE(changes->deleteCalls, 0);
        QCOMPARE(EnumerationSnapshots::shared().load(month), before);
    }

    void signingOutReportsEverythingDeleted()
    {
        const auto listed = enumerate(QStringLiteral("albums"));
        QCOMPARE(listed->items.size(), 1);
        signOut();
        const auto changes = enumerateChanges(QStringLiteral("albums"));
        QCOMPARE(changes->updateCalls, 0);
        QCOMPARE(changes->deleted, idsOf(listed->items));
        QVERIFY(EnumerationSnapshots::shared().load(QStringLiteral("albums")).isEmpty());
    }

    void promotedUploadsAreDeletedEverywhere()
    {
        const QString entry = m_uploads.add(QStringLiteral("u.jpg"), utc("2024-11-20T00:00:00Z"));
        QVERIFY(enumerate(QStringLiteral("month:2024-11"))
                    ->items.constLast()
                    ->itemIdentifier()
                    .endsWith(entry));
        PromotedPendingList::shared().promote(QStringLiteral("pending:") + entry);

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
