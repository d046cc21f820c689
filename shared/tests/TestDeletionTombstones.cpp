#include "Clock.h"
#include "DeletionTombstones.h"

#include <QTest>

using namespace pixavella;

namespace {
struct Item {
    QString identifier;
    std::optional<QString> assetId;
};
} // namespace

class TestDeletionTombstones : public QObject {
    Q_OBJECT

private slots:
    void lifetime_data()
    {
        QTest::addColumn<double>("age");
        QTest::addColumn<bool>("hidden");
        QTest::newRow("just recorded") << 0.0 << true;
        QTest::newRow("19.9 s") << 19.9 << true;
        QTest::newRow("20 s") << 20.0 << false;
        QTest::newRow("a minute") << 60.0 << false;
    }
    void lifetime()
    {
        QFETCH(double, age);
        QFETCH(bool, hidden);
        ManualClock clock;
        DeletionTombstones tombstones;
        tombstones.recordAsset(QStringLiteral("asset-1"));
        tombstones.recordItem(QStringLiteral("album:A"));
        clock.advance(age);
        // A library asset is hidden under whatever identifier carries it.
        QCOMPARE(tombstones.isHidden(QStringLiteral("ai:X:asset-1"), QStringLiteral("asset-1")),
                 hidden);
        QCOMPARE(tombstones.isHidden(QStringLiteral("album:A")), hidden);
        QVERIFY(!tombstones.isHidden(QStringLiteral("album:B"), QStringLiteral("asset-2")));
    }

    void restoredAssetIsVisibleAtOnce()
    {
        ManualClock clock;
        DeletionTombstones tombstones;
        tombstones.recordAsset(QStringLiteral("asset-1"));
        clock.advance(1);
        tombstones.forgetAsset(QStringLiteral("asset-1"));
        QVERIFY(!tombstones.isHidden(QStringLiteral("asset-1"), QStringLiteral("asset-1")));
    }

    void rerecordingRestartsTheDelay()
    {
        ManualClock clock;
        DeletionTombstones tombstones;
        tombstones.recordItem(QStringLiteral("ai:A:x"));
        clock.advance(15);
        tombstones.recordItem(QStringLiteral("ai:A:x"));
        clock.advance(15);
        QVERIFY(tombstones.isHidden(QStringLiteral("ai:A:x")));
    }

    void filterKeepsOrderAndDropsHiddenItems()
    {
        ManualClock clock;
        DeletionTombstones tombstones;
        tombstones.recordItem(QStringLiteral("expired"));
        clock.advance(10);
        tombstones.recordAsset(QStringLiteral("trashed"));
        tombstones.recordItem(QStringLiteral("album:gone"));
        tombstones.recordItem(QStringLiteral("ai:B:moved"));
        clock.advance(10); // "expired" is now 20 s old; the others are alive

        const QList<Item> items{
            {QStringLiteral("a1"), QStringLiteral("kept-1")},
            {QStringLiteral("a2"), QStringLiteral("trashed")},
            {QStringLiteral("album:gone"), std::nullopt},
            {QStringLiteral("expired"), std::nullopt},
            {QStringLiteral("ai:B:moved"), QStringLiteral("kept-2")},
            {QStringLiteral("album:kept"), std::nullopt},
        };
        const QList<Item> kept = tombstones.filter(
            items, [](const Item& i) { return i.identifier; },
            [](const Item& i) { return i.assetId; });
        QStringList identifiers;
        for (const Item& item : kept)
            identifiers << item.identifier;
        QCOMPARE(identifiers, (QStringList{"a1", "expired", "album:kept"}));
    }
};

QTEST_GUILESS_MAIN(TestDeletionTombstones)
#include "TestDeletionTombstones.moc"
