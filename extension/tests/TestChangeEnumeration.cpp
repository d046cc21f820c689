// Change enumeration: listing anew from the server, comparing with the saved snapshot,
// reporting updates and deletions, and keeping the anchor when the server fails.
#include "ExtensionTestSupport.h"

#include "EnumerationSnapshots.h"
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

class TestChangeEnumeration : public QObject {
    Q_OBJECT

private:
    ManualClock m_clock{utc("2025-01-10T12:00:00Z")};
    SmallLibrary m_lib;
    Uploads m_uploads;

    QString monthOf(const char* name) const { return QStringLiteral("asset:") + m_lib.asset(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_lib.start(QStringLiteral("v3")));
        m_uploads.setClock(&m_clock);
    }

    void init()
    {
        m_clock.advance(600);
        Uploads::clear();
        m_lib.server.reset();
        signIn(m_lib.server);
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
        QCOMPARE(EnumerationSnapshots::shared().load(QStringLiteral("year:2024")),
                 (QSet<QString>{QStringLiteral("month:2024-11"), QStringLiteral("month:2024-03")}));
    }

    void lostPhotoIsReportedDeleted()
    {
        const QString month = QStringLiteral("month:2024-03");
        const QString extra = m_lib.server.addAsset(
            assetFor(kMe, QStringLiteral("extra.jpg"), QStringLiteral("2024-03-15T10:00:00.000Z")));
        QCOMPARE(enumerate(month)->items.size(), 3);

        Answer<void> trashed;
        ImmichClient(m_lib.server.url(), kMyKey).trashAssets({extra}, trashed.completion());
        QVERIFY(trashed.wait() && trashed.result->ok());

        // The cached listing is still young: changes must not read it.
        m_clock.advance(1);
        const auto changes = enumerateChanges(month);
        QVERIFY(!changes->error);
        QCOMPARE(setOf(idsOf(changes->updated)),
                 (QSet<QString>{monthOf("mar05.jpg"), monthOf("mar20.jpg")}));
        QCOMPARE(changes->deleted, QStringList{QStringLiteral("asset:") + extra});
        QCOMPARE(EnumerationSnapshots::shared().load(month),
                 (QSet<QString>{monthOf("mar05.jpg"), monthOf("mar20.jpg")}));
    }

    void serverFailureKeepsAnchorAndSnapshot()
    {
        const QString month = QStringLiteral("month:2024-11");
        QVERIFY(!enumerate(month)->error);
        const QSet<QString> before = EnumerationSnapshots::shared().load(month);
        QCOMPARE(before.size(), 1);

        m_lib.server.fail(500, 1, QStringLiteral("/api/search"));
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
        QCOMPARE(idsOf(month->updated), QStringList{monthOf("nov02.jpg")});
        QCOMPARE(month->deleted, QStringList{QStringLiteral("pending:") + entry});
        // Any container, as long as the promotion is current.
        QCOMPARE(enumerateChanges(FileProviderContainer::root)->deleted,
                 QStringList{QStringLiteral("pending:") + entry});
        m_clock.advance(121);
        QCOMPARE(enumerateChanges(FileProviderContainer::root)->deleteCalls, 0);
    }
};

QTEST_GUILESS_MAIN(TestChangeEnumeration)
#include "TestChangeEnumeration.moc"
