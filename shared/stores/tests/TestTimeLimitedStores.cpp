// Stores whose records expire: deletion tombstones (20 s), promoted pending items (120 s) and
// cancelled uploads (an hour), each checked on both sides of its limit with a manual clock.

#include "CancelledUploads.h"
#include "Clock.h"
#include "DeletionTombstones.h"
#include "PromotedPendingList.h"
#include "SettingsShapes.h"
#include "SettingsSuite.h"
#include "StoreFiles.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace pixavella;

class TestTimeLimitedStores : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<SettingsSuite> m_suite;
    const QString m_promotedKey = QString::fromLatin1(PromotedPendingList::kSettingsKey);

    QString cancelledPath() const { return CancelledUploads().fileURL().value_or(QString()); }
    QJsonObject cancelledFile() const
    {
        return QJsonDocument::fromJson(StoreFiles::read(cancelledPath()).value_or(QByteArray()))
            .object();
    }

    static void addAgeRows(double limit)
    {
        QTest::addColumn<double>("age");
        QTest::addColumn<bool>("alive");
        QTest::newRow("a millisecond before the limit") << limit - 0.001 << true;
        QTest::newRow("at the limit") << limit << false;
        QTest::newRow("long after") << limit * 100 << false;
    }

private slots:
    void init()
    {
        m_suite = std::make_unique<SettingsSuite>(m_dir.filePath(QStringLiteral("prefs.sqlite")));
        m_suite->remove(m_promotedKey);
        QFile::remove(cancelledPath());
    }
    void cleanup() { m_suite.reset(); }

    void tombstoneLifetime_data() { addAgeRows(20); }
    void tombstoneLifetime()
    {
        QFETCH(double, age);
        QFETCH(bool, alive);
        ManualClock clock;
        DeletionTombstones tombstones;
        tombstones.recordAsset(QStringLiteral("asset-1"));
        tombstones.recordItem(QStringLiteral("album:A"));
        tombstones.recordAsset(QStringLiteral("restored"));
        tombstones.recordItem(QStringLiteral("ai:A:x"));
        clock.advance(age / 2);
        tombstones.forgetAsset(QStringLiteral("restored"));
        tombstones.recordItem(QStringLiteral("ai:A:x")); // recorded again: the delay restarts
        clock.advance(age / 2);
        // A library asset is hidden under whatever identifier carries it.
        QCOMPARE(tombstones.isHidden(QStringLiteral("ai:X:asset-1"), QStringLiteral("asset-1")),
                 alive);
        QCOMPARE(tombstones.isHidden(QStringLiteral("album:A")), alive);
        QVERIFY(!tombstones.isHidden(QStringLiteral("album:B"), QStringLiteral("restored")));
        QCOMPARE(tombstones.isHidden(QStringLiteral("ai:A:x")), age / 2 < 20);

        struct Item {
            QString identifier;
            std::optional<QString> assetId;
        };
        const QList<Item> items{{"a1", QStringLiteral("kept")},
                                {"a2", QStringLiteral("asset-1")},
                                {"album:A", std::nullopt},
                                {"album:kept", std::nullopt}};
        QStringList kept;
        for (const Item& item : tombstones.filter(
                 items, [](const Item& i) { return i.identifier; },
                 [](const Item& i) { return i.assetId; }))
            kept << item.identifier;
        const QStringList visible = alive ? QStringList{"a1", "album:kept"}
                                          : QStringList{"a1", "a2", "album:A", "album:kept"};
        QCOMPARE(kept, visible);
    }

    void promotedPendingLifetime_data() { addAgeRows(120); }
    void promotedPendingLifetime()
    {
        QFETCH(double, age);
        QFETCH(bool, alive);
        ManualClock clock;
        PromotedPendingList list(*m_suite);
        list.promote(QStringLiteral("pending:A"));
        QCOMPARE(m_suite->value(m_promotedKey).toMap().value("pending:A").toDouble(),
                 double(clock.now().toSecsSinceEpoch()));
        clock.advance(age);
        QCOMPARE(list.hiddenPendingIdentifiers().contains(QStringLiteral("pending:A")), alive);
        // An expired entry is dropped from the stored dictionary, a live one stays.
        QCOMPARE(m_suite->value(m_promotedKey).toMap().contains(QStringLiteral("pending:A")),
                 alive);
    }

    void promotedPendingOfOtherWriters()
    {
        ManualClock clock;
        PromotedPendingList list(*m_suite);
        // Whole seconds, as another writer may store them, count like fractional ones.
        m_suite->setValue(m_promotedKey, QVariantMap{{"pending:int", qint64(Clock::nowSeconds())}});
        list.promote(QStringLiteral("pending:new"));
        QCOMPARE(list.hiddenPendingIdentifiers(), (QSet<QString>{"pending:new", "pending:int"}));

        // A value of another shape reads empty and is replaced by the next promotion.
        m_suite->setValue(m_promotedKey, QVariantMap{{"pending:A", QStringLiteral("now")}});
        QVERIFY(list.hiddenPendingIdentifiers().isEmpty());
        list.promote(QStringLiteral("pending:B"));
        QCOMPARE(list.hiddenPendingIdentifiers(), QSet<QString>{"pending:B"});
        // Whatever its text says, only a number is a time.
        for (const QVariant& other : {QVariant(QStringLiteral("1700000000")), QVariant(true)})
            QVERIFY(!SettingsShapes::seconds(other));
    }

    void cancelledUploadLifetime_data() { addAgeRows(3600); }
    void cancelledUploadLifetime()
    {
        QFETCH(double, age);
        QFETCH(bool, alive);
        ManualClock clock(QDateTime::fromMSecsSinceEpoch(1'700'000'000'500, Qt::UTC));
        CancelledUploads store;
        store.add(QStringLiteral("old"));
        QCOMPARE(cancelledFile(), (QJsonObject{{"old", 1'700'000'000.5}}));
        clock.advance(age);
        store.add(QStringLiteral("new"));
        const CancelledUploads::Map map = store.pruneExpired();
        QCOMPARE(map.contains(QStringLiteral("old")), alive);
        QVERIFY(map.contains(QStringLiteral("new")));
        // The pass saves what it kept.
        QCOMPARE(cancelledFile().contains(QStringLiteral("old")), alive);
        store.remove(QStringLiteral("new"));
        QCOMPARE(store.contains(QStringLiteral("old")), alive);
    }

    void malformedCancelledFileReadsEmptyAndIsOverwritten_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("{\"A\": 1");
        QTest::newRow("text value") << QByteArray("{\"A\": 1, \"B\": \"yesterday\"}");
        QTest::newRow("empty") << QByteArray();
    }
    void malformedCancelledFileReadsEmptyAndIsOverwritten()
    {
        QFETCH(QByteArray, content);
        QVERIFY(StoreFiles::writeAtomically(cancelledPath(), content));
        ManualClock clock;
        CancelledUploads store;
        QVERIFY(store.load().isEmpty());
        store.add(QStringLiteral("C"));
        QCOMPARE(cancelledFile(), (QJsonObject{{"C", 1'700'000'000.0}}));
    }
};

QTEST_GUILESS_MAIN(TestTimeLimitedStores)
#include "TestTimeLimitedStores.moc"
