#include "EnumerationSnapshots.h"
#include "SettingsSuite.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace pixavella;

class TestEnumerationSnapshots : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path() const { return m_dir.filePath(QStringLiteral("prefs.sqlite")); }

private slots:
    void neverListedContainerIsEmpty()
    {
        SettingsSuite suite(path());
        QVERIFY(EnumerationSnapshots(suite).load(QStringLiteral("month:2019-07")).isEmpty());
    }

    void saveReplacesAndSurvivesAReopen()
    {
        const QString container = QStringLiteral("album:L1");
        {
            SettingsSuite suite(path());
            EnumerationSnapshots snapshots(suite);
            snapshots.save(container, {"ai:L1:a", "ai:L1:b", "pending:X"});
            snapshots.save(container, {"ai:L1:a", "ai:L1:c"});
            snapshots.save(QStringLiteral("photos"), {"year:2024"});
        }
        SettingsSuite reopened(path());
        EnumerationSnapshots snapshots(reopened);
        QCOMPARE(snapshots.load(container), (QSet<QString>{"ai:L1:a", "ai:L1:c"}));
        QCOMPARE(snapshots.load(QStringLiteral("photos")), QSet<QString>{"year:2024"});
        QCOMPARE(reopened.value(QStringLiteral("snap.album:L1")).toList().size(), 2);

        snapshots.save(container, {});
        QVERIFY(snapshots.load(container).isEmpty());
    }

    void foreignValueIsEmpty()
    {
        SettingsSuite suite(path());
        suite.setValue(QStringLiteral("snap.root"), QVariantMap{{"a", 1.0}});
        QVERIFY(EnumerationSnapshots(suite).load(QStringLiteral("root")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestEnumerationSnapshots)
#include "TestEnumerationSnapshots.moc"
