#include "Clock.h"
#include "PromotedPendingList.h"
#include "SettingsSuite.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace pixavella;

class TestPromotedPendingList : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<SettingsSuite> m_suite;
    const QString m_key = QString::fromLatin1(PromotedPendingList::kSettingsKey);

private slots:
    void init()
    {
        m_suite = std::make_unique<SettingsSuite>(m_dir.filePath(QStringLiteral("prefs.sqlite")));
        m_suite->remove(m_key);
    }
    void cleanup() { m_suite.reset(); }

    void lifetime_data()
    {
        QTest::addColumn<double>("age");
        QTest::addColumn<bool>("hidden");
        QTest::newRow("just promoted") << 0.0 << true;
        QTest::newRow("119 s") << 119.0 << true;
        QTest::newRow("119.999 s") << 119.999 << true;
        QTest::newRow("120 s") << 120.0 << false;
        QTest::newRow("an hour") << 3600.0 << false;
    }
    void lifetime()
    {
        QFETCH(double, age);
        QFETCH(bool, hidden);
        ManualClock clock;
        PromotedPendingList list(*m_suite);
        list.promote(QStringLiteral("pending:A"));
        clock.advance(age);
        QCOMPARE(list.hiddenPendingIdentifiers().contains(QStringLiteral("pending:A")), hidden);
        // An expired entry is dropped from the stored dictionary, a live one stays.
        QCOMPARE(m_suite->value(m_key).toMap().contains(QStringLiteral("pending:A")), hidden);
    }

    void pruneKeepsLiveEntriesAndWritesOnlyWhenSomethingExpired()
    {
        ManualClock clock;
        PromotedPendingList list(*m_suite);
        list.promote(QStringLiteral("pending:old"));
        clock.advance(100);
        list.promote(QStringLiteral("pending:new"));
        QCOMPARE(list.hiddenPendingIdentifiers(), (QSet<QString>{"pending:old", "pending:new"}));

        // Nothing expired: the stored value is left exactly as it was, foreign integer included.
        QVariantMap stored = m_suite->value(m_key).toMap();
        stored.insert(QStringLiteral("pending:int"), qint64(clock.now().toSecsSinceEpoch()));
        m_suite->setValue(m_key, stored);
        list.hiddenPendingIdentifiers();
        QCOMPARE(m_suite->value(m_key).toMap(), stored);

        clock.advance(20);
        QCOMPARE(list.hiddenPendingIdentifiers(), (QSet<QString>{"pending:new", "pending:int"}));
        QCOMPARE(m_suite->value(m_key).toMap().keys(), (QStringList{"pending:int", "pending:new"}));
    }

    void promoteStoresSecondsSince1970()
    {
        ManualClock clock;
        PromotedPendingList(*m_suite).promote(QStringLiteral("pending:A"));
        QCOMPARE(m_suite->value(m_key).toMap().value(QStringLiteral("pending:A")).toDouble(),
                 double(clock.now().toSecsSinceEpoch()));
    }

    void foreignValueReadsEmpty_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("list") << QVariant(QVariantList{QStringLiteral("pending:A")});
        QTest::newRow("text date") << QVariant(QVariantMap{{"pending:A", QStringLiteral("now")}});
    }
    void foreignValueReadsEmpty()
    {
        QFETCH(QVariant, stored);
        ManualClock clock;
        m_suite->setValue(m_key, stored);
        PromotedPendingList list(*m_suite);
        QVERIFY(list.hiddenPendingIdentifiers().isEmpty());
        list.promote(QStringLiteral("pending:B"));
        QCOMPARE(list.hiddenPendingIdentifiers(), QSet<QString>{"pending:B"});
    }
};

QTEST_GUILESS_MAIN(TestPromotedPendingList)
#include "TestPromotedPendingList.moc"
